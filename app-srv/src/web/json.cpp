// JSON parsing and the canonical writer.
#include "web/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include <Poco/Exception.h>
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
  std::vector<std::string> names;
  obj.getNames(names);
  std::sort(names.begin(), names.end()); // byte order: std::string compares as unsigned char
  out += '{';
  bool first = true;
  for (const auto& name : names) {
    if (!first) {
      out += ',';
    }
    first = false;
    write_string(name, out);
    out += ':';
    write_value(obj.get(name), out);
  }
  out += '}';
}

void write_array(const array& arr, std::string& out) {
  out += '[';
  for (std::size_t i = 0; i < arr.size(); ++i) {
    if (i != 0) {
      out += ',';
    }
    write_value(arr.get(static_cast<unsigned int>(i)), out);
  }
  out += ']';
}

void write_value(const value& v, std::string& out) {
  if (v.isEmpty()) {
    out += "null";
    return;
  }
  if (v.type() == typeid(object_ptr)) {
    const auto& p = v.extract<object_ptr>();
    if (p.isNull()) {
      out += "null";
    } else {
      write_object(*p, out);
    }
    return;
  }
  if (v.type() == typeid(array_ptr)) {
    const auto& p = v.extract<array_ptr>();
    if (p.isNull()) {
      out += "null";
    } else {
      write_array(*p, out);
    }
    return;
  }
  if (v.type() == typeid(object)) {
    write_object(v.extract<object>(), out);
    return;
  }
  if (v.type() == typeid(array)) {
    write_array(v.extract<array>(), out);
    return;
  }
  if (v.isBoolean()) {
    out += v.extract<bool>() ? "true" : "false";
    return;
  }
  if (v.isString()) {
    write_string(v.convert<std::string>(), out);
    return;
  }
  if (v.isNumeric()) {
    if (v.type() == typeid(double) || v.type() == typeid(float)) {
      out += format_number(v.convert<double>());
    } else if (v.isSigned()) {
      out += std::to_string(v.convert<long long>());
    } else {
      out += std::to_string(v.convert<unsigned long long>());
    }
    return;
  }
  // Anything else (a char, a date) is written as its text.
  try {
    write_string(v.convert<std::string>(), out);
  } catch (const Poco::Exception&) {
    out += "null";
  }
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

object_ptr make_object() {
  return object_ptr(new object);
}
array_ptr make_array() {
  return array_ptr(new array);
}

bool parse(const std::string& text, value& out) {
  try {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && (text[first] == '{' || text[first] == '[')) {
      Poco::JSON::Parser parser;
      value parsed = parser.parse(text);
      out = parsed;
      return true;
    }
    // The parser takes only objects and arrays at the top; a scalar document is read as the one
    // element of an array around it ("1],[2" then fails as trailing garbage).
    Poco::JSON::Parser parser;
    value wrapped = parser.parse("[" + text + "]");
    const array_ptr arr = wrapped.extract<array_ptr>();
    if (arr.isNull() || arr->size() != 1) {
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
  if (v.type() == typeid(object_ptr)) {
    return !v.extract<object_ptr>().isNull();
  }
  return v.type() == typeid(object);
}

bool is_array(const value& v) {
  if (v.type() == typeid(array_ptr)) {
    return !v.extract<array_ptr>().isNull();
  }
  return v.type() == typeid(array);
}

bool is_null(const value& v) {
  return v.isEmpty();
}
bool is_string(const value& v) {
  return !v.isEmpty() && v.isString();
}
bool is_bool(const value& v) {
  return !v.isEmpty() && v.isBoolean();
}
bool is_number(const value& v) {
  return !v.isEmpty() && v.isNumeric() && !v.isBoolean() && v.type() != typeid(char);
}

value find(const value& root, const std::string& path) {
  value current = root;
  for (const auto& part : split_path(path)) {
    object_ptr obj;
    if (current.type() == typeid(object_ptr)) {
      obj = current.extract<object_ptr>();
    } else if (current.type() == typeid(object)) {
      obj = new object(current.extract<object>());
    }
    if (obj.isNull() || !obj->has(part)) {
      return value();
    }
    current = obj->get(part);
  }
  return current;
}

object_ptr find_object(const value& root, const std::string& path) {
  value v = find(root, path);
  if (v.type() == typeid(object_ptr)) {
    return v.extract<object_ptr>();
  }
  if (v.type() == typeid(object)) {
    return new object(v.extract<object>());
  }
  return object_ptr();
}

bool as_int64(const value& v, long long& out) {
  if (!is_number(v)) {
    return false;
  }
  try {
    if (v.type() == typeid(double) || v.type() == typeid(float)) {
      return integral_double(v.convert<double>(), out);
    }
    if (!v.isSigned() &&
        v.convert<unsigned long long>() >
            static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
      return false;
    }
    out = v.convert<long long>();
    return true;
  } catch (const Poco::Exception&) {
    return false;
  }
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
  if (!is_number(v)) {
    return false;
  }
  try {
    out = v.convert<double>();
    return true;
  } catch (const Poco::Exception&) {
    return false;
  }
}

bool as_bool(const value& v, bool& out) {
  if (!is_bool(v)) {
    return false;
  }
  out = v.extract<bool>();
  return true;
}

bool as_string(const value& v, std::string& out) {
  if (!is_string(v)) {
    return false;
  }
  out = v.convert<std::string>();
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
