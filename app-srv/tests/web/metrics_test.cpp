#include "web/metrics.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

std::string scrape(const web::metrics& m) {
  web::exposition out;
  m.write(out);
  return out.text();
}

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(Metrics, DurationBucketsAreCumulativeAndEndInTheCount) {
  web::metrics m({"price", "order"}, {});
  const std::size_t price = m.endpoint_slot("price");
  m.count_request(price, 200, 3ms);    // le 0.005
  m.count_request(price, 200, 300ms);  // le 0.5
  m.count_request(price, 200, 30s);    // only +Inf
  m.count_request(price, 200, 5000ms); // exactly on a bound: le 5
  const std::string text = scrape(m);
  for (const char* line : {
           R"(orvale_http_request_duration_seconds_bucket{endpoint="price",le="0.005"} 1)",
           R"(orvale_http_request_duration_seconds_bucket{endpoint="price",le="0.25"} 1)",
           R"(orvale_http_request_duration_seconds_bucket{endpoint="price",le="0.5"} 2)",
           R"(orvale_http_request_duration_seconds_bucket{endpoint="price",le="5"} 3)",
           R"(orvale_http_request_duration_seconds_bucket{endpoint="price",le="10"} 3)",
           R"(orvale_http_request_duration_seconds_bucket{endpoint="price",le="+Inf"} 4)",
           R"(orvale_http_request_duration_seconds_count{endpoint="price"} 4)",
           R"(orvale_http_request_duration_seconds_sum{endpoint="price"} 35.303)",
           R"(orvale_http_request_duration_seconds_count{endpoint="order"} 0)",
           R"(orvale_http_requests_total{endpoint="price",code="200"} 4)",
       }) {
    EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
  }
}

TEST(Metrics, UnknownEndpointsAndStatusesLandInOtherAnd500) {
  web::metrics m({"price"}, {"aggregator"});
  const std::size_t other = m.endpoint_slot("no-such");
  EXPECT_EQ(other, m.endpoint_slot("other"));
  m.count_request(other, 404, 1ms);
  m.count_request(m.endpoint_slot("price"), 0, 1ms);   // no status was ever set
  m.count_request(m.endpoint_slot("price"), 999, 1ms); // nonsense from a handler
  m.count_request(12345, 200, 1ms);                    // a slot that does not exist
  EXPECT_EQ(m.requests(other, 404), 1u);
  EXPECT_EQ(m.requests(m.endpoint_slot("price"), 500), 2u);
  EXPECT_EQ(m.requests(other, 200), 1u);
  EXPECT_EQ(m.peer("station"), nullptr);
  ASSERT_NE(m.peer("aggregator"), nullptr);
}

TEST(Metrics, PeerOutcomesFollowTheStatusClassOrTheMissingAnswer) {
  struct row {
    long status;
    bool transfer_failed;
    web::call_outcome want;
  };
  for (const row& r : {row{200, false, web::call_outcome::status_2xx},
                       row{404, false, web::call_outcome::status_4xx},
                       row{503, false, web::call_outcome::status_5xx},
                       row{502, true, web::call_outcome::transport},
                       row{302, false, web::call_outcome::transport},
                       row{500, true, web::call_outcome::transport}}) {
    EXPECT_EQ(web::outcome_of(r.status, r.transfer_failed), r.want) << r.status;
  }
}

TEST(Metrics, LabelValuesAreEscaped) {
  web::exposition out;
  out.sample("x", {"a", "q\"b\\s\nn"}, std::uint64_t{1});
  EXPECT_EQ(out.text(), "x{a=\"q\\\"b\\\\s\\nn\"} 1\n");
}

} // namespace
