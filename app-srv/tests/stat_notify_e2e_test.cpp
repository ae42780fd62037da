// The station message relay through the real binary, PostgreSQL and a fake aggregator: the
// "recv" and "forward" switches, the credential, the log lines and the single relay.
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "stat_e2e_fixture.h"

namespace {

using namespace stat_e2e;

const std::string message_path = "/api/order/message";

class MessageRelay : public event_suite<MessageRelay> {
protected:
  static void SetUpTestSuite() {
    agg_ = std::make_unique<fake_peer>();
    agg_->script(message_path, {reply(200)});
    gateway_options no_db;
    no_db.notify_forward = true;
    start_common("orvale_stat_message", no_db);
    gateway_options forward{agg_->base_url()};
    forward.notify_forward = true;
    forward_db_ = network_db("orvale_stat_message_forward");
    forward_gw_ = start_gateway(*forward_db_, forward);
    gateway_options deaf{agg_->base_url()};
    deaf.notify_recv = false;
    deaf.notify_forward = true;
    deaf_gw_ = start_gateway(*db_, deaf);
  }
  static void TearDownTestSuite() {
    deaf_gw_.reset();
    forward_gw_.reset();
    forward_db_.reset();
    stop_common();
  }

  static http_reply message(const std::string& apikey, const std::string& id,
                            const std::string& msg, const orvale_process& gw = *gw_) {
    return post_event(gw, "message", {{"apikey", apikey}, {"orderid", id}, {"msg", msg}});
  }

  static inline std::unique_ptr<test_db> forward_db_;
  static std::unique_ptr<orvale_process> forward_gw_;
  static std::unique_ptr<orvale_process> deaf_gw_;
};

std::unique_ptr<orvale_process> MessageRelay::forward_gw_;
std::unique_ptr<orvale_process> MessageRelay::deaf_gw_;

TEST_F(MessageRelay, WithReceivingOffEveryMessageIsForbiddenBeforeAnyCheck) {
  expect_status_only(message("", "m-deaf", "x", *deaf_gw_), 403);
  expect_status_only(message(station1, "m-deaf", "x", *deaf_gw_), 403);
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(*agg_, message_path, "orderid", "m-deaf").size(), 0u);
  EXPECT_EQ(log_count(*deaf_gw_, "Получено сообщение"), 0u);
}

TEST_F(MessageRelay, AnIncompleteWrongOrUnknownCredentialIsRefused) {
  for (const std::string key : {"demo-key,gw-key", ",gw-key,st1-key", "demo-key,,st1-key",
                                "demo-key,gw-key,", "demo-key,wrong,st1-key"}) {
    expect_status_only(message(key, "m-cred", "x", *no_db_gw_), 401);
  }
  expect_status_only(message(station1, "m-cred", "x", *no_db_gw_), 500);
  expect_status_only(message(station1, "m-cred", "x", *no_key_gw_), 401);
  for (const std::string key :
       {"nobody,gw-key,st1-key", "demo-key,gw-key,nobody", "demo-key,gw-key,%"}) {
    expect_status_only(message(key, "m-cred", "x", *forward_gw_), 401);
  }
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(*agg_, message_path, "orderid", "m-cred").size(), 0u);
  EXPECT_EQ(log_count(*forward_gw_, "Заказ : m-cred"), 0u);
}

TEST_F(MessageRelay, ByDefaultAMessageIsOnlyLogged) {
  expect_status_only(message(station2, "m-log", "Нет связи с ТРК 2"), 200);
  EXPECT_TRUE(gw_->wait_log(
      "orvale/message, info: Получено сообщение от АЗС N2 Заказ : m-log Сообщение : Нет "
      "связи с ТРК 2",
      3s));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(log_count(*gw_, "Перенаправление сообщения от АЗС"), 0u);
  EXPECT_EQ(requests_for(*agg_, message_path, "orderid", "m-log").size(), 0u);
}

TEST_F(MessageRelay, WithForwardingOnAMessageIsRelayedOnceAsTheStationSentIt) {
  // The order id is not looked up: one that does not exist is relayed like any other.
  expect_status_only(message(station1, "m-fwd", "Пролив = 2 л & стоп", *forward_gw_), 200);
  expect_status_only(message(station1 + ",4th", "m-empty", "", *forward_gw_), 200);
  auto seen = wait_requests(*agg_, message_path, "orderid", "m-fwd", 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "apikey=demo-key&orderid=m-fwd&msg=Пролив %3D 2 л %26 стоп");
  seen = wait_requests(*agg_, message_path, "orderid", "m-empty", 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "apikey=demo-key&orderid=m-empty&msg=");
  EXPECT_TRUE(forward_gw_->wait_log("orvale/message, info: Получено сообщение от АЗС N1 Заказ : "
                                    "m-fwd Сообщение : Пролив = 2 л & стоп",
                                    3s));
  EXPECT_TRUE(forward_gw_->wait_log("orvale/message, info: Перенаправление сообщения от АЗС", 3s));
  EXPECT_TRUE(forward_gw_->wait_log("orvale/message, debug: Send \"Notify\" status endpoint=", 3s));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(*agg_, message_path, "orderid", "m-fwd").size(), 1u);
}

} // namespace
