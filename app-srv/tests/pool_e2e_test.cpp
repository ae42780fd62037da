// The connection pool through the real binary: bounded server connections, recovery after a
// PostgreSQL restart without restarting the gateway.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::http_call;
using orvale_test::orvale_process;
using orvale_test::test_db;

const char* small_network = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key');
INSERT INTO products (prodcod) VALUES (1);
INSERT INTO azslist (id, title) VALUES (1, 'A1');
INSERT INTO azsconf (id_shop, trk, sch, prodcod) VALUES (1, 1, 1, 1);
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'a92');
INSERT INTO curprices (id_shop, prodcod, price) VALUES (1, 1, 52.3);
)SQL";

const std::string price_path = "/orvale/price?apikey=demo-key";

std::string with_pool(const test_db& db, int pool_size) {
  std::string obj = db.json_db_object();
  return obj.substr(0, obj.rfind('}')) + ",\"pool_size\":" + std::to_string(pool_size) + "}";
}

// Requests from `threads` clients at once; the statuses seen, counted.
std::map<int, int> burst(std::uint16_t port, int threads, int per_thread) {
  std::mutex mu;
  std::map<int, int> statuses;
  std::vector<std::thread> clients;
  for (int t = 0; t < threads; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < per_thread; ++i) {
        const int status = http_call(port, "GET", price_path).status;
        std::lock_guard<std::mutex> lock(mu);
        ++statuses[status];
      }
    });
  }
  for (auto& c : clients) {
    c.join();
  }
  return statuses;
}

TEST(PoolProcess, ABurstUsesNoMoreConnectionsThanThePoolHolds) {
  test_db db = test_db::create("orvale_pool_burst");
  db.exec(small_network);
  orvale_test::orvale_options o;
  o.app_database = with_pool(db, 4);
  o.catalogue_cache = false; // every request reaches the pool
  orvale_process gw;
  gw.start(orvale_test::make_config(o));
  ASSERT_TRUE(gw.wait_ready(10s)) << gw.log_text();
  const auto statuses = burst(gw.port(), 20, 25); // 500 requests
  EXPECT_EQ(statuses, (std::map<int, int>{{200, 500}})) << gw.log_text();
  const int open = db.connections("orvale");
  EXPECT_GE(open, 1);
  EXPECT_LE(open, 4);
}

TEST(PoolProcess, RecoversAfterThePostgresServerRestarts) {
  orvale_test::private_cluster cluster;
  test_db db = test_db::create_on(cluster.port(), "orvale_restart");
  db.exec(small_network);
  orvale_test::orvale_options o;
  o.app_database = with_pool(db, 4);
  o.catalogue_cache = false; // every request reaches the pool
  orvale_process gw;
  gw.start(orvale_test::make_config(o));
  ASSERT_TRUE(gw.wait_ready(10s)) << gw.log_text();
  ASSERT_EQ(burst(gw.port(), 4, 5), (std::map<int, int>{{200, 20}})); // the pool is warm

  // Idle pooled connections die with the server; the next requests must not notice.
  cluster.restart();
  int failed = 0;
  for (int i = 0; i < 20; ++i) {
    failed += http_call(gw.port(), "GET", price_path).status != 200;
  }
  EXPECT_LE(failed, 4) << "at most one failure per stale pooled connection";

  // A restart under load: a request whose query is cut, or that finds no server, gets the
  // endpoint's answer for a failed lookup (401), a failed statement (404) or no connection (406);
  // nothing else, and the service is whole again afterwards.
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::map<int, int> during;
  std::vector<std::thread> load;
  for (int t = 0; t < 4; ++t) {
    load.emplace_back([&] {
      while (!stop) {
        const int status = http_call(gw.port(), "GET", price_path).status;
        std::lock_guard<std::mutex> lock(mu);
        ++during[status];
      }
    });
  }
  std::this_thread::sleep_for(200ms); // load running before the restart
  cluster.restart();
  std::this_thread::sleep_for(200ms); // and after it
  stop = true;
  for (auto& t : load) {
    t.join();
  }
  for (const auto& [status, n] : during) {
    EXPECT_TRUE(status == 200 || status == 401 || status == 404 || status == 406)
        << status << " x" << n;
  }
  EXPECT_GT(during[200], 0);
  EXPECT_EQ(burst(gw.port(), 4, 10), (std::map<int, int>{{200, 40}})) << gw.log_text();
  EXPECT_LE(db.connections("orvale"), 4);
}

} // namespace
