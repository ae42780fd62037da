// The volume event through the real binary, PostgreSQL and a fake aggregator: the refusals given
// before the early reply, the ones only the log shows after it, the volume column alone written,
// and the single relay.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "stat_e2e_fixture.h"

namespace {

using namespace stat_e2e;

const std::string volume_path = "/api/order/volume";

class VolumeEvent : public event_suite<VolumeEvent> {
protected:
  static void SetUpTestSuite() {
    agg_ = std::make_unique<fake_peer>();
    agg_->script(volume_path, {reply(200)});
    refusing_ = std::make_unique<fake_peer>();
    refusing_->script(volume_path, {reply(503)});
    start_common("orvale_stat_volume");
    refused_db_ = network_db("orvale_stat_volume_refused");
    refused_gw_ = start_gateway(*refused_db_, {refusing_->base_url()});
  }
  static void TearDownTestSuite() {
    refused_gw_.reset();
    refused_db_.reset();
    refusing_.reset();
    stop_common();
  }

  static http_reply volume(const std::string& apikey, const std::string& id,
                           const std::string& litre, const orvale_process& gw = *gw_) {
    return post_event(gw, "volume", {{"apikey", apikey}, {"orderid", id}, {"litre", litre}});
  }
  // The lookup line of one report: every report past the early checks logs it.
  static testing::AssertionResult looked_up(const orvale_process& gw, const std::string& id) {
    return gw.wait_log("Get existing order Id=" + id + " result=", 3s);
  }

  static std::unique_ptr<fake_peer> refusing_;
  static inline std::unique_ptr<test_db> refused_db_;
  static std::unique_ptr<orvale_process> refused_gw_;
};

std::unique_ptr<fake_peer> VolumeEvent::refusing_;
std::unique_ptr<orvale_process> VolumeEvent::refused_gw_;

TEST_F(VolumeEvent, RefusalsBeforeTheReplyNeedNoDatabase) {
  const std::size_t unauthorized = log_count(*no_db_gw_, "Unauthorized request");
  for (const std::string key :
       {"demo-key,gw-key", ",gw-key,st1-key", "demo-key,,st1-key", "demo-key,gw-key,"}) {
    expect_status_only(volume(key, "v-1", "3", *no_db_gw_), 401);
  }
  expect_status_only(volume("demo-key,wrong,st1-key", "v-1", "3", *no_db_gw_), 401);
  EXPECT_TRUE(no_db_gw_->wait_log("Unauthorized request", 3s));
  // A missing part is refused without that line; only the wrong key logged it.
  EXPECT_EQ(log_count(*no_db_gw_, "Unauthorized request"), unauthorized + 1);
  expect_status_only(volume(station1, "v-1", "3", *no_key_gw_), 401);
  EXPECT_TRUE(no_key_gw_->wait_log("Unauthorized request", 3s));
  expect_status_only(volume(station1, "v-1", "", *no_db_gw_), 400);
  // Past these checks the station has its answer; the database's absence only reaches the log.
  expect_status_only(volume(station1, "v-1", "3", *no_db_gw_), 200);
  EXPECT_TRUE(no_db_gw_->wait_log("Get Volume Status Id=v-1 Volume=3", 3s));
  EXPECT_TRUE(no_db_gw_->wait_log("DB connection error", 5s));
}

TEST_F(VolumeEvent, RefusalsAfterTheReplyOnlyReachTheLog) {
  add_order(*db_, {"v-other", 2, 2, "Fueling"});
  const std::string before = row_without(*db_, "v-other", {});
  expect_status_only(volume("nobody,gw-key,st1-key", "v-other", "3"), 200);
  EXPECT_TRUE(gw_->wait_log("AppId not found", 3s));
  const std::size_t not_authorized = log_count(*gw_, "AZS not authorized");
  expect_status_only(volume("demo-key,gw-key,%", "v-other", "3"), 200);
  expect_status_only(volume("demo-key,gw-key,nobody", "v-other", "3"), 200);
  // The order of another station, and an order that does not exist.
  expect_status_only(volume(station1, "v-other", "3"), 200);
  EXPECT_TRUE(looked_up(*gw_, "v-other"));
  expect_status_only(volume(station1, "v-none", "3"), 200);
  EXPECT_TRUE(looked_up(*gw_, "v-none"));
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  while (log_count(*gw_, "AZS not authorized") < not_authorized + 4 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(log_count(*gw_, "AZS not authorized"), not_authorized + 4);
  // "orderId" is not this event's parameter: no id, nothing looked up.
  expect_status_only(
      post_event(*gw_, "volume", {{"apikey", station1}, {"orderId", "v-other"}, {"litre", "4"}}),
      200);
  EXPECT_TRUE(gw_->wait_log("Get existing order Id= result=0 status=0", 3s));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(row_without(*db_, "v-other", {}), before);
  EXPECT_EQ(requests_for(*agg_, volume_path, "orderid", "v-other").size(), 0u);
  EXPECT_EQ(requests_for(*agg_, volume_path, "orderid", "v-none").size(), 0u);

  // Its own station's report is stored; a fourth part of the key is ignored.
  expect_status_only(volume(station2 + ",4th", "v-other", "3"), 200);
  EXPECT_TRUE(column_becomes(*db_, "v-other", "volume", "3.0000"));
}

TEST_F(VolumeEvent, WritesTheVolumeAloneTheLastReportWinsAndEachIsRelayedOnce) {
  add_order(*db_, {"v-own", 1, 2, "Fueling"});
  const std::string untouched = row_without(*db_, "v-own", {"volume"});
  expect_status_only(volume(station1, "v-own", "3.5"), 200);
  ASSERT_EQ(wait_requests(*agg_, volume_path, "orderid", "v-own", 1).size(), 1u);
  expect_status_only(volume(station1, "v-own", "7.25 л"), 200);
  const auto seen = wait_requests(*agg_, volume_path, "orderid", "v-own", 2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].body, "apikey=demo-key&orderid=v-own&litre=3.5");
  EXPECT_EQ(seen[1].body, "apikey=demo-key&orderid=v-own&litre=7.25 л");
  EXPECT_EQ(column(*db_, "v-own", "volume"), "7.2500");
  EXPECT_EQ(row_without(*db_, "v-own", {"volume"}), untouched);
}

TEST_F(VolumeEvent, ACompletedOrderKeepsTheVolumeOfItsCompletion) {
  add_order(*db_, {"v-done", 1, 3, "Completed"});
  db_->exec("UPDATE orders SET volume = 20 WHERE id = 'v-done'");
  const std::string before = row_without(*db_, "v-done", {});
  expect_status_only(volume(station1, "v-done", "9"), 200);
  EXPECT_EQ(wait_requests(*agg_, volume_path, "orderid", "v-done", 1).size(), 1u);
  EXPECT_EQ(row_without(*db_, "v-done", {}), before);
}

TEST_F(VolumeEvent, AVolumeThatIsNotANumberIsNeitherStoredNorRelayed) {
  add_order(*db_, {"v-nan", 1, 2, "Fueling"});
  const std::string before = row_without(*db_, "v-nan", {});
  expect_status_only(volume(station1, "v-nan", "много"), 200);
  EXPECT_TRUE(looked_up(*gw_, "v-nan"));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(row_without(*db_, "v-nan", {}), before);
  EXPECT_EQ(requests_for(*agg_, volume_path, "orderid", "v-nan").size(), 0u);
}

TEST_F(VolumeEvent, ARefusedRelayIsNotRetried) {
  add_order(*refused_db_, {"v-refused", 1, 2, "Fueling"});
  expect_status_only(volume(station1, "v-refused", "2", *refused_gw_), 200);
  EXPECT_EQ(wait_requests(*refusing_, volume_path, "orderid", "v-refused", 1).size(), 1u);
  EXPECT_TRUE(column_becomes(*refused_db_, "v-refused", "volume", "2.0000"));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(*refusing_, volume_path, "orderid", "v-refused").size(), 1u);
}

} // namespace
