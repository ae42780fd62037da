#include "web/log.h"

#include <mutex>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(Log, LineFormat) {
  setenv("TZ", "UTC", 1);
  tzset();
  web::log_record r{"orvale/price", web::log_level::warning, "Запрос списка цен", "prices.cpp", 42};
  EXPECT_EQ(web::format_log_line(r, 1700000000),
            "2023-11-14 22:13:20; orvale/price, warning: Запрос списка цен (prices.cpp:42)");
  setenv("TZ", "Europe/Moscow", 1);
  tzset();
  EXPECT_EQ(web::format_log_line(r, 1700000000).substr(0, 19), "2023-11-15 01:13:20");
  unsetenv("TZ");
  tzset();
}

TEST(Log, LevelsNamesAndFiltering) {
  web::log_level l = web::log_level::error;
  EXPECT_TRUE(web::parse_log_level("notice", l));
  EXPECT_EQ(l, web::log_level::notice);
  EXPECT_FALSE(web::parse_log_level("information", l));
  EXPECT_FALSE(web::parse_log_level("ERROR", l));

  std::mutex mu;
  std::vector<web::log_record> seen;
  int built = 0;
  auto expensive = [&built] {
    ++built;
    return 1.5;
  };
  {
    web::log_tap tap(web::log_level::warning, [&](const web::log_record& r) {
      std::lock_guard<std::mutex> lock(mu);
      seen.push_back(r);
    });
    LOG("orvale/test", debug, "hidden " << expensive());
    LOG("orvale/test", warning, "shown " << expensive());
    LOG("Database", critical, "also\r\n2026-01-01 00:00:00; orvale, critical: forged");
  }
  EXPECT_EQ(built, 1) << "a suppressed record must not be formatted";
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].channel, "orvale/test");
  EXPECT_EQ(seen[0].level, web::log_level::warning);
  EXPECT_EQ(seen[0].message, "shown 1.5");
  EXPECT_EQ(seen[0].file, "log_test.cpp");
  EXPECT_GT(seen[0].line, 0);
  EXPECT_EQ(seen[1].channel, "Database");
  EXPECT_EQ(seen[1].message, "also  2026-01-01 00:00:00; orvale, critical: forged")
      << "line breaks in a message cannot start a record of their own";
}

TEST(Log, NumbersUseTheDecimalPointWhateverTheGlobalLocale) {
  struct comma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new comma));
  std::vector<std::string> seen;
  {
    web::log_tap tap(web::log_level::debug, [&](const web::log_record& r) { seen.push_back(r.message); });
    LOG("orvale", info, 52.5);
  }
  std::locale::global(previous);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "52.5");
}

} // namespace
