// JSON values as the endpoints use them: whole-input parsing, typed reads that fall back to a
// default instead of coercing, and one writer (members sorted by name, numbers without trailing
// zeros, compact) so that every reply of the service has the same canonical form.
#pragma once

#include <cstddef>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace web::json {

class object;
class array;
// Shared handles: an object set into a parent and filled afterwards shows in the parent.
using object_ptr = std::shared_ptr<object>;
using array_ptr = std::shared_ptr<array>;

// One JSON value; a default-constructed one is null (also what a missing member reads as).
// Integers keep their integer form; an unsigned one is held apart only past the signed range.
class value {
public:
  using storage = std::variant<std::monostate, bool, long long, unsigned long long, double,
                               std::string, object_ptr, array_ptr>;

  value() = default;
  value(std::nullptr_t) {}
  value(bool b) : v_(b) {}
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                          !std::is_same_v<T, char>,
                                      int> = 0>
  value(T n) {
    if constexpr (std::is_signed_v<T>) {
      v_ = static_cast<long long>(n);
    } else if (static_cast<unsigned long long>(n) >
               static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
      v_ = static_cast<unsigned long long>(n);
    } else {
      v_ = static_cast<long long>(n);
    }
  }
  value(char) = delete; // a character is not a number; say std::string(1, c)
  value(double d) : v_(d) {}
  value(float f) : v_(static_cast<double>(f)) {}
  value(const char* s) : v_(std::string(s)) {}
  value(std::string s) : v_(std::move(s)) {}
  value(std::string_view s) : v_(std::string(s)) {}
  value(object_ptr o); // a null handle makes a null value
  value(array_ptr a);

  const storage& data() const { return v_; }

private:
  storage v_;
};

// Members in byte order of their names (what the canonical writer emits); setting a name again
// replaces its value.
class object {
public:
  using members = std::map<std::string, value, std::less<>>;

  // Out of line, as are the other writes: inlined into callers, g++ 12 takes the moved variant
  // for uninitialised (-Wmaybe-uninitialized).
  void set(std::string name, value v);
  value get(std::string_view name) const; // null when missing
  bool has(std::string_view name) const { return members_.find(name) != members_.end(); }
  bool remove(std::string_view name);
  object_ptr get_object(std::string_view name) const; // null when missing or not an object
  array_ptr get_array(std::string_view name) const;   // null when missing or not an array
  std::size_t size() const { return members_.size(); }
  members::const_iterator begin() const { return members_.begin(); }
  members::const_iterator end() const { return members_.end(); }

private:
  members members_;
};

class array {
public:
  void add(value v);
  value get(std::size_t i) const { return i < items_.size() ? items_[i] : value(); }
  std::size_t size() const { return items_.size(); }
  std::vector<value>::const_iterator begin() const { return items_.begin(); }
  std::vector<value>::const_iterator end() const { return items_.end(); }

private:
  std::vector<value> items_;
};

object_ptr make_object();
array_ptr make_array();

// Parses the whole text as one JSON document; false (and `out` untouched) on any error,
// trailing garbage included. Never throws.
bool parse(const std::string& text, value& out);

// Canonical compact form: members in byte order of their names, doubles in their shortest
// round-trip form without trailing zeros (52.30 -> 52.3, 50.0 -> 50), non-finite doubles as null.
std::string write(const value& v);

// `s` as a JSON string literal, appended to `out`: quote, backslash and control characters
// escaped, everything else (UTF-8 included) as it is.
void write_string(std::string_view s, std::string& out);

// The canonical form of a JSON text in one pass, without building a value tree: the same bytes
// as write() of parse(). False (and `out` untouched) when the text is not one JSON document.
bool canonicalize(const std::string& text, std::string& out);
// The fast reader behind canonicalize() alone: false when the text is outside the plain subset
// it takes (\u escapes, integers past 64 bits, deep nesting, anything malformed), which
// canonicalize() then hands to the parser.
bool canonicalize_plain(const std::string& text, std::string& out);

bool is_object(const value& v);
bool is_array(const value& v);
bool is_null(const value& v); // missing or JSON null
bool is_string(const value& v);
bool is_number(const value& v);
bool is_bool(const value& v);

// The handle a value holds; null when it holds something else.
object_ptr as_object(const value& v);
array_ptr as_array(const value& v);

// Member lookup by a dotted path ("orvale.app_database.db_port"); empty value when any step is
// missing or not an object.
value find(const value& root, const std::string& path);
object_ptr find_object(const value& root, const std::string& path); // null when not an object

// Typed reads: a value that is missing or of another type yields the default. Numbers read as
// integers only when integral and in range (5432.0 -> 5432; 5.5 or "5432" -> default).
int get_int(const value& root, const std::string& path, int def);
long long get_int64(const value& root, const std::string& path, long long def);
double get_double(const value& root, const std::string& path, double def);
bool get_bool(const value& root, const std::string& path, bool def);
std::string get_string(const value& root, const std::string& path, const std::string& def);

// The same reads on a value itself rather than a member.
bool as_int(const value& v, int& out);
bool as_int64(const value& v, long long& out);
bool as_double(const value& v, double& out);
bool as_bool(const value& v, bool& out);
bool as_string(const value& v, std::string& out);

// Shortest round-trip text of a double in the classic notation ("52.3", "50", "0", "1e+21").
std::string format_number(double d);

} // namespace web::json
