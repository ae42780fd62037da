// Many outgoing calls at once, as request threads and post-payment workers make them. Also built
// with ThreadSanitizer (target outgoing_tsan_tests), where any data race fails the run.
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "order_postpay.h"
#include "order_station.h"
#include "order_upstream.h"
#include "support/curl_library.h"
#include "support/fake_peer.h"
#include "support/log_capture.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::fake_peer;

[[maybe_unused]] testing::Environment* const curl_env = orvale_test::register_curl_library();

constexpr int calls = 50;

TEST(outgoing_concurrency, fifty_calls_at_once_each_get_their_own_answer) {
  fake_peer agg;
  fake_peer st;
  agg.script("/api/order/accept", {{200, "", 50ms}});
  agg.script("/api/order/canceled", {{409, "", 50ms}});
  st.script("/api/azstank/order", {{402, R"({"msg":"busy"})", 50ms}});
  const srv_apps::tls_settings plain{false, ""};
  const srv_apps::order_upstream up(agg.base_url(), plain);
  const srv_apps::order_station station("gw", plain);
  const srv_apps::station_link link(st.base_url() + "/api/azstank", "st");
  orvale_test::log_capture logs; // the debug lines are built and written from every thread

  std::vector<long> results(calls, 0);
  std::vector<std::string> answers(calls);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < calls; ++i) {
      threads.emplace_back([&, i] {
        const std::string id = std::to_string(i);
        if (i % 3 == 0) {
          results[i] = up.accept_order("k", id);
        } else if (i % 3 == 1) {
          results[i] = up.cancel_order("k", id, "Причина " + id);
        } else {
          auto body = web::json::make_object();
          body->set("id", id);
          results[i] = station.fwd_order(link, "k", web::json::value(body), answers[i]);
        }
      });
    }
  }

  std::set<std::string> bodies;
  for (const auto& r : agg.requests()) {
    bodies.insert(r.body);
  }
  for (const auto& r : st.requests()) {
    bodies.insert(r.body);
  }
  EXPECT_EQ(bodies.size(), static_cast<std::size_t>(calls)) << "every call sent its own body";
  for (int i = 0; i < calls; ++i) {
    const long expected = i % 3 == 0 ? 200 : i % 3 == 1 ? 409 : 402;
    EXPECT_EQ(results[i], expected) << "call " << i;
    EXPECT_EQ(answers[i], i % 3 == 2 ? R"({"msg":"busy"})" : "") << "call " << i;
  }
  EXPECT_EQ(logs.count("orvale", "status response=") + logs.count("orvale", "request response="),
            calls);
}

TEST(outgoing_concurrency, post_payment_steps_of_several_orders_at_once) {
  fake_peer agg;
  fake_peer st;
  agg.script("/api/order/completed", {{503}, {200}});
  st.script("/api/azstank/fueling", {{200, "{}", 20ms}});
  const srv_apps::tls_settings plain{false, ""};
  const srv_apps::order_upstream up(agg.base_url(), plain);
  const srv_apps::order_station station("gw", plain);
  const srv_apps::order_postpay workers(up, station);
  const srv_apps::station_link link(st.base_url() + "/api/azstank", "st");

  constexpr int orders = 4;
  std::vector<srv_apps::postpay_side> upstr(orders);
  std::vector<srv_apps::postpay_side> peer(orders);
  {
    std::vector<std::jthread> steps;
    for (int i = 0; i < orders; ++i) {
      steps.emplace_back([&, i] {
        auto params = web::json::make_object();
        params->set("id", std::to_string(i));
        params->set("litre", 1.5);
        auto body = web::json::make_object();
        body->set("id", std::to_string(i));
        while (upstr[i].open || peer[i].open) {
          workers.try_complete("k", web::json::value(params), link, web::json::value(body),
                               upstr[i], peer[i]);
        }
      });
    }
  }
  for (int i = 0; i < orders; ++i) {
    EXPECT_EQ(upstr[i].result, 200) << i;
    EXPECT_EQ(peer[i].result, 200) << i;
  }
  EXPECT_EQ(st.requests().size(), static_cast<std::size_t>(orders));
  // The first aggregator try of some order met the scripted 503 and was tried again.
  EXPECT_EQ(agg.requests().size(), static_cast<std::size_t>(orders + 1));
}

} // namespace
