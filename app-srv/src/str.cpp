// Text helpers shared by every endpoint; nothing here keeps state or throws for bad input.
#include "str.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>
#include <string_view>
#include <type_traits>

namespace str {

namespace {

constexpr const char* blanks = " \t\r\n";

// std::isdigit follows the process locale; the formats we scan are ASCII by definition.
bool is_ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_valid_base(int base) {
  return base == 0 || (base >= 2 && base <= 36);
}

// Runs a strtoX-style conversion the way std::stoX does, but answers with a status. errno is
// restored afterwards so callers never see our ERANGE.
template <class T, class Convert>
int parse_number(const std::string& text, T* out, std::size_t* index, Convert convert) {
  if (out == nullptr) {
    return -3;
  }
  const char* begin = text.c_str();
  char* end = nullptr;
  const int saved_errno = errno;
  errno = 0;
  const auto value = convert(begin, &end);
  const int conversion_errno = errno;
  errno = saved_errno;
  if (end == nullptr || end == begin) {
    return -1;
  }
  if (conversion_errno == ERANGE) {
    return -2;
  }
  if constexpr (!std::is_same_v<T, std::remove_cv_t<decltype(value)>>) {
    if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
      return -2;
    }
  }
  *out = static_cast<T>(value);
  if (index != nullptr) {
    *index = static_cast<std::size_t>(end - begin);
  }
  return 0;
}

// Shape of "YYYY-MM-DD", 'T' or blank, "HH:MM:SS": 'd' a digit, '_' the separator, else itself.
constexpr std::string_view stamp_shape = "dddd-dd-dd_dd:dd:dd";
constexpr std::size_t date_length = 10;
constexpr std::size_t time_offset = 11;
constexpr std::size_t time_length = 8;

bool shape_char_matches(char want, char c) {
  switch (want) {
  case 'd':
    return is_ascii_digit(c);
  case '_':
    return c == 'T' || c == ' ';
  default:
    return c == want;
  }
}

bool stamp_at(std::string_view text, std::size_t pos) {
  for (std::size_t i = 0; i < stamp_shape.size(); ++i) {
    if (!shape_char_matches(stamp_shape[i], text[pos + i])) {
      return false;
    }
  }
  return true;
}

// The pattern has a fixed length, so the first position where it fits is exactly where a regex
// search would match; each position costs at most the pattern's length, so the scan is linear
// however long the digit runs in caller text are.
std::size_t find_stamp(std::string_view text) {
  if (text.size() < stamp_shape.size()) {
    return std::string_view::npos;
  }
  for (std::size_t pos = 0; pos + stamp_shape.size() <= text.size(); ++pos) {
    if (stamp_at(text, pos)) {
      return pos;
    }
  }
  return std::string_view::npos;
}

// The digits of the first "." that has at least one digit right after it; empty when none.
std::string_view find_fraction(std::string_view text) {
  for (std::size_t pos = text.find('.'); pos != std::string_view::npos;
       pos = text.find('.', pos + 1)) {
    std::size_t end = pos + 1;
    while (end < text.size() && is_ascii_digit(text[end])) {
      ++end;
    }
    if (end > pos + 1) {
      return text.substr(pos + 1, end - pos - 1);
    }
  }
  return {};
}

} // namespace

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  std::istringstream in(text);
  std::string piece;
  while (std::getline(in, piece, separator)) {
    pieces.push_back(piece);
  }
  return pieces;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
  if (separator.empty()) {
    return {text}; // an empty separator would match everywhere and never advance
  }
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (std::size_t hit = text.find(separator); hit != std::string::npos;
       hit = text.find(separator, start)) {
    pieces.push_back(text.substr(start, hit - start));
    start = hit + separator.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

void toUpper(std::string& text) {
  for (char& c : text) {
    // Through unsigned char: a negative char is undefined behaviour for toupper.
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
}

void toUpper(std::wstring& text) {
  for (wchar_t& c : text) {
    c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
  }
}

void toLower(std::string& text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
}

void toLower(std::wstring& text) {
  for (wchar_t& c : text) {
    c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  }
}

std::string dbl2str(double value, int precision) {
  std::ostringstream out;
  // The stream would otherwise take the global locale, and a decimal comma breaks SQL.
  out.imbue(std::locale::classic());
  out << std::fixed << std::setprecision(std::max(precision, 0)) << value;
  return out.str();
}

int _stoi(const std::string& text, int* out, std::size_t* index, int base) {
  if (!is_valid_base(base)) {
    return -3; // glibc leaves the end pointer unset for such a base
  }
  return parse_number(text, out, index,
                      [base](const char* s, char** end) { return std::strtol(s, end, base); });
}

int _stol(const std::string& text, long* out, std::size_t* index, int base) {
  if (!is_valid_base(base)) {
    return -3;
  }
  return parse_number(text, out, index,
                      [base](const char* s, char** end) { return std::strtol(s, end, base); });
}

int _stoi64(const std::string& text, long long* out, std::size_t* index, int base) {
  if (!is_valid_base(base)) {
    return -3;
  }
  return parse_number(text, out, index,
                      [base](const char* s, char** end) { return std::strtoll(s, end, base); });
}

int _stod(const std::string& text, double* out, std::size_t* index) {
  return parse_number(text, out, index,
                      [](const char* s, char** end) { return std::strtod(s, end); });
}

std::string str_to_timestamp(const std::string& text, int digits) {
  const std::string_view view(text);
  const std::size_t pos = find_stamp(view);
  if (pos == std::string_view::npos) {
    return text;
  }
  std::string result(view.substr(pos, date_length));
  result += ' ';
  result += view.substr(pos + time_offset, time_length);
  const std::string_view fraction = find_fraction(view.substr(pos + stamp_shape.size()));
  if (!fraction.empty() && digits > 0) {
    result += '.';
    result += fraction.substr(0, static_cast<std::size_t>(digits));
  }
  return result;
}

bool is_decimal_int(const std::string& text, int& out) {
  const std::string trimmed = trim(text);
  std::size_t i = 0;
  const bool negative = !trimmed.empty() && trimmed[0] == '-';
  if (negative) {
    ++i;
  }
  if (i == trimmed.size()) {
    return false;
  }
  // The magnitude of INT_MIN is one more than INT_MAX.
  const long long limit = negative ? -static_cast<long long>(std::numeric_limits<int>::min())
                                   : std::numeric_limits<int>::max();
  long long magnitude = 0;
  for (; i < trimmed.size(); ++i) {
    if (!is_ascii_digit(trimmed[i])) {
      return false;
    }
    magnitude = magnitude * 10 + (trimmed[i] - '0');
    if (magnitude > limit) {
      return false;
    }
  }
  out = static_cast<int>(negative ? -magnitude : magnitude);
  return true;
}

std::string trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

} // namespace str
