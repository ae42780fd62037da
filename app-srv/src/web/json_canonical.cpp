// The canonical form of JSON texts the service passes on: a reader of its own for the plain
// documents PostgreSQL produces, and Poco's parser for everything else.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <Poco/JSON/Handler.h>
#include <Poco/JSON/Parser.h>

#include "web/json.h"

namespace web::json {
namespace {

// Reads one document of the subset of JSON whose canonical form leaves nothing to judge, writing
// that form as it goes: strings of well-formed UTF-8 with the short escapes, integers of 64 bits,
// decimals in the range of a double, nesting up to max_depth. On anything else it gives up, and
// Poco's parser decides (the same bytes for any document both take, so only speed differs).
class plain_reader {
public:
  static constexpr int max_depth = 64;

  // Every depth's member list exists from the start: a nested object must not move its parent's.
  explicit plain_reader(std::string_view text) : in_(text), members_(max_depth + 1) {}

  bool read(std::string& out) {
    skip_blanks();
    if (!value(out, 0)) {
      return false;
    }
    skip_blanks();
    return pos_ == in_.size();
  }

private:
  struct member {
    std::string key;
    std::size_t begin; // of the written value in the output
    std::size_t end;
  };

  bool value(std::string& out, int depth) {
    if (pos_ >= in_.size()) {
      return false;
    }
    switch (in_[pos_]) {
    case '{':
      return depth < max_depth && object(out, depth + 1);
    case '[':
      return depth < max_depth && array(out, depth + 1);
    case '"':
      if (!string(text_)) {
        return false;
      }
      write_string(text_, out);
      return true;
    case 't':
      return word("true", out);
    case 'f':
      return word("false", out);
    case 'n':
      return word("null", out);
    default:
      return number(out);
    }
  }

  // Members come out sorted by name, of repeated names the last, as a parsed object holds them.
  bool object(std::string& out, int depth) {
    ++pos_;
    const std::size_t start = out.size();
    std::vector<member>& members = members_[static_cast<std::size_t>(depth)];
    members.clear();
    skip_blanks();
    if (next_is('}')) {
      out += "{}";
      return true;
    }
    while (true) {
      member m;
      if (pos_ >= in_.size() || in_[pos_] != '"' || !string(m.key)) {
        return false;
      }
      skip_blanks();
      if (!next_is(':')) {
        return false;
      }
      skip_blanks();
      m.begin = out.size();
      if (!value(out, depth)) {
        return false;
      }
      m.end = out.size();
      members.push_back(std::move(m));
      skip_blanks();
      if (next_is(',')) {
        skip_blanks();
        continue;
      }
      if (next_is('}')) {
        break;
      }
      return false;
    }
    sort_by_name(members);
    std::string& sorted = sorted_; // nested objects are done with it by now
    sorted.assign(1, '{');
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i + 1].key == members[i].key) {
        continue;
      }
      if (sorted.size() > 1) {
        sorted += ',';
      }
      write_string(members[i].key, sorted);
      sorted += ':';
      sorted.append(out, members[i].begin, members[i].end - members[i].begin);
    }
    sorted += '}';
    out.resize(start);
    out += sorted;
    return true;
  }

  // Stable, so that of repeated names the last stays last. Objects here have a handful of
  // members, often in order already: an insertion sort, without the buffer std::stable_sort takes.
  static void sort_by_name(std::vector<member>& members) {
    if (members.size() > 16) { // quadratic past a handful
      std::stable_sort(members.begin(), members.end(),
                       [](const member& a, const member& b) { return a.key < b.key; });
      return;
    }
    for (std::size_t i = 1; i < members.size(); ++i) {
      for (std::size_t j = i; j > 0 && members[j].key < members[j - 1].key; --j) {
        std::swap(members[j], members[j - 1]);
      }
    }
  }

  bool array(std::string& out, int depth) {
    ++pos_;
    out += '[';
    skip_blanks();
    if (next_is(']')) {
      out += ']';
      return true;
    }
    while (true) {
      if (!value(out, depth)) {
        return false;
      }
      skip_blanks();
      if (next_is(',')) {
        out += ',';
        skip_blanks();
        continue;
      }
      if (next_is(']')) {
        out += ']';
        return true;
      }
      return false;
    }
  }

  // The decoded text of the string at pos_.
  bool string(std::string& decoded) {
    decoded.clear();
    ++pos_;
    while (pos_ < in_.size()) {
      const std::size_t run = pos_;
      while (pos_ < in_.size() && plain_byte(static_cast<unsigned char>(in_[pos_]))) {
        ++pos_;
      }
      decoded.append(in_.data() + run, pos_ - run);
      if (pos_ >= in_.size()) {
        break;
      }
      const auto c = static_cast<unsigned char>(in_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        if (!escape(decoded)) {
          return false;
        }
      } else if (c < 0x20 || !utf8_sequence(decoded)) {
        return false;
      }
    }
    return false;
  }

  static bool plain_byte(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

  // \uXXXX is left to the parser: surrogate pairs and the lone ones are its to judge.
  bool escape(std::string& decoded) {
    if (pos_ + 1 >= in_.size()) {
      return false;
    }
    char c = 0;
    switch (in_[pos_ + 1]) {
    case '"':
      c = '"';
      break;
    case '\\':
      c = '\\';
      break;
    case '/':
      c = '/';
      break;
    case 'b':
      c = '\b';
      break;
    case 'f':
      c = '\f';
      break;
    case 'n':
      c = '\n';
      break;
    case 'r':
      c = '\r';
      break;
    case 't':
      c = '\t';
      break;
    default:
      return false;
    }
    decoded += c;
    pos_ += 2;
    return true;
  }

  // One well-formed UTF-8 sequence (no overlong forms, no surrogates, nothing past U+10FFFF).
  bool utf8_sequence(std::string& decoded) {
    const auto lead = static_cast<unsigned char>(in_[pos_]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      return false;
    }
    if (pos_ + length > in_.size()) {
      return false;
    }
    for (std::size_t i = 1; i < length; ++i) {
      const auto c = static_cast<unsigned char>(in_[pos_ + i]);
      if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) {
        return false;
      }
    }
    decoded.append(in_.data() + pos_, length);
    pos_ += length;
    return true;
  }

  // JSON's number grammar; an integer is written back as a 64-bit integer, anything with a
  // fraction or an exponent as the double it denotes.
  bool number(std::string& out) {
    const std::size_t start = pos_;
    bool integral = true;
    next_is('-');
    if (next_is('0')) {
      // no further digits may follow a leading zero
    } else if (!digits()) {
      return false;
    }
    if (next_is('.')) {
      integral = false;
      if (!digits()) {
        return false;
      }
    }
    if (pos_ < in_.size() && (in_[pos_] == 'e' || in_[pos_] == 'E')) {
      ++pos_;
      integral = false;
      if (!next_is('+')) {
        next_is('-');
      }
      if (!digits()) {
        return false;
      }
    }
    const char* first = in_.data() + start;
    const char* last = in_.data() + pos_;
    if (integral) {
      // The parser reads a negative integer through a double: past 15 digits it may come out
      // rounded, and that rounding is the parser's to do.
      if (*first == '-' && last - first > 16) {
        return false;
      }
      long long v = 0;
      const auto res = std::from_chars(first, last, v);
      if (res.ec != std::errc() || res.ptr != last) {
        return false;
      }
      out += std::to_string(v);
      return true;
    }
    double d = 0;
    const auto res = std::from_chars(first, last, d);
    if (res.ec != std::errc() || res.ptr != last) {
      return false;
    }
    out += format_number(d);
    return true;
  }

  bool digits() {
    const std::size_t start = pos_;
    while (pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9') {
      ++pos_;
    }
    return pos_ > start;
  }

  bool word(std::string_view w, std::string& out) {
    if (in_.substr(pos_, w.size()) != w) {
      return false;
    }
    pos_ += w.size();
    out += w;
    return true;
  }

  bool next_is(char c) {
    if (pos_ < in_.size() && in_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void skip_blanks() {
    while (pos_ < in_.size() &&
           (in_[pos_] == ' ' || in_[pos_] == '\t' || in_[pos_] == '\n' || in_[pos_] == '\r')) {
      ++pos_;
    }
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  std::string text_;                         // a string value being decoded
  std::string sorted_;                       // an object being put in order
  std::vector<std::vector<member>> members_; // of the open objects, by depth
};

// Writes the canonical form while the parser walks the text: each open object keeps its members
// as rendered text until it closes, then emits them sorted; arrays stream straight through.
class canonical_writer final : public Poco::JSON::Handler {
public:
  void reset() override {
    stack_.clear();
    result_.clear();
  }
  void startObject() override { stack_.push_back(frame{true, {}, {}, {}, true}); }
  void startArray() override { stack_.push_back(frame{false, {}, {}, "[", true}); }
  void endObject() override {
    frame f = std::move(stack_.back());
    stack_.pop_back();
    // Stable: of repeated names the last one stays, as when the document is read into a value.
    std::stable_sort(f.members.begin(), f.members.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text = "{";
    for (std::size_t i = 0; i < f.members.size(); ++i) {
      if (i + 1 < f.members.size() && f.members[i + 1].first == f.members[i].first) {
        continue;
      }
      if (text.size() > 1) {
        text += ',';
      }
      write_string(f.members[i].first, text);
      text += ':';
      text += f.members[i].second;
    }
    text += '}';
    emit(std::move(text));
  }
  void endArray() override {
    frame f = std::move(stack_.back());
    stack_.pop_back();
    f.items += ']';
    emit(std::move(f.items));
  }
  void key(const std::string& k) override { stack_.back().key = k; }
  void null() override { emit("null"); }
  void value(int v) override { emit(std::to_string(v)); }
  void value(unsigned v) override { emit(std::to_string(v)); }
  void value(Poco::Int64 v) override { emit(std::to_string(v)); }
  void value(Poco::UInt64 v) override { emit(std::to_string(v)); }
  void value(const std::string& v) override {
    std::string text;
    write_string(v, text);
    emit(std::move(text));
  }
  void value(double d) override { emit(format_number(d)); }
  void value(bool b) override { emit(b ? "true" : "false"); }

  std::string& result() { return result_; }

private:
  struct frame {
    bool object;
    std::vector<std::pair<std::string, std::string>> members;
    std::string key;
    std::string items;
    bool first;
  };

  void emit(std::string text) {
    if (stack_.empty()) {
      result_ = std::move(text);
      return;
    }
    frame& top = stack_.back();
    if (top.object) {
      top.members.emplace_back(std::move(top.key), std::move(text));
      return;
    }
    if (!top.first) {
      top.items += ',';
    }
    top.first = false;
    top.items += text;
  }

  std::vector<frame> stack_;
  std::string result_;
};

} // namespace

bool canonicalize_plain(const std::string& text, std::string& out) {
  std::string fast;
  fast.reserve(text.size());
  if (!plain_reader(text).read(fast)) {
    return false;
  }
  out = std::move(fast);
  return true;
}

bool canonicalize(const std::string& text, std::string& out) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || (text[first] != '{' && text[first] != '[')) {
    value v; // scalars are rare here; the value path handles them
    if (!parse(text, v)) {
      return false;
    }
    out = write(v);
    return true;
  }
  if (canonicalize_plain(text, out)) {
    return true;
  }
  try {
    Poco::SharedPtr<canonical_writer> handler = Poco::makeShared<canonical_writer>();
    Poco::JSON::Parser parser(handler);
    parser.parse(text);
    out = std::move(handler->result());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

} // namespace web::json
