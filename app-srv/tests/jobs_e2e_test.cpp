// Work promised after an answer outlives the process that promised it: completion relays pending
// while the aggregator refuses survive a reload, a stop and a kill, and a second process on the
// same database delivers what a killed one left; each is delivered once.
#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stat_e2e_fixture.h"

namespace {

using namespace stat_e2e;

const std::string completed_path = "/api/order/completed";

std::unique_ptr<orvale_process> start_with_lease(const test_db& db, const std::string& upstream) {
  orvale_test::orvale_options o;
  o.upstream_url = upstream;
  o.pause_scale = 0.01; // the completion's 10 s pause is 100 ms
  std::string database = db.json_db_object();
  o.app_database = database.substr(0, database.rfind('}')) + ",\"pool_size\":8}";
  auto config = orvale_test::make_config_object(o);
  Poco::JSON::Object::Ptr jobs = new Poco::JSON::Object;
  jobs->set("lease", 2); // a killed process's jobs are taken over after 2 s
  config->getObject("orvale")->set("jobs", jobs);
  auto gw = std::make_unique<orvale_process>();
  gw->start(orvale_test::config_text(config));
  EXPECT_TRUE(gw->wait_ready(10s)) << gw->log_text();
  return gw;
}

http_reply complete(const orvale_process& gw, const std::string& id) {
  return post_event(gw, "completed",
                    {{"apikey", station1}, {"orderId", id}, {"litre", "5.5"},
                     {"extendedOrderId", "77"}, {"extendedDate", "05.03.2024 10:00:00"}});
}

void start_confirming(fake_peer& agg) { agg.script(completed_path, {reply(200)}); }

// An order's completions from the first one answered 200 on: 1 when it was delivered once and
// nothing came after it.
std::size_t sent_from_first_200(const fake_peer& agg, const std::string& id) {
  const auto seen = requests_for(agg, completed_path, "orderId", id);
  const auto first = std::find_if(seen.begin(), seen.end(),
                                  [](const auto& r) { return r.answered == 200; });
  return static_cast<std::size_t>(seen.end() - first);
}

testing::AssertionResult all_done(test_db& db, int expected, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string done;
  while ((done = db.value("SELECT count(*) FROM orvale_jobs WHERE state = 'done'")) !=
             std::to_string(expected) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  if (done == std::to_string(expected)) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << done << " of " << expected << " done: "
         << db.value("SELECT string_agg(order_id || ' ' || state || ' ' || coalesce(owner, '-'), "
                     "'; ') FROM orvale_jobs WHERE state <> 'done'");
}

struct interruption {
  const char* name;
  int signal;
  bool restart; // a new process is started (the signalled one ends)
};

TEST(DurableRelays, APendingCompletionOutlivesItsProcess) {
  const interruption cases[] = {
      {"reload", SIGHUP, false}, {"stop", SIGTERM, true}, {"kill", SIGKILL, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_db db = test_db::create(std::string("orvale_durable_") + c.name);
    db.exec(network);
    add_order(db, {"d-1", 1, 2, "Fueling"});
    fake_peer agg;
    agg.script(completed_path, {reply(503)});
    auto gw = start_with_lease(db, agg.base_url());
    ASSERT_EQ(complete(*gw, "d-1").status, 200);
    ASSERT_GE(wait_requests(agg, completed_path, "orderId", "d-1", 2).size(), 2u);

    gw->send_signal(c.signal);
    if (c.restart) {
      ASSERT_TRUE(gw->wait_exit(20s).has_value());
      gw = start_with_lease(db, agg.base_url());
    } else {
      const auto deadline = std::chrono::steady_clock::now() + 10s; // the new cycle's runner
      while (log_count(*gw, "Сеанс ожидания заданий открыт") < 2 &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
      }
      ASSERT_EQ(log_count(*gw, "Сеанс ожидания заданий открыт"), 2u) << gw->log_text();
    }
    start_confirming(agg);
    ASSERT_TRUE(all_done(db, 1));
    EXPECT_TRUE(column_becomes(db, "d-1", "statusconfirmed", "1")) << "written on the 200 only";
    std::this_thread::sleep_for(settle);
    EXPECT_EQ(sent_from_first_200(agg, "d-1"), 1u) << "nothing after the 200";
  }
}

// Two processes share the relays; one is killed while they wait. The other delivers every one
// of them once its lease is over, and nothing answered 200 is sent again.
TEST(DurableRelays, AnotherProcessDeliversWhatAKilledOneLeft) {
  constexpr int orders = 20;
  test_db db = test_db::create("orvale_durable_two");
  db.exec(network);
  fake_peer agg;
  agg.script(completed_path, {reply(503)});
  auto first = start_with_lease(db, agg.base_url());
  auto second = start_with_lease(db, agg.base_url());
  for (int i = 0; i < orders; ++i) {
    const std::string id = "t-" + std::to_string(i);
    add_order(db, {id, 1, 2, "Fueling"});
    ASSERT_EQ(complete(i % 2 == 0 ? *first : *second, id).status, 200) << id;
  }
  ASSERT_TRUE(agg.wait_for(completed_path, orders * 2, 10s));
  first->send_signal(SIGKILL);
  ASSERT_TRUE(first->wait_exit(10s).has_value());
  start_confirming(agg);
  ASSERT_TRUE(all_done(db, orders));
  std::this_thread::sleep_for(settle);
  for (int i = 0; i < orders; ++i) {
    const std::string id = "t-" + std::to_string(i);
    EXPECT_EQ(column(db, id, "statusconfirmed"), "1") << id;
    EXPECT_EQ(sent_from_first_200(agg, id), 1u) << id;
  }
  EXPECT_EQ(db.value("SELECT count(DISTINCT owner) FROM orvale_jobs"), "0")
      << "every lease ended with its job";
}

} // namespace
