// The form body of a report request: field order, the optional station, and which bytes of a
// value are percent-encoded.
#include "report.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using srv_apps::report_form;

TEST(report_form, lists_the_fields_in_order_and_leaves_out_an_empty_station) {
  EXPECT_EQ(report_form("k", "2024-01-01", "2024-01-31", "", 0),
            "apikey=k&sdate=2024-01-01&edate=2024-01-31&page=0");
  EXPECT_EQ(report_form("k", "2024-01-01", "2024-01-01", "12", -3),
            "apikey=k&sdate=2024-01-01&edate=2024-01-01&stationId=12&page=-3");
}

TEST(report_form, encodes_only_the_bytes_that_would_alter_the_form) {
  // "&", "=", "+", "%" and control bytes; nothing else, so dates, blanks and Cyrillic text reach
  // the aggregator as they were given.
  EXPECT_EQ(report_form("a&b=c", "1+1%", std::string("x\x01y\x7f\n", 5), "1&page=9", 1),
            "apikey=a%26b%3Dc&sdate=1%2B1%25&edate=x%01y%7F%0A&stationId=1%26page%3D9&page=1");
  EXPECT_EQ(report_form("key-._~", "01.02.2024 10:00:00", "АЗС/2 #1?", "7", 0),
            "apikey=key-._~&sdate=01.02.2024 10:00:00&edate=АЗС/2 #1?&stationId=7&page=0");
  EXPECT_EQ(report_form("k", std::string("a\0b", 3), "e", "", 0),
            "apikey=k&sdate=a%00b&edate=e&page=0");
}

} // namespace
