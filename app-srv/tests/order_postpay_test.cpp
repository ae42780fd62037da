// The post-payment sides against fake peers, one try per call as each run of the step makes.
#include "order_postpay.h"

#include <chrono>
#include <functional>
#include <tuple>
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
using srv_apps::order_postpay;
using srv_apps::order_station;
using srv_apps::order_upstream;
using srv_apps::station_link;

[[maybe_unused]] testing::Environment* const curl_env = orvale_test::register_curl_library();

constexpr const char* complete_path = "/api/order/completed";
constexpr const char* cancel_path = "/api/order/canceled";
constexpr const char* fueling_path = "/api/azstank/fueling";
constexpr const char* station_cancel_path = "/api/azstank/canceled";

using srv_apps::postpay_side;

// Calls `try_once(side)` as the step's runs would, until the side closes (bounded); the calls.
template <class Try> int run_side(postpay_side& side, Try try_once) {
  int calls = 0;
  while (side.open && calls < 50) {
    try_once(side);
    ++calls;
  }
  return calls;
}

class postpay : public testing::Test {
protected:
  fake_peer agg_;
  fake_peer st_;
  order_upstream upstream_{agg_.base_url(), srv_apps::tls_settings{false, ""}};
  order_station station_{"gw", srv_apps::tls_settings{false, ""}};
  order_postpay workers_{upstream_, station_};
  station_link link_{st_.base_url() + "/api/azstank", "st"};

  static web::json::value upstr_params() {
    auto p = web::json::make_object();
    p->set("id", "77");
    p->set("app_id", 3);
    p->set("litre", 12.345);
    p->set("extendedOrderId", "E-5");
    p->set("extendedDate", "05.03.2024 07:08:09");
    p->set("Reason", "Заказ не принят.");
    return p;
  }
  static web::json::value station_body() {
    auto b = web::json::make_object();
    b->set("id", "77");
    b->set("trk", 2);
    b->set("ExtendedId", "E-5");
    b->set("is_postpay", true);
    return b;
  }
};

// Each side: its tries, and one more call that gives up with the error line (the step's pause
// comes after the last try too); what stops it early.
TEST_F(postpay, each_side_tries_its_number_of_times_then_gives_up_with_an_error_line) {
  agg_.script(complete_path, {{500}});
  agg_.script(cancel_path, {{503}});
  st_.close_connections_on(fueling_path);
  st_.script(station_cancel_path, {{409}});
  const struct {
    const char* name;
    std::function<void(postpay_side&)> try_once;
    fake_peer* peer;
    const char* path;
    const char* channel;
    int tries;
    int result;
    const char* given_up;
  } sides[] = {
      {"aggregator completion",
       [&](postpay_side& s) { workers_._postpay_upstr_complete("key", upstr_params(), s); }, &agg_,
       complete_path, "orvale/complete", 5, 500,
       "Id=77 Передача \"Completed\" (PostPay) прекращена после 5 попыток [HTTP/500]"},
      {"station completion",
       [&](postpay_side& s) { workers_._postpay_peer_complete(link_, "key", station_body(), s); },
       &st_, fueling_path, "orvale/fwd_complete", 20, 502,
       "Id=77 Передача \"Fueling\" (PostPay) прекращена после 20 попыток [HTTP/502]"},
      {"station cancellation",
       [&](postpay_side& s) { workers_._postpay_peer_cancel(link_, "key", station_body(), s); },
       &st_, station_cancel_path, "orvale/fwd_cancel", 10, 409,
       "Id=77 Передача \"AZS Canceled\" (PostPay) прекращена после 10 попыток [HTTP/409]"},
      {"aggregator cancellation",
       [&](postpay_side& s) { workers_._postpay_upstr_cancel("key", upstr_params(), s); }, &agg_,
       cancel_path, "orvale/cancel", 10, 503,
       "Id=77 Передача \"Canceled\" (PostPay) прекращена после 10 попыток [HTTP/503]"},
  };
  for (const auto& side : sides) {
    SCOPED_TRACE(side.name);
    log_capture logs;
    postpay_side state;
    EXPECT_EQ(run_side(state, side.try_once), side.tries + 1);
    EXPECT_EQ(side.peer->requests(side.path).size(), static_cast<std::size_t>(side.tries));
    EXPECT_EQ(state.tries, side.tries);
    EXPECT_EQ(state.result, side.result);
    EXPECT_EQ(logs.count(side.channel, web::log_level::error, side.given_up), 1);
  }
  EXPECT_EQ(agg_.requests(complete_path)[0].body,
            "apikey=key&orderId=77&litre=12.35&extendedOrderId=E-5"
            "&extendedDate=05.03.2024 07:08:09");
  EXPECT_EQ(st_.requests(fueling_path)[0].body,
            R"({"ExtendedId":"E-5","id":"77","is_postpay":true,"trk":2})");
}

TEST_F(postpay, a_side_closes_at_its_first_200_and_logs_its_first_line_once) {
  agg_.script(complete_path, {{503}, {502}, {200}});
  log_capture logs;
  postpay_side upstr;
  EXPECT_EQ(run_side(upstr, [&](postpay_side& s) {
              workers_._postpay_upstr_complete("key", upstr_params(), s);
            }),
            3);
  EXPECT_EQ(upstr.result, 200);
  const auto lines = logs.messages("orvale/complete");
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "Id='77' Передача статуса завершения  (PostPay Completed)");
  EXPECT_EQ(lines[1], "Id=77 Trying Status\"Completed\" try [1]");
  EXPECT_EQ(lines[2], "Id=77 Result Status \"Completed\" response=503");
  EXPECT_EQ(lines[5], "Id=77 Trying Status\"Completed\" try [3]");

  st_.script(station_cancel_path, {{404}, {200}});
  postpay_side peer;
  EXPECT_EQ(run_side(peer, [&](postpay_side& s) {
              workers_._postpay_peer_cancel(link_, "key", station_body(), s);
            }),
            2);
  const auto records = logs.records();
  std::vector<web::log_record> mine;
  for (const auto& r : records) {
    if (r.channel == "orvale/fwd_cancel") {
      mine.push_back(r);
    }
  }
  ASSERT_EQ(mine.size(), 5u);
  EXPECT_EQ(mine[0].level, web::log_level::info);
  EXPECT_EQ(mine[0].message,
            "Id=77 Перенаправление на АЗС команды отмены \"Canceled\" (STOP AZS) (POSTPAY Cancel)");
  EXPECT_EQ(mine[3].message, "Id=77 Trying Status\"AZS Canceled\" try=2");
}

TEST_F(postpay, aggregator_cancellation_needs_a_key_and_an_id_and_has_a_default_reason) {
  for (const auto& [key, params, refused] :
       std::vector<std::tuple<std::string, web::json::value, int>>{
           {"", upstr_params(), 401}, {"key", web::json::value(), 400}}) {
    postpay_side side;
    workers_._postpay_upstr_cancel(key, params, side);
    EXPECT_FALSE(side.open);
    EXPECT_EQ(side.result, refused);
  }
  EXPECT_TRUE(agg_.requests().empty());

  agg_.script(cancel_path, {{200}});
  auto no_reason = web::json::make_object();
  no_reason->set("id", "9");
  no_reason->set("Reason", 5); // not a string: the default
  postpay_side side;
  workers_._postpay_upstr_cancel("key", web::json::value(no_reason), side);
  ASSERT_EQ(agg_.requests(cancel_path).size(), 1u);
  EXPECT_EQ(agg_.requests(cancel_path)[0].body,
            "apikey=key&orderId=9&reason=" +
                srv_apps::url_escape("Отмена заказа (без указания причины)"));
}

TEST_F(postpay, missing_aggregator_parameters_complete_with_empty_values) {
  agg_.script(complete_path, {{200}});
  postpay_side side;
  workers_._postpay_upstr_complete("key", web::json::value(), side);
  EXPECT_EQ(side.result, 200);
  ASSERT_EQ(agg_.requests().size(), 1u);
  EXPECT_EQ(agg_.requests()[0].body,
            "apikey=key&orderId=&litre=0.00&extendedOrderId=&extendedDate=");
}

// Both sides' tries at once; a side that was answered is not tried again while the other goes on.
TEST_F(postpay, both_sides_try_at_the_same_time_and_an_answered_side_is_left_alone) {
  agg_.script(complete_path, {{200, "", 800ms}});
  st_.script(fueling_path, {{503, "", 800ms}, {200}});
  postpay_side upstr;
  postpay_side peer;
  const auto start = std::chrono::steady_clock::now();
  workers_.try_complete("key", upstr_params(), link_, station_body(), upstr, peer);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(agg_.requests().size(), 1u);
  ASSERT_EQ(st_.requests().size(), 1u);
  // Each peer held its answer for 800 ms: one after the other would take 1.6 s, and the second
  // request could not arrive before the first answer.
  EXPECT_LT(std::chrono::abs(agg_.requests()[0].at - st_.requests()[0].at), 600ms);
  EXPECT_GE(took, 800ms) << "both were waited for";
  EXPECT_LT(took, 1500ms);
  EXPECT_FALSE(upstr.open);
  EXPECT_TRUE(peer.open);

  workers_.try_complete("key", upstr_params(), link_, station_body(), upstr, peer);
  EXPECT_EQ(agg_.requests().size(), 1u);
  EXPECT_EQ(st_.requests().size(), 2u);
  EXPECT_FALSE(peer.open);

  // Without a key the aggregator side closes at once; the station side still runs.
  st_.script(station_cancel_path, {{200}});
  postpay_side cancel_upstr;
  postpay_side cancel_peer;
  workers_.try_cancel("", upstr_params(), link_, station_body(), cancel_upstr, cancel_peer);
  EXPECT_EQ(cancel_upstr.result, 401);
  EXPECT_EQ(cancel_peer.result, 200);
}

} // namespace
