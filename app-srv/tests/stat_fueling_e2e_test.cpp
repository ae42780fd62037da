// The fueling event through the real binary, PostgreSQL and a fake aggregator: who may report,
// which orders, what is stored, what the aggregator is sent, and the cancellation on both sides
// when the aggregator does not take the start of fueling.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "stat_e2e_fixture.h"

namespace {

using namespace stat_e2e;

const std::string fueling_path = "/api/order/fueling";
const std::string canceled_path = "/api/order/canceled";

class FuelingEvent : public event_suite<FuelingEvent> {
protected:
  static void SetUpTestSuite() {
    agg_ = std::make_unique<fake_peer>();
    agg_->script(fueling_path, {reply(200)});
    agg_->script(canceled_path, {reply(200)});
    refusing_ = std::make_unique<fake_peer>();
    refusing_->script(fueling_path, {reply(409)});
    refusing_->script(canceled_path, {reply(503)});
    start_common("orvale_stat_fueling");
    refused_db_ = network_db("orvale_stat_fueling_refused");
    refused_gw_ = start_gateway(*refused_db_, {refusing_->base_url()});
    no_url_db_ = network_db("orvale_stat_fueling_no_url");
    no_url_gw_ = start_gateway(*no_url_db_, {""});
  }
  static void TearDownTestSuite() {
    no_url_gw_.reset();
    no_url_db_.reset();
    refused_gw_.reset();
    refused_db_.reset();
    refusing_.reset();
    stop_common();
  }

  static http_reply fueling(const std::string& apikey, const std::string& order_id,
                            const std::string& extended = "", orvale_process& gw = *gw_) {
    return post_event(gw, "fueling",
                      {{"apikey", apikey}, {"orderId", order_id}, {"extendedOrderId", extended}});
  }
  static std::size_t relayed(const std::string& order_id, const fake_peer& agg = *agg_) {
    return requests_for(agg, fueling_path, "orderId", order_id).size() +
           requests_for(agg, canceled_path, "orderId", order_id).size();
  }

  static std::unique_ptr<fake_peer> refusing_;
  static inline std::unique_ptr<test_db> refused_db_;
  static std::unique_ptr<orvale_process> refused_gw_;
  static inline std::unique_ptr<test_db> no_url_db_;
  static std::unique_ptr<orvale_process> no_url_gw_;
};

std::unique_ptr<fake_peer> FuelingEvent::refusing_;
std::unique_ptr<orvale_process> FuelingEvent::refused_gw_;
std::unique_ptr<orvale_process> FuelingEvent::no_url_gw_;

TEST_F(FuelingEvent, AnIncompleteOrWrongCredentialIsRefusedBeforeTheDatabase) {
  add_order(*db_, {"f-cred"});
  // The gateway without a database answers 500 as soon as it needs one.
  for (const std::string key : {"demo-key,gw-key", ",gw-key,st1-key", "demo-key,,st1-key",
                                "demo-key,gw-key,", "demo-key,other,st1-key", ""}) {
    expect_status_only(fueling(key, "f-cred", "", *no_db_gw_), 401);
  }
  expect_status_only(fueling(station1, "f-cred", "", *no_db_gw_), 500);
  // Without "orvale.app_key" no service key can match.
  expect_status_only(fueling("demo-key,,st1-key", "f-cred", "", *no_key_gw_), 401);
  expect_status_only(fueling(station1, "f-cred", "", *no_key_gw_), 401);
  // Keys the database does not know, a LIKE pattern among them.
  expect_status_only(fueling("nobody,gw-key,st1-key", "f-cred"), 401);
  expect_status_only(fueling("demo-key,gw-key,nobody", "f-cred"), 401);
  expect_status_only(fueling("demo-key,gw-key,%", "f-cred"), 401);
  expect_status_only(fueling("demo-key,gw-key,st3_", "f-cred"), 401);
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(relayed("f-cred"), 0u);

  // A fourth part is ignored.
  expect_status_only(fueling(station1 + ",extra", "f-cred"), 200);
  EXPECT_EQ(wait_requests(*agg_, fueling_path, "orderId", "f-cred", 1).size(), 1u);
}

TEST_F(FuelingEvent, OnlyTheStationsOwnOrderInProgressIsAccepted) {
  add_order(*db_, {"f-other", 2});
  add_order(*db_, {"f-created", 1, 1});
  add_order(*db_, {"f-forwarded", 1, 2});
  add_order(*db_, {"f-other-app", 1, 7, "OrderCreated", 2});
  const std::string before = row_without(*db_, "f-other", {});
  expect_status_only(fueling(station1, "f-other", "11"), 401);
  expect_status_only(fueling(station1, "f-none", "11"), 401);
  expect_status_only(fueling(station1, "f-other-app", "11"), 401);
  expect_status_only(fueling(station1, "f-created", "11"), 504);
  expect_status_only(fueling(station1, "f-forwarded", "11"), 504);
  expect_status_only(fueling(station1, "", "11"), 404);
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(row_without(*db_, "f-other", {}), before);
  for (const char* id : {"f-created", "f-forwarded", "f-other", "f-other-app"}) {
    EXPECT_EQ(column(*db_, id, "coalesce(trannum::text, 'null')"), "null") << id;
    EXPECT_EQ(relayed(id), 0u) << id;
  }
  // Station 2 reports on its own order with its own key.
  expect_status_only(fueling(station2, "f-other", "12"), 200);
  EXPECT_EQ(wait_requests(*agg_, fueling_path, "orderId", "f-other", 1).size(), 1u);
}

TEST_F(FuelingEvent, KeepsTheTransactionNumberWhileTheOrderIsCreatedAndRelaysTheStart) {
  add_order(*db_, {"f-tx"});
  add_order(*db_, {"f-accepted", 1, 7, "Accepted"});
  add_order(*db_, {"f-no-tx"});
  const std::string unchanged = row_without(*db_, "f-accepted", {});
  expect_status_only(fueling(station1, "f-tx", "555"), 200);
  expect_status_only(fueling(station1, "f-accepted", "556"), 200);
  expect_status_only(fueling(station1, "f-no-tx", ""), 200);

  EXPECT_EQ(column(*db_, "f-tx", "trannum"), "555");
  EXPECT_EQ(column(*db_, "f-no-tx", "coalesce(trannum::text, 'null')"), "null");
  for (const char* id : {"f-tx", "f-accepted", "f-no-tx"}) {
    const auto seen = wait_requests(*agg_, fueling_path, "orderId", id, 1);
    ASSERT_EQ(seen.size(), 1u) << id;
    EXPECT_EQ(seen[0].body, std::string("apikey=demo-key&orderId=") + id);
    EXPECT_EQ(seen[0].method, "POST");
  }
  std::this_thread::sleep_for(settle);
  // The aggregator took it: nothing else changes, nothing else is sent.
  EXPECT_EQ(row_without(*db_, "f-accepted", {}), unchanged);
  EXPECT_EQ(column(*db_, "f-tx", "statusint || ' ' || ordstatext || ' ' || status"),
            "7 OrderCreated 1");
  EXPECT_EQ(requests_for(*agg_, canceled_path, "orderId", "f-tx").size(), 0u);
  EXPECT_EQ(requests_for(*agg_, fueling_path, "orderId", "f-tx").size(), 1u);
}

TEST_F(FuelingEvent, AnOrderIdThatWouldBreakTheFormIsEncodedInTheRelay) {
  add_order(*db_, {"f&1=2+3"});
  expect_status_only(fueling(station1, "f&1=2+3"), 200);
  const auto seen = wait_requests(*agg_, fueling_path, "orderId", "f%261%3D2%2B3", 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "apikey=demo-key&orderId=f%261%3D2%2B3");
}

TEST_F(FuelingEvent, ARefusedStartCancelsTheOrderOnBothSidesTenTimesTenSecondsApart) {
  add_order(*refused_db_, {"f-refused"});
  const std::vector<std::string> written = {"status", "reason", "timeend", "trannum"};
  const std::string untouched = row_without(*refused_db_, "f-refused", written);
  expect_status_only(fueling(station1, "f-refused", "31", *refused_gw_), 200);

  const auto cancels = wait_requests(*refusing_, canceled_path, "orderId", "f-refused", 10, 10s);
  ASSERT_EQ(cancels.size(), 10u);
  const auto fuelings = requests_for(*refusing_, fueling_path, "orderId", "f-refused");
  ASSERT_EQ(fuelings.size(), 1u);
  EXPECT_LE(fuelings[0].at, cancels[0].at);
  for (const auto& c : cancels) {
    EXPECT_EQ(c.body, "apikey=demo-key&orderId=f-refused&reason=Заказ не согласован");
  }
  for (const auto gap : gaps(cancels)) { // 10 s at pause_scale 0.01
    EXPECT_GE(gap, 90ms);
    EXPECT_LT(gap, 1000ms);
  }
  // Closed here as the station's cancellation, the status type named "StationCanceled".
  EXPECT_EQ(column(*refused_db_, "f-refused", "status"), "5");
  EXPECT_EQ(column(*refused_db_, "f-refused", "reason"), "Заказ не согласован");
  EXPECT_EQ(column(*refused_db_, "f-refused",
                   "timeend > (now() at time zone 'Etc/UTC') - interval '1 minute'"),
            "t");
  EXPECT_EQ(column(*refused_db_, "f-refused", "trannum"), "31");
  // The internal status and the aggregator's status name stay as they were.
  EXPECT_EQ(row_without(*refused_db_, "f-refused", written), untouched);
  EXPECT_TRUE(refused_gw_->wait_log("Ретрансляция не выполнена: заказ f-refused, событие "
                                    "\"Canceled\", попыток 10, последний ответ 503",
                                    3s));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(*refusing_, canceled_path, "orderId", "f-refused").size(), 10u);
}

TEST_F(FuelingEvent, WithoutAnAggregatorAddressTheOrderIsCancelledHere) {
  add_order(*no_url_db_, {"f-no-url"});
  expect_status_only(fueling(station1, "f-no-url", "", *no_url_gw_), 200);
  EXPECT_TRUE(column_becomes(*no_url_db_, "f-no-url", "reason", "Заказ не согласован"));
  EXPECT_EQ(column(*no_url_db_, "f-no-url", "status"), "5");
  EXPECT_TRUE(no_url_gw_->wait_log("Ретрансляция не выполнена: заказ f-no-url, событие "
                                   "\"Canceled\", попыток 10, последний ответ 503",
                                   5s));
}

} // namespace
