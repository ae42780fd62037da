// The station event relay's calls to a recording fake aggregator: form values as the station sent
// them except the bytes that would break the form, each call's path, body, time limit and log
// lines.
#include "station_upstream.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/curl_library.h"
#include "support/fake_peer.h"
#include "support/log_capture.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::fake_peer;
using orvale_test::log_capture;
using orvale_test::reply;
using srv_apps::form_escape;
using srv_apps::order_upstream;
using srv_apps::station_upstream;

[[maybe_unused]] testing::Environment* const curl_env = orvale_test::register_curl_library();

station_upstream upstream_of(const fake_peer& agg) {
  return station_upstream(order_upstream(agg.base_url(), srv_apps::tls_settings{false, ""}));
}

TEST(FormEscape, EncodesOnlyTheBytesThatWouldBreakTheForm) {
  EXPECT_EQ(form_escape("a&b=c+d%e"), "a%26b%3Dc%2Bd%25e");
  const std::string controls = {'x', '\n', 'y', '\r', 'z', '\t', '\x01', '\x7f', '\0'};
  EXPECT_EQ(form_escape(controls), "x%0Ay%0Dz%09%01%7F%00");
  // Cyrillic as raw UTF-8, blanks and the other punctuation of dates and numbers as they are.
  EXPECT_EQ(form_escape("Заказ не согласован"), "Заказ не согласован");
  EXPECT_EQ(form_escape("05.03.2024 07:08:09"), "05.03.2024 07:08:09");
  EXPECT_EQ(form_escape("12.345abc;/?#~"), "12.345abc;/?#~");
  EXPECT_EQ(form_escape(""), "");
}

TEST(StationUpstream, SendsEachEventToItsPathWithTheValuesAsReceived) {
  fake_peer agg;
  for (const char* path : {"/api/order/fueling", "/api/order/canceled", "/api/order/completed",
                           "/api/order/volume", "/api/order/message"}) {
    agg.script(path, {reply(200)});
  }
  const station_upstream up = upstream_of(agg);
  EXPECT_EQ(up.upstream_fueling("k", "o-1"), 200);
  EXPECT_EQ(up.upstream_cancel("k", "o&1", "Колонка неисправна, 100%"), 200);
  EXPECT_EQ(up.upstream_cancel("k", "o-1", ""), 200);
  EXPECT_EQ(up.upstream_completed("k", "o-1", "77", "05.03.2024 07:08:09", "12.345abc"), 200);
  EXPECT_EQ(up.upstream_volume("k", "o-1", "3.5"), 200);
  EXPECT_EQ(up.upstream_notify("k", "o-1", "Нет связи с ТРК=2"), 200);

  const auto seen = agg.requests();
  ASSERT_EQ(seen.size(), 6u);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"/api/order/fueling", "apikey=k&orderId=o-1"},
      {"/api/order/canceled", "apikey=k&orderId=o%261&reason=Колонка неисправна, 100%25"},
      {"/api/order/canceled", "apikey=k&orderId=o-1&reason="},
      {"/api/order/completed", "apikey=k&orderId=o-1&litre=12.345abc&extendedOrderId=77"
                               "&extendedDate=05.03.2024 07:08:09"},
      {"/api/order/volume", "apikey=k&orderid=o-1&litre=3.5"},
      {"/api/order/message", "apikey=k&orderid=o-1&msg=Нет связи с ТРК%3D2"},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(seen[i].method, "POST");
    EXPECT_EQ(seen[i].path, expected[i].first);
    EXPECT_EQ(seen[i].body, expected[i].second);
    EXPECT_EQ(seen[i].content_type, "application/x-www-form-urlencoded");
    EXPECT_EQ(seen[i].header("Content-encoding"), "UTF-8");
    EXPECT_EQ(seen[i].header("charset"), "utf-8");
    EXPECT_EQ(seen[i].header("Content-language"), "ru");
  }
}

TEST(StationUpstream, LogsEachCallWithItsOwnTextsAndChannel) {
  fake_peer agg;
  agg.script("/api/order/fueling", {reply(409)});
  agg.script("/api/order/completed", {reply(200)});
  agg.script("/api/order/volume", {reply(200)});
  agg.script("/api/order/message", {reply(200)});
  agg.close_connections_on("/api/order/canceled");
  const station_upstream up = upstream_of(agg);
  const std::string base = agg.base_url();
  log_capture logs;

  EXPECT_EQ(up.upstream_fueling("k", "1"), 409);
  EXPECT_EQ(up.upstream_cancel("k", "1", "r"), 502);
  EXPECT_EQ(up.upstream_completed("k", "1", "2", "d", "3"), 200);
  EXPECT_EQ(up.upstream_volume("k", "1", "3"), 200);
  EXPECT_EQ(up.upstream_notify("k", "1", "m"), 200);

  EXPECT_EQ(logs.messages("orvale"),
            (std::vector<std::string>{
                "Send \"Fueling\" status endpoint=" + base +
                    "/api/order/fueling postdata=apikey=k&orderId=1 length=18",
                "Get \"Fueling\" status response=409",
                "Send \"Canceled\" status endpoint=" + base +
                    "/api/order/canceled postdata=apikey=k&orderId=1&reason=r",
                "Error in \"Canceled\" status curle_easy_perform() err=52 descr=Server returned "
                "nothing (no headers, no data)",
                "Send \"Completed\" status endpoint=" + base +
                    "/api/order/completed postdata=apikey=k&orderId=1&litre=3&extendedOrderId=2"
                    "&extendedDate=d length=59",
                "Get \"Completed\" status response=200",
                "Send \"Volume\" status endpoint=" + base +
                    "/api/order/volume postdata=apikey=k&orderid=1&litre=3 size=26",
                "Get \"Volume\" status response=200",
            }));
  EXPECT_EQ(logs.messages("orvale/message"),
            (std::vector<std::string>{
                "Send \"Notify\" status endpoint=" + base +
                    "/api/order/message postdata=apikey=k&orderid=1&msg=m size=24",
                "Get \"Notify\" status response=200",
            }));
}

// Volume and message give up after 3 s; the status events wait up to 10 s.
TEST(StationUpstream, VolumeAndMessageHaveTheShortTimeLimit) {
  fake_peer agg;
  for (const char* path : {"/api/order/volume", "/api/order/message", "/api/order/fueling"}) {
    agg.script(path, {reply(200, "", 4s)});
  }
  const station_upstream up = upstream_of(agg);
  for (const auto& call :
       {+[](const station_upstream& u) { return u.upstream_volume("k", "1", "2"); },
        +[](const station_upstream& u) { return u.upstream_notify("k", "1", "m"); }}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(up), 502);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 2900ms);
    EXPECT_LT(took, 3900ms);
  }
  EXPECT_EQ(up.upstream_fueling("k", "1"), 200);
}

TEST(StationUpstream, WithoutAnUpstreamUrlEveryCallIs503AndNothingIsLogged) {
  log_capture logs;
  const station_upstream up(order_upstream("", srv_apps::tls_settings{}));
  EXPECT_EQ(up.upstream_fueling("k", "1"), 503);
  EXPECT_EQ(up.upstream_cancel("k", "1", "r"), 503);
  EXPECT_EQ(up.upstream_completed("k", "1", "2", "d", "3"), 503);
  EXPECT_EQ(up.upstream_volume("k", "1", "3"), 503);
  EXPECT_EQ(up.upstream_notify("k", "1", "m"), 503);
  EXPECT_TRUE(logs.messages().empty());
}

} // namespace
