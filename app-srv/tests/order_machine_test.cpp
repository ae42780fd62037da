// What needs no server in the order's run: reading a station's answer, the published-price
// comparison of the order endpoint, and the guard that answers a request exactly once when a step
// throws.
#include "order_machine.h"

#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "order.h"
#include "support/log_capture.h"

namespace {

using srv_apps::read_station_reply;
using srv_apps::station_reply;

TEST(StationReply, ReadsEveryKeyAndAppendsTheTextToTheMessage) {
  station_reply r;
  ASSERT_TRUE(read_station_reply(
      R"({"msg":"Нет топлива","txt":"резервуар 3","cmd":"GETPRS","action":"CHPRS","prd":3,)"
      R"("prs":999,"trannum":555,"timeset":"04.03.2021 05:06:08","litre":"10.5",)"
      R"("extendedOrderId":"77","extendedDate":"04.03.2021 05:07:00","orderStatus":"Fueling",)"
      R"("stat":2,"res":1,"err":4,"tcod":"x"})",
      r));
  EXPECT_EQ(r.msg, "Нет топлива (резервуар 3)");
  EXPECT_EQ(r.cmd, "GETPRS");
  EXPECT_EQ(r.action, "CHPRS");
  EXPECT_EQ(r.prd, 3);
  EXPECT_EQ(r.prs, 999);
  EXPECT_EQ(r.trannum, 555);
  EXPECT_EQ(r.timeset, "04.03.2021 05:06:08");
  EXPECT_EQ(r.litre, "10.5");
  EXPECT_EQ(r.extendedOrderId, "77");
  EXPECT_EQ(r.extendedDate, "04.03.2021 05:07:00");
  EXPECT_EQ(r.orderStatus, "Fueling");
  EXPECT_EQ(r.stat, 2);
  EXPECT_EQ(r.res, 1);
  EXPECT_EQ(r.err, 4);
  EXPECT_EQ(r.tcod, "x");
}

TEST(StationReply, MissingOrMistypedKeysKeepTheirDefaults) {
  station_reply r;
  r.msg = "left over";
  ASSERT_TRUE(read_station_reply(
      R"({"msg":7,"txt":"","prd":"3","prs":9.99,"trannum":"555","litre":10.5,"stat":null})", r));
  EXPECT_EQ(r.msg, "");
  EXPECT_EQ(r.prd, -1);
  EXPECT_EQ(r.prs, 0);
  EXPECT_EQ(r.trannum, -1);
  EXPECT_EQ(r.litre, "");
  EXPECT_EQ(r.stat, -1);
  // Only the text: " (text)" on an empty message.
  ASSERT_TRUE(read_station_reply(R"({"txt":"t"})", r));
  EXPECT_EQ(r.msg, " (t)");
}

TEST(StationReply, NothingToReadResetsToDefaults) {
  for (const char* text : {"", "null", "{\"msg\":", "not json", "{} {}"}) {
    station_reply r;
    r.msg = "left over";
    r.trannum = 5;
    EXPECT_FALSE(read_station_reply(text, r)) << text;
    EXPECT_EQ(r.msg, "") << text;
    EXPECT_EQ(r.trannum, -1) << text;
  }
}

TEST(PublishedPrice, ComparesWholeHundredthsOfTheStoredPrice) {
  // The price list rounds the stored 45.675 up; the double read back lies just below the half.
  EXPECT_EQ(srv_apps::price_hundredths(45.675), 4568);
  EXPECT_TRUE(srv_apps::same_published_price(45.675, 45.68));
  EXPECT_FALSE(srv_apps::same_published_price(45.675, 45.67));
  EXPECT_TRUE(srv_apps::same_published_price(52.3, 52.3));
  EXPECT_FALSE(srv_apps::same_published_price(52.3, 52.29));
  EXPECT_TRUE(srv_apps::same_published_price(49.999, 50));
  EXPECT_EQ(srv_apps::price_hundredths(-1.005), -101);
  // Nothing to compare: never the same.
  EXPECT_FALSE(srv_apps::same_published_price(0, 0));
  EXPECT_FALSE(srv_apps::same_published_price(52.3, 0));
  EXPECT_FALSE(srv_apps::same_published_price(1e300, 1e300));
}

// A context whose sender counts what it sends.
struct counted_context {
  std::vector<int> sent;
  web::context_ptr ctx = std::make_shared<web::context>(
      web::request("POST", "/orvale/order", {}, {}, "", "", ""),
      [this](const web::response& r, bool) { sent.push_back(r.status()); });
};

TEST(RunGuarded, AnExceptionBeforeTheAnswerIsAnswered500Once) {
  orvale_test::log_capture logs;
  counted_context c;
  c.ctx->response().status(200);
  c.ctx->response().body("partial");
  EXPECT_FALSE(srv_apps::run_guarded("G-1", 2, c.ctx.get(),
                                     [] { throw std::runtime_error("station body"); }));
  EXPECT_EQ(c.sent, std::vector<int>{500});
  EXPECT_EQ(c.ctx->response().body(), "");
  EXPECT_EQ(logs.count("orvale/order", "[G-1] Сбой обработки заказа [ step=2 ] : station body"), 1);
}

TEST(RunGuarded, AnExceptionAfterTheAnswerSendsNothingMore) {
  counted_context c;
  EXPECT_FALSE(srv_apps::run_guarded("G-2", 5, c.ctx.get(), [&] {
    c.ctx->complete_response();
    throw 42; // not even a standard exception
  }));
  EXPECT_EQ(c.sent, std::vector<int>{200});
  EXPECT_FALSE(srv_apps::run_guarded("G-2", 5, nullptr, [] { throw std::bad_alloc(); }));
}

TEST(RunGuarded, WorkThatEndsNormallyIsLeftToAnswer) {
  counted_context c;
  int runs = 0;
  EXPECT_TRUE(srv_apps::run_guarded("G-3", 1, c.ctx.get(), [&] { ++runs; }));
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(c.sent.empty());
  EXPECT_FALSE(c.ctx->completed());
}

} // namespace
