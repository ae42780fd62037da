// The station's cancellation through the real binary, PostgreSQL and a fake aggregator: who may
// cancel which order, what is stored unless the order is finished, the reason as the aggregator
// receives it, and the retries.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "stat_e2e_fixture.h"

namespace {

using namespace stat_e2e;

const std::string canceled_path = "/api/order/canceled";

class CancellationEvent : public event_suite<CancellationEvent> {
protected:
  static void SetUpTestSuite() {
    agg_ = std::make_unique<fake_peer>();
    agg_->script(canceled_path, {reply(200)});
    refusing_ = std::make_unique<fake_peer>();
    refusing_->script(canceled_path, {reply(502), reply(409)});
    start_common("orvale_stat_canceled");
    refused_db_ = network_db("orvale_stat_canceled_refused");
    refused_gw_ = start_gateway(*refused_db_, {refusing_->base_url()});
  }
  static void TearDownTestSuite() {
    refused_gw_.reset();
    refused_db_.reset();
    refusing_.reset();
    stop_common();
  }

  static http_reply cancel(const std::string& apikey, const std::string& id,
                           const std::string& reason, const orvale_process& gw = *gw_) {
    return post_event(gw, "canceled", {{"apikey", apikey}, {"orderId", id}, {"reason", reason}});
  }

  static std::unique_ptr<fake_peer> refusing_;
  static inline std::unique_ptr<test_db> refused_db_;
  static std::unique_ptr<orvale_process> refused_gw_;
};

std::unique_ptr<fake_peer> CancellationEvent::refusing_;
std::unique_ptr<orvale_process> CancellationEvent::refused_gw_;

TEST_F(CancellationEvent, AnIncompleteOrWrongCredentialIsRefused) {
  add_order(*db_, {"x-cred", 1, 2, "Fueling"});
  const std::string before = row_without(*db_, "x-cred", {});
  for (const std::string key : {"demo-key,gw-key", ",gw-key,st1-key", "demo-key,,st1-key",
                                "demo-key,gw-key,", "demo-key,wrong,st1-key"}) {
    expect_status_only(cancel(key, "x-cred", "r", *no_db_gw_), 401);
  }
  expect_status_only(cancel(station1, "x-cred", "r", *no_db_gw_), 500);
  expect_status_only(cancel(station1, "x-cred", "r", *no_key_gw_), 401);
  for (const std::string key :
       {"nobody,gw-key,st1-key", "demo-key,gw-key,nobody", "demo-key,gw-key,%"}) {
    expect_status_only(cancel(key, "x-cred", "r"), 401);
  }
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(row_without(*db_, "x-cred", {}), before);
  EXPECT_EQ(requests_for(*agg_, canceled_path, "orderId", "x-cred").size(), 0u);
  // A fourth part is ignored.
  expect_status_only(cancel(station1 + ",4th", "x-cred", "r"), 200);
  EXPECT_EQ(wait_requests(*agg_, canceled_path, "orderId", "x-cred", 1).size(), 1u);
}

TEST_F(CancellationEvent, AnUnknownOrderIsABadRequestAndAnotherStationsOrderIsRefused) {
  add_order(*db_, {"x-other", 2, 2, "Fueling"});
  add_order(*db_, {"x-other-app", 1, 2, "Fueling", 2});
  const std::string before = row_without(*db_, "x-other", {});
  expect_status_only(cancel(station1, "x-none", "r"), 400);
  expect_status_only(cancel(station1, "", "r"), 400);
  expect_status_only(cancel(station1, "x-other-app", "r"), 400);
  expect_status_only(cancel(station1, "x-other", "r"), 401);
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(row_without(*db_, "x-other", {}), before);
  for (const char* id : {"x-none", "x-other", "x-other-app"}) {
    EXPECT_EQ(requests_for(*agg_, canceled_path, "orderId", id).size(), 0u) << id;
  }
  expect_status_only(cancel(station2, "x-other", "r"), 200);
  EXPECT_TRUE(column_becomes(*db_, "x-other", "reason", "r"));
}

TEST_F(CancellationEvent, StoresTheReasonAndEndTimeUnlessTheOrderIsFinishedAndRelaysEither) {
  const std::vector<std::string> finished = {"StationCanceled", "StaionCanceled", "UserCanceled",
                                             "Expire", "Expired"};
  for (const auto& name : finished) {
    const std::string id = "x-" + name;
    add_order(*db_, {id, 1, 5, name});
    const std::string before = row_without(*db_, id, {});
    expect_status_only(cancel(station1, id, "поздно"), 200);
    const auto seen = wait_requests(*agg_, canceled_path, "orderId", id, 1);
    ASSERT_EQ(seen.size(), 1u) << name;
    EXPECT_EQ(seen[0].body, "apikey=demo-key&orderId=" + id + "&reason=поздно");
    EXPECT_EQ(row_without(*db_, id, {}), before) << name;
  }
  // Open orders take the reason and the end time; the status type is the one of their present
  // name, 4 for a name the application does not know. Nothing else changes.
  struct open_case {
    std::string name;
    std::string status;
  };
  for (const open_case& c :
       {open_case{"Fueling", "2"}, open_case{"OrderCreated", "1"}, open_case{"Somewhere", "4"}}) {
    const std::string id = "x-open-" + c.name;
    add_order(*db_, {id, 1, 2, c.name});
    const std::string untouched = row_without(*db_, id, {"reason", "timeend", "status"});
    expect_status_only(cancel(station1, id, "Колонка неисправна"), 200);
    EXPECT_EQ(column(*db_, id, "reason"), "Колонка неисправна") << c.name;
    EXPECT_EQ(column(*db_, id, "status"), c.status) << c.name;
    EXPECT_EQ(column(*db_, id, "timeend > (now() at time zone 'Etc/UTC') - interval '1 minute'"),
              "t")
        << c.name;
    EXPECT_EQ(row_without(*db_, id, {"reason", "timeend", "status"}), untouched) << c.name;
    EXPECT_EQ(wait_requests(*agg_, canceled_path, "orderId", id, 1).size(), 1u) << c.name;
  }
}

TEST_F(CancellationEvent, TheReasonGoesOnAsTheStationSentItSaveBytesThatWouldBreakTheForm) {
  add_order(*db_, {"x-empty", 1, 2, "Fueling"});
  add_order(*db_, {"x-amp", 1, 2, "Fueling"});
  expect_status_only(cancel(station1, "x-empty", ""), 200);
  expect_status_only(cancel(station1, "x-amp", "ТРК 2 & 3 = 100%+"), 200);
  auto seen = wait_requests(*agg_, canceled_path, "orderId", "x-empty", 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "apikey=demo-key&orderId=x-empty&reason=");
  EXPECT_EQ(column(*db_, "x-empty", "reason IS NOT NULL AND reason = ''"), "t");
  seen = wait_requests(*agg_, canceled_path, "orderId", "x-amp", 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "apikey=demo-key&orderId=x-amp&reason=ТРК 2 %26 3 %3D 100%25%2B");
  EXPECT_EQ(column(*db_, "x-amp", "reason"), "ТРК 2 & 3 = 100%+");
}

TEST_F(CancellationEvent, ARefusedCancellationIsTriedTenTimesFiveSecondsApart) {
  add_order(*refused_db_, {"x-retry", 1, 2, "Fueling"});
  expect_status_only(cancel(station1, "x-retry", "r", *refused_gw_), 200);
  const auto seen = wait_requests(*refusing_, canceled_path, "orderId", "x-retry", 10, 10s);
  ASSERT_EQ(seen.size(), 10u);
  for (const auto gap : gaps(seen)) { // 5 s at pause_scale 0.01
    EXPECT_GE(gap, 45ms);
    EXPECT_LT(gap, 600ms);
  }
  EXPECT_TRUE(refused_gw_->wait_log("Ретрансляция не выполнена: заказ x-retry, событие "
                                    "\"Canceled\", попыток 10, последний ответ 409",
                                    3s));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(*refusing_, canceled_path, "orderId", "x-retry").size(), 10u);
}

} // namespace
