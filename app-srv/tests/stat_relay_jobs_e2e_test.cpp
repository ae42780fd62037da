// The station events' relays as stored jobs, through the real binary, PostgreSQL and a fake
// aggregator: the relay's row is committed before the station has its 200 (and none stays for an
// event refused), a completion repeated while its relay waits goes out once with its newest
// values, and a relay out of tries stays stored as failed with its last error.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "stat_e2e_fixture.h"

namespace {

using namespace stat_e2e;

const std::string fueling_path = "/api/order/fueling";
const std::string canceled_path = "/api/order/canceled";
const std::string completed_path = "/api/order/completed";
const std::string volume_path = "/api/order/volume";
const std::string message_path = "/api/order/message";

using fields = std::vector<std::pair<std::string, std::string>>;

fields event_fields(const std::string& path, const std::string& id) {
  if (path == "fueling") {
    return {{"apikey", station1}, {"orderId", id}, {"extendedOrderId", "41"}};
  }
  if (path == "canceled") {
    return {{"apikey", station1}, {"orderId", id}, {"reason", "нет топлива"}};
  }
  if (path == "completed") {
    return {{"apikey", station1},
            {"orderId", id},
            {"litre", "10.5"},
            {"extendedOrderId", "41"},
            {"extendedDate", "05.03.2024 07:08:09"}};
  }
  if (path == "volume") {
    return {{"apikey", station1}, {"orderid", id}, {"litre", "4.5"}};
  }
  return {{"apikey", station1}, {"orderid", id}, {"msg", "колонка 1"}};
}

fields completion(const std::string& id, const std::string& litre) {
  return {{"apikey", station1},
          {"orderId", id},
          {"litre", litre},
          {"extendedOrderId", "41"},
          {"extendedDate", "05.03.2024 07:08:09"}};
}

// The order's relay jobs of one kind, oldest first, as "state attempts", followed by the last
// error unless the job is done.
std::vector<std::string> jobs_of(test_db& db, const std::string& id, const std::string& kind) {
  std::vector<std::string> out;
  for (const auto& row :
       db.rows("SELECT state || ' ' || attempts || CASE WHEN state = 'done' THEN '' ELSE ' ' || "
               "coalesce(last_error, '-') END FROM orvale_jobs WHERE order_id = '" +
               id + "' AND kind = '" + kind + "' ORDER BY id")) {
    out.push_back(row[0]);
  }
  return out;
}

testing::AssertionResult jobs_become(test_db& db, const std::string& id, const std::string& kind,
                                     const std::vector<std::string>& want,
                                     std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::vector<std::string> seen;
  while ((seen = jobs_of(db, id, kind)) != want && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  if (seen == want) {
    return testing::AssertionSuccess();
  }
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << kind << " jobs of " << id << ":";
  for (const auto& s : seen) {
    failure << " [" << s << "]";
  }
  return failure;
}

class RelayJobs : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    agg_ = std::make_unique<fake_peer>();
    refusing_ = std::make_unique<fake_peer>();
    for (const auto& path :
         {fueling_path, canceled_path, completed_path, volume_path, message_path}) {
      agg_->script(path, {reply(200)});
      refusing_->script(path, {reply(503)});
    }
    refusing_->script(fueling_path, {reply(409)});
    db_ = network_db("orvale_relay_jobs");
    refused_db_ = network_db("orvale_relay_jobs_refused");
    no_time_db_ = network_db("orvale_relay_jobs_no_time");
    gateway_options ok{agg_->base_url()};
    ok.notify_forward = true;
    gw_ = start_gateway(*db_, ok);
    gateway_options refused{refusing_->base_url()};
    refused.notify_forward = true;
    refused_gw_ = start_gateway(*refused_db_, refused);
    refused.max_expiration_timeout = 0;
    no_time_gw_ = start_gateway(*no_time_db_, refused);
  }
  static void TearDownTestSuite() {
    no_time_gw_.reset();
    refused_gw_.reset();
    gw_.reset();
    no_time_db_.reset();
    refused_db_.reset();
    db_.reset();
    refusing_.reset();
    agg_.reset();
  }

  static inline std::unique_ptr<fake_peer> agg_;
  static inline std::unique_ptr<fake_peer> refusing_;
  static inline std::unique_ptr<test_db> db_;
  static inline std::unique_ptr<test_db> refused_db_;
  static inline std::unique_ptr<test_db> no_time_db_;
  static inline std::unique_ptr<orvale_process> gw_;
  static inline std::unique_ptr<orvale_process> refused_gw_;
  static inline std::unique_ptr<orvale_process> no_time_gw_;
};

// Whatever the relay does next, its row is there the moment the station holds its 200; an event
// refused, its write included, leaves none.
TEST_F(RelayJobs, TheRelayIsCommittedBeforeTheStationIsAnswered) {
  struct event_case {
    std::string path;
    std::string kind;
    order_row order;
    int status;
    fields f;
  };
  const std::string peer = agg_->base_url().substr(0, agg_->base_url().find('/', 8));
  const std::vector<event_case> cases = {
      {"fueling", "fueling", {"j-fueling"}, 200, {}},
      {"canceled", "canceled", {"j-canceled", 1, 2, "Fueling"}, 200, {}},
      {"completed", "completed", {"j-completed", 1, 2, "Fueling"}, 200, {}},
      {"volume", "volume", {"j-volume", 1, 2, "Fueling"}, 200, {}},
      {"message", "notify", {"j-message"}, 200, {}},
      // Refused after the checks: not in progress; a completion whose write fails.
      {"fueling", "fueling", {"j-fueling-late", 1, 2, "Fueling"}, 504, {}},
      {"completed",
       "completed",
       {"j-completed-bad", 1, 2, "Fueling"},
       400,
       {{"apikey", station1},
        {"orderId", "j-completed-bad"},
        {"litre", "1"},
        {"extendedOrderId", "41"},
        {"extendedDate", "31.02.2024 10:00:00"}}},
  };
  for (const auto& c : cases) {
    add_order(*db_, c.order);
    const fields f = c.f.empty() ? event_fields(c.path, c.order.id) : c.f;
    expect_status_only(post_event(*gw_, c.path, f), c.status);
    const auto rows =
        db_->rows("SELECT kind, args->>'apikey', peer FROM orvale_jobs WHERE order_id = '" +
                  c.order.id + "'");
    if (c.status != 200) {
      EXPECT_TRUE(rows.empty()) << c.order.id;
      continue;
    }
    ASSERT_EQ(rows.size(), 1u) << c.order.id;
    EXPECT_EQ(rows[0], (std::vector<std::string>{c.kind, "demo-key", peer})) << c.order.id;
    EXPECT_TRUE(jobs_become(*db_, c.order.id, c.kind, {"done 1"})) << c.order.id;
  }
}

// The first try is refused; the repeated report finds the relay waiting for its next try, which
// sends the newer values. Nothing sends the older ones again.
TEST_F(RelayJobs, ACompletionRepeatedWhileItsRelayWaitsSendsOnlyTheLatestValuesOnce) {
  fake_peer agg;
  agg.script(completed_path, {reply(503), reply(200)});
  gateway_options o{agg.base_url()};
  o.pause_scale = 0.2; // the 10 s pause lasts 2 s: time to repeat the report
  const auto db = network_db("orvale_relay_jobs_repeat");
  const auto gw = start_gateway(*db, o);
  add_order(*db, {"j-repeat", 1, 2, "Fueling"});
  expect_status_only(post_event(*gw, "completed", completion("j-repeat", "10")), 200);
  ASSERT_TRUE(jobs_become(*db, "j-repeat", "completed", {"scheduled 1 result 503"}, 5s));
  expect_status_only(post_event(*gw, "completed", completion("j-repeat", "11.5")), 200);

  const auto seen = wait_requests(agg, completed_path, "orderId", "j-repeat", 2, 10s);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].body.find("&litre=10&"), std::string::npos) << seen[0].body;
  EXPECT_NE(seen[1].body.find("&litre=11.5&"), std::string::npos) << seen[1].body;
  EXPECT_TRUE(jobs_become(*db, "j-repeat", "completed", {"done 2"}));
  EXPECT_TRUE(column_becomes(*db, "j-repeat", "statusconfirmed || ' ' || volume", "1 11.5000"));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(agg, completed_path, "orderId", "j-repeat").size(), 2u);
  EXPECT_EQ(log_count(*gw, "Повторное завершение: ожидающая ретрансляция передаст новые данные "
                           "(заказ : 'j-repeat')"),
            1u);
}

// pause_scale 0.01: the ten cancellations take about half a second (a second after a refused
// fueling); a completion with no lifetime left is given up before any try.
TEST_F(RelayJobs, ARelayOutOfTriesIsStoredAsFailedWithItsLastError) {
  struct failing_case {
    test_db* db;
    orvale_process* gw;
    std::string path;
    order_row order;
    std::vector<std::pair<std::string, std::string>> jobs; // kind, its one job
  };
  const std::vector<failing_case> cases = {
      {refused_db_.get(),
       refused_gw_.get(),
       "canceled",
       {"j-out-canceled", 1, 2, "Fueling"},
       {{"canceled", "failed 10 result 503"}}},
      {refused_db_.get(),
       refused_gw_.get(),
       "volume",
       {"j-out-volume", 1, 2, "Fueling"},
       {{"volume", "failed 1 result 503"}}},
      {refused_db_.get(),
       refused_gw_.get(),
       "message",
       {"j-out-message"},
       {{"notify", "failed 1 result 503"}}},
      // The refused start books the cancellation with its own end.
      {refused_db_.get(),
       refused_gw_.get(),
       "fueling",
       {"j-out-fueling"},
       {{"fueling", "failed 1 result 409"}, {"canceled", "failed 10 result 503"}}},
      {no_time_db_.get(),
       no_time_gw_.get(),
       "completed",
       {"j-out-completed", 1, 2, "Fueling"},
       {{"completed", "failed 1 no try made"}}},
  };
  for (const auto& c : cases) {
    add_order(*c.db, c.order);
    expect_status_only(post_event(*c.gw, c.path, event_fields(c.path, c.order.id)), 200);
  }
  for (const auto& c : cases) {
    for (const auto& [kind, job] : c.jobs) {
      EXPECT_TRUE(jobs_become(*c.db, c.order.id, kind, {job})) << c.gw->log_text();
    }
  }
  EXPECT_EQ(column(*refused_db_, "j-out-fueling", "reason"), "Заказ не согласован");
  EXPECT_EQ(column(*no_time_db_, "j-out-completed", "statusint || ' ' || statusconfirmed"), "3 0");
}

} // namespace
