// Accept-Encoding parsing and gzip through zlib.
#include "web/encoding.h"

#include <zlib.h>

#include <cctype>
#include <memory>
#include <stdexcept>

namespace web {

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// A quality value as RFC 9110 writes it: "0" or "1", optionally with up to three decimals.
// False for anything else.
bool parse_quality(std::string_view text, bool& positive) {
  if (text.empty() || (text[0] != '0' && text[0] != '1')) {
    return false;
  }
  positive = text[0] == '1';
  if (text.size() == 1) {
    return true;
  }
  if (text[1] != '.' || text.size() > 5) {
    return false;
  }
  for (const char c : text.substr(2)) {
    if (c < '0' || c > '9' || (text[0] == '1' && c != '0')) {
      return false;
    }
    positive = positive || c != '0';
  }
  return true;
}

// One element "coding;param=value;...": its name and whether its quality is above zero.
std::string_view coding_of(std::string_view element, bool& positive) {
  positive = true;
  const std::size_t semi = element.find(';');
  const std::string_view name = trimmed(element.substr(0, semi));
  std::string_view params = semi == std::string_view::npos ? "" : element.substr(semi + 1);
  while (!params.empty()) {
    const std::size_t next = params.find(';');
    const std::string_view param = trimmed(params.substr(0, next));
    params = next == std::string_view::npos ? "" : params.substr(next + 1);
    const std::size_t eq = param.find('=');
    if (eq != std::string_view::npos && same_text(trimmed(param.substr(0, eq)), "q") &&
        !parse_quality(trimmed(param.substr(eq + 1)), positive)) {
      positive = false;
    }
  }
  return name;
}

} // namespace

bool accepts_gzip(std::string_view accept_encoding) {
  int named = -1; // -1 not mentioned, 0 refused, 1 accepted
  int any = -1;
  while (!accept_encoding.empty()) {
    const std::size_t comma = accept_encoding.find(',');
    const std::string_view element = accept_encoding.substr(0, comma);
    accept_encoding =
        comma == std::string_view::npos ? "" : accept_encoding.substr(comma + 1);
    bool positive = true;
    const std::string_view name = coding_of(element, positive);
    if (same_text(name, "gzip") || same_text(name, "x-gzip")) {
      named = named == 1 ? 1 : (positive ? 1 : 0);
    } else if (name == "*") {
      any = positive ? 1 : 0;
    }
  }
  return named >= 0 ? named == 1 : any == 1;
}

std::string gzip(std::string_view text) {
  z_stream z{};
  // windowBits 15 + 16: a gzip header and trailer around the deflate data.
  constexpr int gzip_window = 15 + 16;
  constexpr int memory_level = 8;
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzip_window, memory_level,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("gzip: deflateInit2 failed");
  }
  const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, deflateEnd);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  // The bound holds the whole output, so one call finishes.
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) {
    throw std::runtime_error("gzip: deflate did not finish");
  }
  out.resize(z.total_out);
  return out;
}

} // namespace web
