// Small stateless text helpers shared by every endpoint: splitting, case conversion, numbers in
// and out of text without exceptions, and the timestamp form the database conversions expect.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace str {

// Line-reader cutting: a leading or doubled separator yields an empty piece, a trailing one adds
// none, and an empty text gives no pieces at all.
std::vector<std::string> split(const std::string& text, char separator);

// Every piece, empty ones included, and always the remainder after the last separator ("a," gives
// "a" and ""; "" gives one empty piece). An empty separator cuts nothing: the text comes back
// whole.
std::vector<std::string> split(const std::string& text, const std::string& separator);

// In place, character by character through the C library and the process locale: with a UTF-8
// locale only ASCII letters change in the narrow form, multi-byte sequences stay as they are.
void toUpper(std::string& text);
void toUpper(std::wstring& text);
void toLower(std::string& text);
void toLower(std::wstring& text);

// Fixed point with exactly `precision` decimals (negative counts as 0), always "." and no grouping
// whatever the process locale, since the result goes into SQL and upstream messages.
std::string dbl2str(double value, int precision);

// Number parsing with the standard library's rules (leading white space, optional sign, digits in
// `base`, stopping at the first other character whose position goes to `index` when given), but
// reporting by status instead of exceptions:
//   0 parsed, *out set; -1 no number at the start; -2 out of range for the type;
//   -3 anything else (null `out`, a base outside 0 and 2..36).
// *out is left untouched on every failure.
[[nodiscard]] int _stoi(const std::string& text, int* out, std::size_t* index = nullptr,
                        int base = 10);
[[nodiscard]] int _stol(const std::string& text, long* out, std::size_t* index = nullptr,
                        int base = 10);
[[nodiscard]] int _stoi64(const std::string& text, long long* out, std::size_t* index = nullptr,
                          int base = 10);
[[nodiscard]] int _stod(const std::string& text, double* out, std::size_t* index = nullptr);

// Turns the aggregator's "YYYY-MM-DDTHH:MM:SS[.fraction][zone]" (found anywhere in the text) into
// "YYYY-MM-DD HH:MM:SS[.fraction]" with at most `digits` fraction digits; the fraction is the first
// "." followed by digits anywhere after the time. Text without such a date and time comes back
// unchanged. With `digits` <= 0 no fraction is kept.
std::string str_to_timestamp(const std::string& text, int digits);

// Strict whole-text integer check for values from requests: after trimming, an optional '-' and
// one or more ASCII digits within 32 bits; no '+', no inner blanks. *out untouched on false.
[[nodiscard]] bool is_decimal_int(const std::string& text, int& out);

// Without ASCII space, tab, CR and LF at both ends.
std::string trim(const std::string& text);

} // namespace str
