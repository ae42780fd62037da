// JSON values, their parsing (Poco's parser, which nothing outside this file sees) and the
// canonical writer.
#include "web/json.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>
#include <variant>
#include <vector>

#include <Poco/JSON/Handler.h>
#include <Poco/JSON/Parser.h>

namespace web::json {
namespace {

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (true) {
    auto dot = path.find('.', start);
    parts.push_back(path.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) {
      break;
    }
    start = dot + 1;
  }
  return parts;
}

void write_value(const value& v, std::string& out);

void write_object(const object& obj, std::string& out) {
  out += '{';
  bool first = true;
  for (const auto& [name, member] : obj) { // kept in byte order of the names
    if (!first) {
      out += ',';
    }
    first = false;
    write_string(name, out);
    out += ':';
    write_value(member, out);
  }
  out += '}';
}

void write_array(const array& arr, std::string& out) {
  out += '[';
  bool first = true;
  for (const auto& item : arr) {
    if (!first) {
      out += ',';
    }
    first = false;
    write_value(item, out);
  }
  out += ']';
}

void write_value(const value& v, std::string& out) {
  std::visit(
      [&out](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += x ? "true" : "false";
        } else if constexpr (std::is_same_v<T, long long> ||
                             std::is_same_v<T, unsigned long long>) {
          out += std::to_string(x);
        } else if constexpr (std::is_same_v<T, double>) {
          out += format_number(x);
        } else if constexpr (std::is_same_v<T, std::string>) {
          write_string(x, out);
        } else if constexpr (std::is_same_v<T, object_ptr>) {
          write_object(*x, out);
        } else {
          write_array(*x, out);
        }
      },
      v.data());
}

// Builds the value tree while the parser walks the text. A container goes into its parent when
// it opens (the key in hand is then consumed), so one pending key is enough.
class tree_builder final : public Poco::JSON::Handler {
public:
  void reset() override {
    open_.clear();
    key_.clear();
    result_ = json::value();
  }
  void startObject() override { open(make_object()); }
  void startArray() override { open(make_array()); }
  void endObject() override { open_.pop_back(); }
  void endArray() override { open_.pop_back(); }
  void key(const std::string& k) override { key_ = k; }
  void null() override { emit(json::value()); }
  void value(int v) override { emit(v); }
  void value(unsigned v) override { emit(v); }
  void value(Poco::Int64 v) override { emit(v); }
  void value(Poco::UInt64 v) override { emit(v); }
  void value(const std::string& v) override { emit(v); }
  void value(double d) override { emit(d); }
  void value(bool b) override { emit(b); }

  json::value& result() { return result_; }

private:
  void open(json::value container) {
    emit(container);
    open_.push_back(std::move(container));
  }

  void emit(json::value v) {
    if (open_.empty()) {
      result_ = std::move(v);
    } else if (const object_ptr obj = as_object(open_.back())) {
      obj->set(std::move(key_), std::move(v)); // of repeated names the last stays
      key_.clear();
    } else {
      as_array(open_.back())->add(std::move(v));
    }
  }

  std::vector<json::value> open_; // the containers not yet closed, innermost last
  std::string key_;
  json::value result_;
};

// The tree of the whole text in `out`; throws (leaving `out` alone) when the parser refuses it.
void parse_whole(const std::string& text, value& out) {
  Poco::SharedPtr<tree_builder> builder = Poco::makeShared<tree_builder>();
  Poco::JSON::Parser parser(builder);
  parser.parse(text);
  out = std::move(builder->result());
}

bool integral_double(double d, long long& out) {
  // 2^63 is the first double past the range of long long.
  if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
      d >= 9223372036854775808.0) {
    return false;
  }
  out = static_cast<long long>(d);
  return true;
}

} // namespace

void write_string(std::string_view s, std::string& out) {
  out += '"';
  std::size_t run = 0; // start of the bytes not yet copied, which need no escape
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') {
      continue;
    }
    out.append(s, run, i - run);
    run = i + 1;
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default: {
      static const char hex[] = "0123456789abcdef";
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
    }
  }
  out.append(s, run, s.size() - run);
  out += '"';
}

value::value(object_ptr o) {
  if (o) {
    v_ = std::move(o);
  }
}

value::value(array_ptr a) {
  if (a) {
    v_ = std::move(a);
  }
}

void object::set(std::string name, value v) {
  members_.insert_or_assign(std::move(name), std::move(v));
}

void array::add(value v) {
  items_.push_back(std::move(v));
}

value object::get(std::string_view name) const {
  const auto it = members_.find(name);
  return it == members_.end() ? value() : it->second;
}

bool object::remove(std::string_view name) {
  const auto it = members_.find(name);
  if (it == members_.end()) {
    return false;
  }
  members_.erase(it);
  return true;
}

object_ptr object::get_object(std::string_view name) const {
  const auto it = members_.find(name);
  return it == members_.end() ? nullptr : as_object(it->second);
}

array_ptr object::get_array(std::string_view name) const {
  const auto it = members_.find(name);
  return it == members_.end() ? nullptr : as_array(it->second);
}

object_ptr make_object() {
  return std::make_shared<object>();
}
array_ptr make_array() {
  return std::make_shared<array>();
}

bool parse(const std::string& text, value& out) {
  try {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && (text[first] == '{' || text[first] == '[')) {
      parse_whole(text, out);
      return true;
    }
    // The parser takes only objects and arrays at the top; a scalar document is read as the one
    // element of an array around it ("1],[2" then fails as trailing garbage).
    value wrapped;
    parse_whole("[" + text + "]", wrapped);
    const array_ptr arr = as_array(wrapped);
    if (!arr || arr->size() != 1) {
      return false;
    }
    out = arr->get(0);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string write(const value& v) {
  std::string out;
  write_value(v, out);
  return out;
}

std::string format_number(double d) {
  if (!std::isfinite(d)) {
    return "null";
  }
  if (d == 0) {
    return "0"; // also -0
  }
  char buf[64];
  // Past 1e18 the shortest form may be a bare integer beyond 64 bits ("220202220002200030000"),
  // which readers (ours included) cannot take back as a number; the exponent form they can.
  auto res = std::fabs(d) >= 1e18
                 ? std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific)
                 : std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

bool is_object(const value& v) {
  return std::holds_alternative<object_ptr>(v.data());
}
bool is_array(const value& v) {
  return std::holds_alternative<array_ptr>(v.data());
}
bool is_null(const value& v) {
  return std::holds_alternative<std::monostate>(v.data());
}
bool is_string(const value& v) {
  return std::holds_alternative<std::string>(v.data());
}
bool is_bool(const value& v) {
  return std::holds_alternative<bool>(v.data());
}
bool is_number(const value& v) {
  return std::holds_alternative<long long>(v.data()) ||
         std::holds_alternative<unsigned long long>(v.data()) ||
         std::holds_alternative<double>(v.data());
}

object_ptr as_object(const value& v) {
  const auto* p = std::get_if<object_ptr>(&v.data());
  return p ? *p : nullptr;
}

array_ptr as_array(const value& v) {
  const auto* p = std::get_if<array_ptr>(&v.data());
  return p ? *p : nullptr;
}

value find(const value& root, const std::string& path) {
  value current = root;
  for (const auto& part : split_path(path)) {
    const object_ptr obj = as_object(current);
    if (!obj || !obj->has(part)) {
      return value();
    }
    current = obj->get(part);
  }
  return current;
}

object_ptr find_object(const value& root, const std::string& path) {
  return as_object(find(root, path));
}

bool as_int64(const value& v, long long& out) {
  if (const auto* d = std::get_if<double>(&v.data())) {
    return integral_double(*d, out);
  }
  if (const auto* n = std::get_if<long long>(&v.data())) {
    out = *n;
    return true;
  }
  return false; // unsigned ones are held apart only past the range of long long
}

bool as_int(const value& v, int& out) {
  long long wide = 0;
  if (!as_int64(v, wide) || wide < std::numeric_limits<int>::min() ||
      wide > std::numeric_limits<int>::max()) {
    return false;
  }
  out = static_cast<int>(wide);
  return true;
}

bool as_double(const value& v, double& out) {
  if (const auto* d = std::get_if<double>(&v.data())) {
    out = *d;
  } else if (const auto* n = std::get_if<long long>(&v.data())) {
    out = static_cast<double>(*n);
  } else if (const auto* u = std::get_if<unsigned long long>(&v.data())) {
    out = static_cast<double>(*u);
  } else {
    return false;
  }
  return true;
}

bool as_bool(const value& v, bool& out) {
  const auto* b = std::get_if<bool>(&v.data());
  if (b == nullptr) {
    return false;
  }
  out = *b;
  return true;
}

bool as_string(const value& v, std::string& out) {
  const auto* s = std::get_if<std::string>(&v.data());
  if (s == nullptr) {
    return false;
  }
  out = *s;
  return true;
}

int get_int(const value& root, const std::string& path, int def) {
  int out = def;
  return as_int(find(root, path), out) ? out : def;
}

long long get_int64(const value& root, const std::string& path, long long def) {
  long long out = def;
  return as_int64(find(root, path), out) ? out : def;
}

double get_double(const value& root, const std::string& path, double def) {
  double out = def;
  return as_double(find(root, path), out) ? out : def;
}

bool get_bool(const value& root, const std::string& path, bool def) {
  bool out = def;
  return as_bool(find(root, path), out) ? out : def;
}

std::string get_string(const value& root, const std::string& path, const std::string& def) {
  std::string out;
  return as_string(find(root, path), out) ? out : def;
}

} // namespace web::json
