// Text helpers: the cases where splitting, number parsing, formatting and timestamp
// normalisation are easy to get subtly wrong.
#include "str.h"

#include <cerrno>
#include <chrono>
#include <clocale>
#include <iomanip>
#include <locale>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using strings = std::vector<std::string>;

// Restores one category of the C locale when the test ends.
class c_locale_guard {
public:
  explicit c_locale_guard(int category)
      : category_(category), saved_(std::setlocale(category, nullptr)) {}
  ~c_locale_guard() { std::setlocale(category_, saved_.c_str()); }
  c_locale_guard(const c_locale_guard&) = delete;
  c_locale_guard& operator=(const c_locale_guard&) = delete;
  bool use(const char* name) { return std::setlocale(category_, name) != nullptr; }

private:
  int category_;
  std::string saved_;
};

// Installs a C++ global locale for the test's duration.
class global_locale_guard {
public:
  explicit global_locale_guard(const std::locale& loc) : saved_(std::locale::global(loc)) {}
  ~global_locale_guard() { std::locale::global(saved_); }
  global_locale_guard(const global_locale_guard&) = delete;
  global_locale_guard& operator=(const global_locale_guard&) = delete;

private:
  std::locale saved_;
};

struct comma_numpunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

std::locale comma_locale() {
  // std::locale owns and deletes the facet.
  return std::locale(std::locale::classic(), std::make_unique<comma_numpunct>().release());
}

std::string upper(std::string s) {
  str::toUpper(s);
  return s;
}

std::string lower(std::string s) {
  str::toLower(s);
  return s;
}

std::wstring upper(std::wstring s) {
  str::toUpper(s);
  return s;
}

std::wstring lower(std::wstring s) {
  str::toLower(s);
  return s;
}

template <class F> double seconds_taken(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(StrSplit, ByCharacterReadsLikeLines) {
  EXPECT_EQ(str::split("a,,b", ','), (strings{"a", "", "b"}));
  EXPECT_EQ(str::split("a,b,", ','), (strings{"a", "b"}));
  EXPECT_EQ(str::split("", ','), strings{});
  EXPECT_EQ(str::split(",a", ','), (strings{"", "a"}));
  EXPECT_EQ(str::split(",", ','), (strings{""}));
  EXPECT_EQ(str::split("a,,", ','), (strings{"a", ""}));
  EXPECT_EQ(str::split("abc", ','), (strings{"abc"}));
  EXPECT_EQ(str::split("ключ,app,пароль", ','), (strings{"ключ", "app", "пароль"}));
}

TEST(StrSplit, ByStringKeepsEveryPieceAndTheRemainder) {
  EXPECT_EQ(str::split("a::b", "::"), (strings{"a", "b"}));
  EXPECT_EQ(str::split("", "::"), (strings{""}));
  EXPECT_EQ(str::split("a,", ","), (strings{"a", ""}));
  EXPECT_EQ(str::split("::", "::"), (strings{"", ""}));
  EXPECT_EQ(str::split("a::::b", "::"), (strings{"a", "", "b"}));
  // The next search starts after the previous separator, so ":::" is cut once.
  EXPECT_EQ(str::split("a:::b", "::"), (strings{"a", ":b"}));
  EXPECT_EQ(str::split("x, y, z", ", "), (strings{"x", "y", "z"}));
  EXPECT_EQ(str::split("no separator", "::"), (strings{"no separator"}));
  EXPECT_EQ(str::split("abc", ""), (strings{"abc"}));
}

TEST(StrCase, NarrowChangesOnlyAsciiLettersInCAndUtf8Locales) {
  c_locale_guard guard(LC_CTYPE);
  for (const char* name : {"C", "C.UTF-8"}) {
    if (!guard.use(name)) {
      continue; // C always exists; C.UTF-8 is a bonus where installed
    }
    SCOPED_TRACE(name);
    EXPECT_EQ(upper("Привет, World 123 ё!"), "Привет, WORLD 123 ё!");
    EXPECT_EQ(lower("Привет, WORLD 123 Ё!"), "Привет, world 123 Ё!");
    EXPECT_EQ(upper(""), "");
    std::string every_byte;
    for (int b = 1; b < 256; ++b) {
      every_byte.push_back(static_cast<char>(b));
    }
    const std::string up = upper(every_byte);
    const std::string down = lower(every_byte);
    ASSERT_EQ(up.size(), every_byte.size());
    ASSERT_EQ(down.size(), every_byte.size());
    for (std::size_t i = 0; i < every_byte.size(); ++i) {
      const char c = every_byte[i];
      const char want_up = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
      const char want_down = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      EXPECT_EQ(up[i], want_up) << "byte " << i + 1;
      EXPECT_EQ(down[i], want_down) << "byte " << i + 1;
    }
  }
}

TEST(StrCase, WideFollowsTheLocaleCaseMapping) {
  c_locale_guard guard(LC_CTYPE);
  ASSERT_TRUE(guard.use("C"));
  EXPECT_EQ(upper(std::wstring(L"abc-Xyz 9")), L"ABC-XYZ 9");
  EXPECT_EQ(lower(std::wstring(L"ABC-xYZ 9")), L"abc-xyz 9");
  if (!guard.use("C.UTF-8")) {
    GTEST_SKIP() << "no C.UTF-8 locale for the Cyrillic wide case";
  }
  EXPECT_EQ(upper(std::wstring(L"привет, ёж abc")), L"ПРИВЕТ, ЁЖ ABC");
  EXPECT_EQ(lower(std::wstring(L"ПРИВЕТ, ЁЖ ABC")), L"привет, ёж abc");
}

TEST(StrDbl2Str, FixedPointWithStreamRounding) {
  EXPECT_EQ(str::dbl2str(2.5, 4), "2.5000");
  EXPECT_EQ(str::dbl2str(49.999, 2), "50.00");
  EXPECT_EQ(str::dbl2str(0, 2), "0.00");
  EXPECT_EQ(str::dbl2str(-0.5, 2), "-0.50");
  EXPECT_EQ(str::dbl2str(1234567.891, 2), "1234567.89");        // no grouping
  EXPECT_EQ(str::dbl2str(1e20, 2), "100000000000000000000.00"); // no exponent
  EXPECT_EQ(str::dbl2str(1e-7, 4), "0.0000");
  EXPECT_EQ(str::dbl2str(3.7, 0), "4");
  EXPECT_EQ(str::dbl2str(3.7, -1), "4");
  // The binary value of 2.675 lies just below the half, so the stream rounds it down.
  EXPECT_EQ(str::dbl2str(2.675, 2), "2.67");
}

TEST(StrDbl2Str, IgnoresACommaInTheGlobalCppLocale) {
  global_locale_guard guard(comma_locale());
  std::ostringstream plain;
  plain << std::fixed << std::setprecision(2) << 1234.5;
  ASSERT_EQ(plain.str(), "1.234,50") << "the comma locale did not take effect";
  EXPECT_EQ(str::dbl2str(1234.5, 2), "1234.50");
  EXPECT_EQ(str::dbl2str(-98765.4321, 4), "-98765.4321");
}

TEST(StrDbl2Str, IgnoresACommaInTheCLocale) {
  c_locale_guard guard(LC_ALL);
  bool found = false;
  for (const char* name :
       {"ru_RU.UTF-8", "ru_RU.utf8", "de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
    if (guard.use(name) && std::string(std::localeconv()->decimal_point) == ",") {
      found = true;
      break;
    }
  }
  if (!found) {
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  global_locale_guard cpp_guard(std::locale(""));
  EXPECT_EQ(str::dbl2str(1234.5, 2), "1234.50");
  EXPECT_EQ(str::dbl2str(0.125, 4), "0.1250");
}

TEST(StrParse, IntStatusesAndIndex) {
  int v = 777;
  std::size_t idx = 99;
  EXPECT_EQ(str::_stoi("  -42", &v, &idx), 0);
  EXPECT_EQ(v, -42);
  EXPECT_EQ(idx, 5u);

  EXPECT_EQ(str::_stoi("12abc", &v, &idx), 0);
  EXPECT_EQ(v, 12);
  EXPECT_EQ(idx, 2u);

  EXPECT_EQ(str::_stoi("+5", &v, nullptr), 0);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(str::_stoi("-2147483648", &v), 0);
  EXPECT_EQ(v, -2147483648LL);
  EXPECT_EQ(str::_stoi("2147483647", &v), 0);
  EXPECT_EQ(v, 2147483647);

  v = 777;
  idx = 99;
  EXPECT_EQ(str::_stoi("abc", &v, &idx), -1);
  EXPECT_EQ(str::_stoi("", &v, &idx), -1);
  EXPECT_EQ(str::_stoi("   ", &v, &idx), -1);
  EXPECT_EQ(str::_stoi("-", &v, &idx), -1);
  EXPECT_EQ(str::_stoi("2147483648", &v, &idx), -2);
  EXPECT_EQ(str::_stoi("-2147483649", &v, &idx), -2);
  EXPECT_EQ(str::_stoi("99999999999", &v, &idx), -2);
  EXPECT_EQ(str::_stoi("123456789012345678901234567890", &v, &idx), -2);
  EXPECT_EQ(v, 777) << "a failure must not touch the output";
  EXPECT_EQ(idx, 99u) << "a failure must not touch the index";
}

TEST(StrParse, IntBasesAndMisuse) {
  int v = 0;
  std::size_t idx = 0;
  EXPECT_EQ(str::_stoi("ff", &v, &idx, 16), 0);
  EXPECT_EQ(v, 255);
  EXPECT_EQ(idx, 2u);
  EXPECT_EQ(str::_stoi("0x1Ag", &v, &idx, 0), 0);
  EXPECT_EQ(v, 26);
  EXPECT_EQ(idx, 4u);
  EXPECT_EQ(str::_stoi("012", &v, nullptr, 0), 0);
  EXPECT_EQ(v, 10);
  EXPECT_EQ(str::_stoi("102", &v, &idx, 2), 0);
  EXPECT_EQ(v, 2);
  EXPECT_EQ(idx, 2u);

  v = 777;
  EXPECT_EQ(str::_stoi("12", &v, nullptr, 1), -3);
  EXPECT_EQ(str::_stoi("12", &v, nullptr, 37), -3);
  EXPECT_EQ(str::_stoi("12", &v, nullptr, -2), -3);
  EXPECT_EQ(v, 777);
  EXPECT_EQ(str::_stoi("12", nullptr, &idx), -3);
}

TEST(StrParse, SixtyFourBitForms) {
  long l = 0;
  long long ll = 0;
  std::size_t idx = 0;
  EXPECT_EQ(str::_stol("2147483648", &l), 0); // beyond int, fine for a 64-bit long
  EXPECT_EQ(l, 2147483648L);
  EXPECT_EQ(str::_stol(" 9223372036854775807;", &l, &idx), 0);
  EXPECT_EQ(l, 9223372036854775807L);
  EXPECT_EQ(idx, 20u);
  EXPECT_EQ(str::_stoi64("-9223372036854775808", &ll), 0);
  EXPECT_EQ(ll, -9223372036854775807LL - 1);
  EXPECT_EQ(str::_stoi64("7fffffffffffffff", &ll, nullptr, 16), 0);
  EXPECT_EQ(ll, 9223372036854775807LL);

  l = 5;
  ll = 6;
  EXPECT_EQ(str::_stol("9223372036854775808", &l), -2);
  EXPECT_EQ(str::_stoi64("-9223372036854775809", &ll), -2);
  EXPECT_EQ(str::_stol("x1", &l), -1);
  EXPECT_EQ(str::_stoi64("", &ll), -1);
  EXPECT_EQ(str::_stoi64("1", &ll, nullptr, 40), -3);
  EXPECT_EQ(str::_stol("1", nullptr), -3);
  EXPECT_EQ(l, 5);
  EXPECT_EQ(ll, 6);
}

TEST(StrParse, DoubleStatusesAndIndex) {
  double d = -1.0;
  std::size_t idx = 0;
  EXPECT_EQ(str::_stod("3.5x", &d, &idx), 0);
  EXPECT_DOUBLE_EQ(d, 3.5);
  EXPECT_EQ(idx, 3u);
  EXPECT_EQ(str::_stod("  -0.25", &d, &idx), 0);
  EXPECT_DOUBLE_EQ(d, -0.25);
  EXPECT_EQ(idx, 7u);
  EXPECT_EQ(str::_stod("1e3", &d), 0);
  EXPECT_DOUBLE_EQ(d, 1000.0);

  d = 42.0;
  idx = 99;
  EXPECT_EQ(str::_stod("1e999", &d, &idx), -2);
  EXPECT_EQ(str::_stod("-1e999", &d, &idx), -2);
  EXPECT_EQ(str::_stod("abc", &d, &idx), -1);
  EXPECT_EQ(str::_stod("", &d, &idx), -1);
  EXPECT_EQ(str::_stod(".", &d, &idx), -1);
  EXPECT_EQ(str::_stod("1", nullptr), -3);
  EXPECT_EQ(d, 42.0);
  EXPECT_EQ(idx, 99u);
}

TEST(StrParse, LeavesErrnoAsTheCallerHadIt) {
  double d = 0;
  int v = 0;
  errno = EDOM;
  EXPECT_EQ(str::_stod("1e999", &d), -2);
  EXPECT_EQ(errno, EDOM);
  errno = 0;
  EXPECT_EQ(str::_stoi("99999999999", &v), -2);
  EXPECT_EQ(errno, 0);
}

TEST(StrTimestamp, NormalisesDateTimeAndFraction) {
  EXPECT_EQ(str::str_to_timestamp("2021-03-04 05:06:07", 6), "2021-03-04 05:06:07");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07", 6), "2021-03-04 05:06:07");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07.1234567+03:00", 6),
            "2021-03-04 05:06:07.123456");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07Z", 6), "2021-03-04 05:06:07");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07-05:00", 6), "2021-03-04 05:06:07");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07.123", 6), "2021-03-04 05:06:07.123");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07.123456789Z", 6),
            "2021-03-04 05:06:07.123456");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07.123456789Z", 3), "2021-03-04 05:06:07.123");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07.5Z", 0), "2021-03-04 05:06:07");
}

TEST(StrTimestamp, FindsTheFirstMatchAnywhere) {
  EXPECT_EQ(str::str_to_timestamp("at 2021-03-04T05:06:07Z", 6), "2021-03-04 05:06:07");
  // A fifth leading digit: the search must restart one character later, not after the run.
  EXPECT_EQ(str::str_to_timestamp("12021-03-04T05:06:07", 6), "2021-03-04 05:06:07");
  EXPECT_EQ(str::str_to_timestamp("1999-01-01 00:00:00 then 2021-03-04T05:06:07.9", 6),
            "1999-01-01 00:00:00.9");
  // The fraction is the first point with a digit after it, wherever it stands after the time.
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07Z, seq. 12, took 0.75 s", 6),
            "2021-03-04 05:06:07.75");
  EXPECT_EQ(str::str_to_timestamp("2021-03-04T05:06:07. 5", 6), "2021-03-04 05:06:07");
  // Digits before the match do not count as a fraction.
  EXPECT_EQ(str::str_to_timestamp("v1.5 2021-03-04T05:06:07", 6), "2021-03-04 05:06:07");
}

TEST(StrTimestamp, LeavesNonMatchingTextUnchanged) {
  for (const std::string text :
       {"", "no date here", "2021-03-04", "2021-03-04T05:06", "2021-03-04T05:06:0",
        "2021/03/04T05:06:07", "2021-03-04X05:06:07", "2021-03-04t05:06:07", "2021-3-04T05:06:07",
        "2021-03-04  05:06:07", "21-03-04T05:06:07.5"}) {
    EXPECT_EQ(str::str_to_timestamp(text, 6), text) << text;
  }
  // Non-ASCII digits (here Arabic-Indic zero) do not count as digits.
  const std::string arabic_zero = "\xD9\xA0";
  const std::string odd = "202" + arabic_zero + "-03-04T05:06:07";
  EXPECT_EQ(str::str_to_timestamp(odd, 6), odd);
}

TEST(StrTimestamp, LongDigitRunsStayLinear) {
  const std::string run(100000, '7');
  const std::string stamp = "2021-03-04T05:06:07";
  std::string near_misses;
  for (int i = 0; i < 10000; ++i) {
    near_misses += "2021-03-04T05:06:0x";
  }
  std::string dots;
  for (int i = 0; i < 50000; ++i) {
    dots += ". ";
  }
  std::string r1, r2, r3, r4, r5;
  const double taken = seconds_taken([&] {
    r1 = str::str_to_timestamp(run, 6);
    r2 = str::str_to_timestamp(stamp + "." + run + "Z", 6);
    r3 = str::str_to_timestamp(run + stamp, 6);
    r4 = str::str_to_timestamp(near_misses, 6);
    r5 = str::str_to_timestamp(stamp + dots + "9", 6);
  });
  EXPECT_EQ(r1, run);
  EXPECT_EQ(r2, "2021-03-04 05:06:07.777777");
  // Only the four digits right before the first '-' form the year.
  EXPECT_EQ(r3, "2021-03-04 05:06:07");
  EXPECT_EQ(r4, near_misses);
  EXPECT_EQ(r5, "2021-03-04 05:06:07");
  EXPECT_LT(taken, 1.0) << "normalising long texts took " << taken << " s";
}

TEST(StrIsDecimalInt, AcceptsOnlyPlainInt32) {
  int v = 0;
  EXPECT_TRUE(str::is_decimal_int("42", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(str::is_decimal_int(" \t-7\r\n", v));
  EXPECT_EQ(v, -7);
  EXPECT_TRUE(str::is_decimal_int("2147483647", v));
  EXPECT_EQ(v, 2147483647);
  EXPECT_TRUE(str::is_decimal_int("-2147483648", v));
  EXPECT_EQ(v, -2147483647 - 1);
  EXPECT_TRUE(str::is_decimal_int("007", v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(str::is_decimal_int(std::string(50, '0') + "42", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(str::is_decimal_int("-0", v));
  EXPECT_EQ(v, 0);

  v = 777;
  for (const std::string bad :
       {"", " ", "-", "+1", "1 2", "12a", "a12", "0x10", "1.0", "--1", "- 1", "2147483648",
        "-2147483649", "4294967296", "99999999999999999999999999", "\xEF\xBC\x94\xEF\xBC\x92",
        "\v1", "1\f"}) {
    EXPECT_FALSE(str::is_decimal_int(bad, v)) << '"' << bad << '"';
  }
  EXPECT_EQ(v, 777) << "a rejected text must not touch the output";
}

TEST(StrTrim, RemovesAsciiBlanksAtBothEndsOnly) {
  EXPECT_EQ(str::trim("  a b \t\r\n"), "a b");
  EXPECT_EQ(str::trim("\r\n\tx"), "x");
  EXPECT_EQ(str::trim("x"), "x");
  EXPECT_EQ(str::trim(""), "");
  EXPECT_EQ(str::trim(" \t\r\n "), "");
  EXPECT_EQ(str::trim("\va\v"), "\va\v");
  EXPECT_EQ(str::trim("\xC2\xA0"
                      "a"),
            "\xC2\xA0"
            "a"); // a no-break space is not an ASCII blank
}
