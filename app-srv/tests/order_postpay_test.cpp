// The post-payment workers against fake peers, with pauses recorded instead of slept.
#include "order_postpay.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/curl_library.h"
#include "support/fake_peer.h"
#include "support/log_capture.h"
#include "support/recording_clock.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::fake_peer;
using orvale_test::log_capture;
using orvale_test::recording_clock;
using srv_apps::order_postpay;
using srv_apps::order_station;
using srv_apps::order_upstream;
using srv_apps::station_link;

[[maybe_unused]] testing::Environment* const curl_env = orvale_test::register_curl_library();

constexpr const char* complete_path = "/api/order/completed";
constexpr const char* cancel_path = "/api/order/canceled";
constexpr const char* fueling_path = "/api/azstank/fueling";
constexpr const char* station_cancel_path = "/api/azstank/canceled";

std::vector<web::millis> pauses_of(std::size_t n) {
  return std::vector<web::millis>(n, 2000ms);
}

class postpay : public testing::Test {
protected:
  fake_peer agg_;
  fake_peer st_;
  recording_clock clock_;
  order_upstream upstream_{agg_.base_url(), srv_apps::tls_settings{false, ""}};
  order_station station_{"gw", srv_apps::tls_settings{false, ""}};
  order_postpay workers_{upstream_, station_, clock_};
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

TEST_F(postpay, aggregator_completion_retries_five_times_two_seconds_apart) {
  agg_.script(complete_path, {{500}});
  log_capture logs;
  int result = 0;
  workers_._postpay_upstr_complete("key", upstr_params(), result);

  EXPECT_EQ(result, 500);
  EXPECT_EQ(clock_.pauses(), pauses_of(5)) << "a pause follows the last try too";
  const auto seen = agg_.requests(complete_path);
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].body, "apikey=key&orderId=77&litre=12.35&extendedOrderId=E-5"
                          "&extendedDate=05.03.2024 07:08:09");
  const auto lines = logs.messages("orvale/complete");
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "Id='77' Передача статуса завершения  (PostPay Completed)");
  EXPECT_EQ(lines[1], "Id=77 Trying Status\"Completed\" try [1]");
  EXPECT_EQ(lines[2], "Id=77 Result Status \"Completed\" response=500");
  EXPECT_EQ(lines[10], "Id=77 Result Status \"Completed\" response=500");
  // Given up: said at error, so that the default log level shows it.
  EXPECT_EQ(logs.count("orvale/complete", web::log_level::error,
                       "Id=77 Передача \"Completed\" (PostPay) прекращена после 5 попыток "
                       "[HTTP/500]"),
            1);
}

TEST_F(postpay, each_worker_stops_at_the_first_200) {
  agg_.script(complete_path, {{503}, {502}, {200}});
  int result = 0;
  workers_._postpay_upstr_complete("key", upstr_params(), result);
  EXPECT_EQ(result, 200);
  EXPECT_EQ(agg_.requests(complete_path).size(), 3u);
  EXPECT_EQ(clock_.pauses(), pauses_of(2));

  // A station that answers 200 at once: one try, no pause.
  st_.script(fueling_path, {{200, R"({"res":0})"}});
  log_capture logs;
  workers_._postpay_peer_complete(link_, "key", station_body(), result);
  EXPECT_EQ(result, 200);
  EXPECT_EQ(st_.requests(fueling_path).size(), 1u);
  EXPECT_EQ(clock_.pauses(), pauses_of(2));
  EXPECT_EQ(logs.messages("orvale/fwd_complete"),
            (std::vector<std::string>{
                "Id=77 Processing Forwarded to Azs \"Fueling\" (Start TRK) (PostPay Completed)",
                "Id=77 Trying Forwarded to Azs Status\"Fueling\" try=1",
                R"(Id=77 Get Response to Azs Status"Fueling" response=[HTTP/200]Data=[{"res":0}])",
            }));

  st_.script(station_cancel_path, {{404}, {200}});
  workers_._postpay_peer_cancel(link_, "key", station_body(), result);
  EXPECT_EQ(result, 200);
  EXPECT_EQ(st_.requests(station_cancel_path).size(), 2u);

  agg_.script(cancel_path, {{200}});
  workers_._postpay_upstr_cancel("key", upstr_params(), result);
  EXPECT_EQ(result, 200);
  EXPECT_EQ(agg_.requests(cancel_path).size(), 1u);
  EXPECT_EQ(clock_.pauses(), pauses_of(3));
}

TEST_F(postpay, a_station_that_never_answers_gets_twenty_tries_and_a_fault_line) {
  st_.close_connections_on(fueling_path);
  log_capture logs;
  int result = 0;
  workers_._postpay_peer_complete(link_, "key", station_body(), result);

  EXPECT_EQ(result, 502);
  EXPECT_EQ(st_.requests(fueling_path).size(), 20u);
  EXPECT_EQ(clock_.pauses(), pauses_of(20));
  EXPECT_EQ(st_.requests(fueling_path)[0].body,
            R"({"ExtendedId":"E-5","id":"77","is_postpay":true,"trk":2})");
  const auto lines = logs.messages("orvale/fwd_complete");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            "Id=77 Trying Fault Forwarded to Azs Status\"Fueling\" (Start TRK) [HTTP/502]");
  EXPECT_EQ(logs.count("orvale/fwd_complete", "response=[HTTP/502]Data=[]"), 20);
}

TEST_F(postpay, station_cancellation_tries_ten_times_and_logs_its_first_line_at_info) {
  st_.script(station_cancel_path, {{409}});
  log_capture logs;
  int result = 0;
  workers_._postpay_peer_cancel(link_, "key", station_body(), result);

  EXPECT_EQ(result, 409);
  EXPECT_EQ(st_.requests(station_cancel_path).size(), 10u);
  EXPECT_EQ(clock_.pauses(), pauses_of(10));
  const auto records = logs.records();
  std::vector<web::log_record> mine;
  for (const auto& r : records) {
    if (r.channel == "orvale/fwd_cancel") {
      mine.push_back(r);
    }
  }
  ASSERT_EQ(mine.size(), 22u);
  EXPECT_EQ(mine[21].level, web::log_level::error) << "given up";
  EXPECT_EQ(mine[0].level, web::log_level::info);
  EXPECT_EQ(mine[0].message,
            "Id=77 Перенаправление на АЗС команды отмены \"Canceled\" (STOP AZS) (POSTPAY Cancel)");
  EXPECT_EQ(mine[1].level, web::log_level::debug);
  EXPECT_EQ(mine[1].message, "Id=77 Trying Status\"AZS Canceled\" try=1");
  EXPECT_EQ(mine[2].message, "Id=77 Result Status \"AZS Canceled\" response=409");
}

TEST_F(postpay, aggregator_cancellation_needs_a_key_and_an_id_and_has_a_default_reason) {
  agg_.script(cancel_path, {{503}});
  int result = 0;
  workers_._postpay_upstr_cancel("", upstr_params(), result);
  EXPECT_EQ(result, 401);
  auto no_id = web::json::make_object();
  no_id->set("Reason", "x");
  workers_._postpay_upstr_cancel("key", web::json::value(no_id), result);
  EXPECT_EQ(result, 400);
  workers_._postpay_upstr_cancel("key", web::json::value(), result);
  EXPECT_EQ(result, 400) << "a null object has no id";
  EXPECT_TRUE(agg_.requests().empty());
  EXPECT_TRUE(clock_.pauses().empty());

  auto no_reason = web::json::make_object();
  no_reason->set("id", "9");
  no_reason->set("Reason", 5); // not a string: the default
  log_capture logs;
  workers_._postpay_upstr_cancel("key", web::json::value(no_reason), result);
  EXPECT_EQ(result, 503);
  const auto seen = agg_.requests(cancel_path);
  ASSERT_EQ(seen.size(), 10u);
  EXPECT_EQ(seen[0].body, "apikey=key&orderId=9&reason=" +
                              srv_apps::url_escape("Отмена заказа (без указания причины)"));
  EXPECT_EQ(clock_.pauses(), pauses_of(10));
  EXPECT_EQ(logs.messages("orvale/cancel").at(0),
            "Id=9 Trying Status\"Canceled\" : Отмена заказа (без указания причины) try [1]");
}

TEST_F(postpay, missing_aggregator_parameters_complete_with_empty_values) {
  agg_.script(complete_path, {{200}});
  int result = 0;
  workers_._postpay_upstr_complete("key", web::json::value(), result);
  EXPECT_EQ(result, 200);
  ASSERT_EQ(agg_.requests().size(), 1u);
  EXPECT_EQ(agg_.requests()[0].body,
            "apikey=key&orderId=&litre=0.00&extendedOrderId=&extendedDate=");
}

TEST_F(postpay, a_shutdown_ends_the_retries_at_the_next_pause) {
  st_.script(fueling_path, {{503}});
  clock_.interrupt();
  int result = 0;
  workers_._postpay_peer_complete(link_, "key", station_body(), result);
  EXPECT_EQ(result, 503);
  EXPECT_EQ(st_.requests(fueling_path).size(), 1u);
}

TEST_F(postpay, both_sides_run_at_the_same_time_and_are_joined) {
  agg_.script(complete_path, {{200, "", 800ms}});
  st_.script(fueling_path, {{200, "{}", 800ms}});
  int upstr_result = 502;
  int peer_result = 502;
  const auto start = std::chrono::steady_clock::now();
  workers_.run_postpay_complete("key", upstr_params(), link_, station_body(), upstr_result,
                                peer_result);
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(upstr_result, 200);
  EXPECT_EQ(peer_result, 200);
  ASSERT_EQ(agg_.requests().size(), 1u);
  ASSERT_EQ(st_.requests().size(), 1u);
  // Each peer held its answer for 800 ms: one after the other would take 1.6 s, and the second
  // request could not arrive before the first answer.
  const auto apart = agg_.requests()[0].at - st_.requests()[0].at;
  EXPECT_LT(std::chrono::abs(apart), 600ms);
  EXPECT_GE(took, 800ms) << "both were waited for";
  EXPECT_LT(took, 1500ms);

  agg_.script(cancel_path, {{200, "", 800ms}});
  st_.script(station_cancel_path, {{200, "", 800ms}});
  workers_.run_postpay_cancel("key", upstr_params(), link_, station_body(), upstr_result,
                              peer_result);
  ASSERT_EQ(agg_.requests(cancel_path).size(), 1u);
  ASSERT_EQ(st_.requests(station_cancel_path).size(), 1u);
  EXPECT_LT(
      std::chrono::abs(agg_.requests(cancel_path)[0].at - st_.requests(station_cancel_path)[0].at),
      600ms);
  EXPECT_EQ(upstr_result, 200);
  EXPECT_EQ(peer_result, 200);

  // Without a key the aggregator side gives up at once; the station side still runs.
  st_.script(station_cancel_path, {{200}});
  workers_.run_postpay_cancel("", upstr_params(), link_, station_body(), upstr_result, peer_result);
  EXPECT_EQ(upstr_result, 401);
  EXPECT_EQ(peer_result, 200);
}

} // namespace
