// The completion event through the real binary, PostgreSQL and a fake aggregator: the checks
// and their codes, the columns written, the relay and its schedule until the aggregator
// confirms, a completion racing a volume report, and a burst of completions waiting on a
// refusing aggregator, left stored by a stop and sent by the next gateway.
#include <atomic>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "stat_e2e_fixture.h"

namespace {

using namespace stat_e2e;

const std::string completed_path = "/api/order/completed";
const std::string volume_path = "/api/order/volume";

// The columns a completion writes; everything else in the row must stay as it was.
const std::vector<std::string> completion_columns = {"volume",     "trannum",   "azstimelast",
                                                     "ordstatext", "statusint", "statusconfirmed"};

using fields = std::vector<std::pair<std::string, std::string>>;

fields completion(const std::string& apikey, const std::string& id, const std::string& litre,
                  const std::string& extended_id = "77",
                  const std::string& date = "05.03.2024 07:08:09") {
  return {{"apikey", apikey},
          {"orderId", id},
          {"litre", litre},
          {"extendedOrderId", extended_id},
          {"extendedDate", date}};
}

class CompletionEvent : public event_suite<CompletionEvent> {
protected:
  static void SetUpTestSuite() {
    agg_ = std::make_unique<fake_peer>();
    agg_->script(completed_path, {reply(200)});
    agg_->script(volume_path, {reply(200)});
    start_common("orvale_stat_completed");
  }
  static void TearDownTestSuite() { stop_common(); }

  static http_reply complete(const fields& f, const orvale_process& gw = *gw_) {
    return post_event(gw, "completed", f);
  }
};

TEST_F(CompletionEvent, CredentialAndValuesAreCheckedBeforeTheDatabase) {
  // The gateway without a database answers 406 as soon as it needs one.
  for (const std::string key : {"demo-key,gw-key", ",gw-key,st1-key", "demo-key,,st1-key",
                                "demo-key,gw-key,", "demo-key,wrong,st1-key"}) {
    expect_status_only(complete(completion(key, "c-1", "10"), *no_db_gw_), 401);
  }
  expect_status_only(complete(completion(station1, "c-1", "10"), *no_key_gw_), 401);
  // Missing values, and values that cannot be stored.
  for (const fields& f :
       {completion(station1, "c-1", ""), completion(station1, "c-1", "10", ""),
        completion(station1, "c-1", "10", "77", ""), completion(station1, "c-1", "abc"),
        completion(station1, "c-1", "nan"), completion(station1, "c-1", "10", "x77"),
        completion(station1, "c-1", "10", "4294967296"),
        completion(station1, "c-1", "10", "-2147483649")}) {
    expect_status_only(complete(f, *no_db_gw_), 400);
  }
  expect_status_only(complete(completion(station1, "c-1", "10"), *no_db_gw_), 406);
  expect_status_only(complete(completion(station1, "c-1", "10", "2147483647"), *no_db_gw_), 406);

  add_order(*db_, {"c-keys", 1, 2, "Fueling"});
  for (const std::string key :
       {"nobody,gw-key,st1-key", "demo-key,gw-key,nobody", "demo-key,gw-key,%"}) {
    expect_status_only(complete(completion(key, "c-keys", "10")), 401);
  }
  // A fourth part is ignored.
  expect_status_only(complete(completion(station1 + ",x", "c-keys", "10")), 200);
}

TEST_F(CompletionEvent, OnlyTheStationsOwnKnownOrderNotInForwardingIsCompleted) {
  add_order(*db_, {"c-other", 2, 2, "Fueling"});
  add_order(*db_, {"c-forwarding", 1, 7, "OrderCreated"});
  const std::string other = row_without(*db_, "c-other", {});
  const std::string forwarding = row_without(*db_, "c-forwarding", {});
  expect_status_only(complete(completion(station1, "c-none", "10")), 404);
  expect_status_only(complete(completion(station1, "", "10")), 404);
  expect_status_only(complete(completion(station1, "c-other", "10")), 401);
  // A run forwarding the order holds its lock.
  orvale_test::pg_conn_ptr run = db_->open_session();
  orvale_test::pg_result_ptr locked(
      PQexec(run.get(), "SELECT pg_advisory_lock(1, hashtext('c-forwarding'))"));
  ASSERT_EQ(PQresultStatus(locked.get()), PGRES_TUPLES_OK);
  expect_status_only(complete(completion(station1, "c-forwarding", "10")), 504);
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(row_without(*db_, "c-other", {}), other);
  EXPECT_EQ(row_without(*db_, "c-forwarding", {}), forwarding);
  EXPECT_EQ(db_->value("SELECT count(*) FROM orders WHERE id = 'c-none'"), "0");
  for (const char* id : {"c-none", "c-other", "c-forwarding"}) {
    EXPECT_EQ(requests_for(*agg_, completed_path, "orderId", id).size(), 0u) << id;
  }
  // Its own station completes it.
  expect_status_only(complete(completion(station2, "c-other", "10")), 200);
  EXPECT_TRUE(column_becomes(*db_, "c-other", "statusconfirmed", "1"));
  // With no run forwarding it, an order left in progress (its run failed to store the
  // station's answer) takes the completion.
  locked.reset(PQexec(run.get(), "SELECT pg_advisory_unlock(1, hashtext('c-forwarding'))"));
  expect_status_only(complete(completion(station1, "c-forwarding", "10")), 200);
  EXPECT_TRUE(column_becomes(*db_, "c-forwarding", "statusint", "3"));
}

TEST_F(CompletionEvent, WritesOnlyItsColumnsRelaysTheStationsValuesAndRecordsTheConfirmation) {
  // Any internal status but 7 is completed, a created order's as well.
  for (const auto& [id, statusint] :
       std::vector<std::pair<std::string, int>>{{"c-done", 2}, {"c-created", 1}}) {
    add_order(*db_, {id, 1, statusint, "Fueling"});
    const std::string untouched = row_without(*db_, id, completion_columns);
    expect_status_only(
        complete(completion(station1, id, "12.345abc", "77tx", "05.03.2024 07:08:09")), 200);
    EXPECT_EQ(row_without(*db_, id, completion_columns), untouched) << id;
    EXPECT_EQ(column(*db_, id,
                     "volume || ' ' || trannum || ' ' || azstimelast || ' ' || ordstatext || "
                     "' ' || statusint"),
              "12.3450 77 2024-03-05 07:08:09 Completed 3")
        << id;
    const auto seen = wait_requests(*agg_, completed_path, "orderId", id, 1);
    ASSERT_EQ(seen.size(), 1u) << id;
    EXPECT_EQ(seen[0].body, "apikey=demo-key&orderId=" + id +
                                "&litre=12.345abc&extendedOrderId=77tx"
                                "&extendedDate=05.03.2024 07:08:09");
    EXPECT_TRUE(column_becomes(*db_, id, "statusconfirmed", "1")) << id;
    EXPECT_EQ(row_without(*db_, id, completion_columns), untouched) << id;
  }
}

TEST_F(CompletionEvent, AWriteThatFailsIsAnsweredBadRequestAndNotRelayed) {
  add_order(*db_, {"c-bad-date", 1, 2, "Fueling"});
  const std::string before = row_without(*db_, "c-bad-date", {});
  for (const std::string date : {"31.02.2024 10:00:00", "yesterday"}) {
    expect_status_only(complete(completion(station1, "c-bad-date", "10", "77", date)), 400);
  }
  // numeric(14, 4) cannot hold it.
  expect_status_only(complete(completion(station1, "c-bad-date", "1e12")), 400);
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(row_without(*db_, "c-bad-date", {}), before);
  EXPECT_EQ(requests_for(*agg_, completed_path, "orderId", "c-bad-date").size(), 0u);
}

// A volume report and the completion arrive together: whichever is written last, the order ends
// completed with the completion's volume.
TEST_F(CompletionEvent, AVolumeReportRacingTheCompletionCannotUndoIt) {
  constexpr int orders = 20;
  for (int i = 0; i < orders; ++i) {
    add_order(*db_, {"c-race-" + std::to_string(i), 1, 2, "Fueling"});
  }
  for (int i = 0; i < orders; ++i) {
    const std::string id = "c-race-" + std::to_string(i);
    std::thread volume([&] {
      expect_status_only(
          post_event(*gw_, "volume", {{"apikey", station1}, {"orderid", id}, {"litre", "9.5"}}),
          200);
    });
    expect_status_only(complete(completion(station1, id, "20.25")), 200);
    volume.join();
  }
  for (int i = 0; i < orders; ++i) {
    const std::string id = "c-race-" + std::to_string(i);
    EXPECT_EQ(wait_requests(*agg_, volume_path, "orderid", id, 1).size(), 1u) << id;
    EXPECT_TRUE(column_becomes(*db_, id, "statusconfirmed", "1")) << id;
    EXPECT_EQ(column(*db_, id, "ordstatext || ' ' || statusint || ' ' || volume"),
              "Completed 3 20.2500")
        << id;
  }
}

// The aggregator refuses eleven times: tries 1 to 9 are 10 s apart, try 11 follows try 10 after
// 2 minutes, try 12 is 10 s later and its 200 ends the relay (pause_scale 0.01).
TEST_F(CompletionEvent, RetriesOnTheCompletionScheduleUntilTheAggregatorConfirms) {
  fake_peer refusing;
  std::vector<reply> script(11, reply(503));
  script.emplace_back(200);
  refusing.script(completed_path, script);
  const auto db = network_db("orvale_stat_completed_retry");
  const auto gw = start_gateway(*db, {refusing.base_url()});
  add_order(*db, {"c-retry", 1, 2, "Fueling"});
  expect_status_only(complete(completion(station1, "c-retry", "5"), *gw), 200);

  ASSERT_EQ(wait_requests(refusing, completed_path, "orderId", "c-retry", 1).size(), 1u);
  EXPECT_EQ(column(*db, "c-retry", "statusint || ' ' || statusconfirmed"), "3 0");
  const auto seen = wait_requests(refusing, completed_path, "orderId", "c-retry", 12, 15s);
  ASSERT_EQ(seen.size(), 12u);
  const auto g = gaps(seen);
  for (std::size_t i = 0; i < g.size(); ++i) {
    if (i == 9) {
      EXPECT_GE(g[i], 1150ms) << "after try 10";
      EXPECT_LT(g[i], 2500ms) << "after try 10";
    } else {
      EXPECT_GE(g[i], 90ms) << "after try " << i + 1;
      EXPECT_LT(g[i], 700ms) << "after try " << i + 1;
    }
  }
  EXPECT_TRUE(column_becomes(*db, "c-retry", "statusconfirmed", "1"));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(refusing, completed_path, "orderId", "c-retry").size(), 12u);
}

// The limit is the order's lifetime in real seconds: pause_scale shortens the pauses only. Scaled
// like them (0.01), 3 s would end the relay after its first try.
TEST_F(CompletionEvent, TheLimitIsNotScaledWithThePauses) {
  fake_peer refusing;
  refusing.script(completed_path, {reply(503)});
  gateway_options o{refusing.base_url()};
  o.max_expiration_timeout = 3;
  const auto db = network_db("orvale_stat_completed_limit");
  const auto gw = start_gateway(*db, o);
  add_order(*db, {"c-limit", 1, 2, "Fueling"});
  expect_status_only(complete(completion(station1, "c-limit", "5"), *gw), 200);
  EXPECT_EQ(wait_requests(refusing, completed_path, "orderId", "c-limit", 3, 2s).size(), 3u)
      << gw->log_text();
}

TEST_F(CompletionEvent, WithALimitOfZeroNothingIsRelayedAndTheOrderStaysUnconfirmed) {
  gateway_options o{agg_->base_url()};
  o.max_expiration_timeout = 0;
  const auto db = network_db("orvale_stat_completed_no_time");
  const auto gw = start_gateway(*db, o);
  add_order(*db, {"c-no-time", 1, 2, "Fueling"});
  expect_status_only(complete(completion(station1, "c-no-time", "5"), *gw), 200);
  EXPECT_TRUE(gw->wait_log("Ретрансляция не выполнена: заказ c-no-time, событие \"Completed\", "
                           "попыток 0",
                           3s));
  std::this_thread::sleep_for(settle);
  EXPECT_EQ(requests_for(*agg_, completed_path, "orderId", "c-no-time").size(), 0u);
  EXPECT_EQ(column(*db, "c-no-time", "statusint || ' ' || statusconfirmed"), "3 0");
}

// Relays waiting for their next try hold neither a thread nor a connection: the price list
// answers at once and the gateway keeps to its pool. A stop leaves each waiting relay stored and
// its order completed and unconfirmed; the next gateway sends them and records the confirmations.
TEST_F(CompletionEvent, ManyCompletionsWaitingOnARefusingAggregatorHoldNothing) {
  constexpr int orders = 200;
  constexpr int pool = 4;
  // A database of its own, so that only this gateway's sessions are counted.
  test_db db = test_db::create("orvale_stat_many");
  db.exec(network);
  fake_peer refusing;
  refusing.script(completed_path, {reply(503)});
  gateway_options o{refusing.base_url()};
  o.pause_scale = 1.0; // each relay waits 10 s after its first try
  o.pool_size = pool;
  o.jobs_pool_size = pool;
  const auto gw = start_gateway(db, o);
  std::string values;
  for (int i = 0; i < orders; ++i) {
    values += std::string(i == 0 ? "" : ", ") + "('c-many-" + std::to_string(i) +
              "', 1, 1, 2, 'Fueling')";
  }
  db.exec("INSERT INTO orders (id, id_app, id_shop, statusint, ordstatext) VALUES " + values);

  std::atomic<int> next{0};
  std::atomic<int> accepted{0};
  std::vector<std::thread> stations;
  for (int t = 0; t < 8; ++t) {
    stations.emplace_back([&] {
      for (int i = next++; i < orders; i = next++) {
        const auto r = complete(completion(station1, "c-many-" + std::to_string(i), "5"), *gw);
        accepted += r.status == 200 ? 1 : 0;
      }
    });
  }
  for (auto& s : stations) {
    s.join();
  }
  EXPECT_EQ(accepted.load(), orders);
  EXPECT_TRUE(refusing.wait_for(completed_path, orders, 10s));

  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const auto prices = orvale_test::http_call(gw->port(), "GET", "/orvale/price?apikey=demo-key");
    EXPECT_EQ(prices.status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  }
  EXPECT_LE(db.connections("orvale"), 2 * pool); // the requests' pool and the jobs'
  EXPECT_EQ(refusing.requests(completed_path).size(), static_cast<std::size_t>(orders))
      << "no relay has tried a second time yet";

  gw->send_signal(SIGTERM);
  ASSERT_TRUE(gw->wait_exit(20s).has_value());
  EXPECT_EQ(log_count(*gw, "Ретрансляция прервана"), 0u);
  EXPECT_EQ(db.value("SELECT count(*) FROM orvale_jobs WHERE kind = 'completed' AND "
                     "state = 'scheduled' AND attempts = 1 AND order_id LIKE 'c-many-%'"),
            std::to_string(orders));
  EXPECT_EQ(db.value("SELECT count(*) FROM orders WHERE id LIKE 'c-many-%' AND statusint = 3 "
                     "AND statusconfirmed = 0 AND ordstatext = 'Completed'"),
            std::to_string(orders));

  // Due at once rather than after the stopped gateway's 10 s.
  db.exec("UPDATE orvale_jobs SET due_at = now()");
  fake_peer confirming;
  confirming.script(completed_path, {reply(200)});
  gateway_options again{confirming.base_url()};
  again.pool_size = pool;
  const auto next_gw = start_gateway(db, again);
  EXPECT_TRUE(confirming.wait_for(completed_path, orders, 20s));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::string confirmed;
  while ((confirmed = db.value("SELECT count(*) FROM orders WHERE id LIKE 'c-many-%' AND "
                               "statusconfirmed = 1")) != std::to_string(orders) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(confirmed, std::to_string(orders));
}

} // namespace
