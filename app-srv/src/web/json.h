// JSON values as the endpoints use them: whole-input parsing, typed reads that fall back to a
// default instead of coercing, and one writer (members sorted by name, numbers without trailing
// zeros, compact) so that every reply of the service has the same canonical form.
#pragma once

#include <string>
#include <string_view>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

namespace web::json {

using value = Poco::Dynamic::Var; // empty Var: missing / null
using object = Poco::JSON::Object;
using array = Poco::JSON::Array;
using object_ptr = Poco::JSON::Object::Ptr;
using array_ptr = Poco::JSON::Array::Ptr;

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
