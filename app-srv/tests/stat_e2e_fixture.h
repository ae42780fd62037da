// What the station event tests share: a small network with two applications and three station
// links, orders inserted column by column, gateways started against a fake aggregator, events
// posted as a station controller posts them, and waits on what reaches the aggregator.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <Poco/JSON/Object.h>
#include <gtest/gtest.h>

#include "support/fake_peer.h"
#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"

namespace stat_e2e {

using namespace std::chrono_literals;
using orvale_test::fake_peer;
using orvale_test::http_reply;
using orvale_test::orvale_process;
using orvale_test::reply;
using orvale_test::test_db;

// Application 1 ("demo-key") owns the orders; stations 1 and 2 have links with their own keys,
// station 3's key is a LIKE pattern that must match nothing but itself. Status types of
// application 1 are numbered as the aggregator names them.
inline const char* network = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key'), (2, 'OTHER', 'other-key');
INSERT INTO products (prodcod, title) VALUES (1, 'АИ-92');
INSERT INTO azslist (id, title) VALUES (1, 'A1'), (2, 'A2'), (3, 'A3');
INSERT INTO azsconf (id_shop, trk, sch, prodcod) VALUES (1, 1, 1, 1), (2, 1, 1, 1);
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'a92');
INSERT INTO curprices (id_shop, prodcod, price) VALUES (1, 1, 52.3), (2, 1, 53.1);
INSERT INTO links (id_shop, addr, port, pass, ssl, active) VALUES
  (1, '127.0.0.1', 9, 'st1-key', false, true), (2, '127.0.0.1', 9, 'st2-key', false, true),
  (3, '127.0.0.1', 9, 'st3%', false, true);
INSERT INTO stattypes (id, id_app, sname) VALUES
  (1, 1, 'OrderCreated'), (2, 1, 'Fueling'), (3, 1, 'Completed'), (4, 1, 'Expire'),
  (5, 1, 'StationCanceled'), (6, 1, 'UserCanceled'), (7, 1, 'Accepted');
)SQL";

// A database seeded with `network`. Every gateway on a database runs that database's stored
// relays, whichever took the event: a gateway with an aggregator (or settings) of its own needs a
// database of its own.
inline std::unique_ptr<test_db> network_db(const std::string& name) {
  auto db = std::make_unique<test_db>(test_db::create(name));
  db->exec(network);
  return db;
}

inline const std::string station1 = "demo-key,gw-key,st1-key";
inline const std::string station2 = "demo-key,gw-key,st2-key";

// One order row; every column not named here stays as the defaults below, so that a test can
// see which columns an event wrote.
struct order_row {
  std::string id;
  int id_shop = 1;
  int statusint = 7;
  std::string ordstatext = "OrderCreated";
  int id_app = 1;
};

inline void add_order(test_db& db, const order_row& o) {
  db.exec("INSERT INTO orders (id, id_app, id_shop, statusint, ordstatext, status, trk, prodcod, "
          "price, orderval, ord_sum, ord_vol, summa, reason, statusconfirmed, timebeg, "
          "azstimebeg) VALUES ('" +
          o.id + "', " + std::to_string(o.id_app) + ", " + std::to_string(o.id_shop) + ", " +
          std::to_string(o.statusint) + ", '" + o.ordstatext +
          "', 1, 1, 1, 52.3, 10, 523, 10, 100, 'прежняя причина', 1, "
          "'2024-03-05 06:00:00', '2024-03-05 09:00:00')");
}

// The whole row as JSON text without the named columns, to compare before and after an event.
inline std::string row_without(test_db& db, const std::string& id,
                               const std::vector<std::string>& columns) {
  std::string minus;
  for (const auto& c : columns) {
    minus += " - '" + c + "'";
  }
  return db.value("SELECT (to_jsonb(o)" + minus + ")::text FROM orders o WHERE id = '" + id + "'");
}

inline std::string column(test_db& db, const std::string& id, const std::string& expr) {
  return db.value("SELECT " + expr + " FROM orders WHERE id = '" + id + "'");
}

// Polls until the column expression reads `want`.
inline testing::AssertionResult column_becomes(test_db& db, const std::string& id,
                                               const std::string& expr, const std::string& want,
                                               std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string seen;
  while ((seen = column(db, id, expr)) != want && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  if (seen == want) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << expr << " of " << id << " is '" << seen << "', not '" << want << "'";
}

struct gateway_options {
  std::string upstream_url;
  double pause_scale = 0.01;
  std::string app_key = "gw-key";
  bool notify_recv = true;
  bool notify_forward = false;
  int max_expiration_timeout = 259200;
  int pool_size = 16;
  int jobs_pool_size = 16;    // orvale.jobs.pool_size
  bool database_down = false; // a database address where nothing listens
};

inline std::unique_ptr<orvale_process> start_gateway(const test_db& db, const gateway_options& g) {
  orvale_test::orvale_options o;
  o.upstream_url = g.upstream_url;
  o.pause_scale = g.pause_scale;
  o.app_key = g.app_key;
  o.notify_recv = g.notify_recv;
  o.notify_forward = g.notify_forward;
  std::string database = db.json_db_object();
  database = database.substr(0, database.rfind('}')) +
             ",\"pool_size\":" + std::to_string(g.pool_size) + "}";
  o.app_database = database;
  auto config = orvale_test::make_config_object(o);
  auto section = config->getObject("orvale");
  section->set("max_expiration_timeout", g.max_expiration_timeout);
  auto jobs = Poco::makeShared<Poco::JSON::Object>();
  jobs->set("pool_size", g.jobs_pool_size);
  section->set("jobs", jobs);
  if (g.database_down) {
    auto dbobj = section->getObject("app_database");
    dbobj->set("db_port", static_cast<int>(orvale_test::free_port()));
    dbobj->set("connect_timeout", 1);
  }
  auto gw = std::make_unique<orvale_process>();
  gw->start(orvale_test::config_text(config));
  EXPECT_TRUE(gw->wait_ready(10s)) << gw->log_text();
  return gw;
}

// What every station event suite runs against: its own database seeded with `network`, the
// aggregator that answers, and three gateways (an ordinary one, one whose database is down, one
// without the gateway key). One set per suite: Suite is the deriving fixture.
template <class Suite> class event_suite : public ::testing::Test {
protected:
  static void start_common(const std::string& db_name, gateway_options no_db = {}) {
    db_ = std::make_unique<test_db>(test_db::create(db_name));
    db_->exec(network);
    gw_ = start_gateway(*db_, {agg_->base_url()});
    no_db.upstream_url = agg_->base_url();
    no_db.database_down = true;
    no_db_gw_ = start_gateway(*db_, no_db);
    gateway_options no_key{agg_->base_url()};
    no_key.app_key = "";
    no_key_gw_ = start_gateway(*db_, no_key);
  }
  static void stop_common() {
    no_key_gw_.reset();
    no_db_gw_.reset();
    gw_.reset();
    db_.reset();
    agg_.reset();
  }

  static inline std::unique_ptr<fake_peer> agg_; // scripted by the suite before start_common
  static inline std::unique_ptr<test_db> db_;
  static inline std::unique_ptr<orvale_process> gw_;
  static inline std::unique_ptr<orvale_process> no_db_gw_;
  static inline std::unique_ptr<orvale_process> no_key_gw_;
};

// A POST as the controllers send it: the fields in a form body.
inline http_reply post_event(const orvale_process& gw, const std::string& path,
                             const std::vector<std::pair<std::string, std::string>>& fields) {
  return orvale_test::http_call(gw.port(), "POST", "/orvale/" + path,
                                orvale_test::form_encode(fields),
                                "application/x-www-form-urlencoded");
}

// A station event's answer: the status alone.
inline void expect_status_only(const http_reply& r, int status) {
  EXPECT_EQ(r.status, status) << r.error;
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(r.header("Content-Type"), "");
}

// Requests for `path` whose body carries `field`=`value` as one of its fields.
inline std::vector<orvale_test::seen_request> requests_for(const fake_peer& agg,
                                                           const std::string& path,
                                                           const std::string& field,
                                                           const std::string& value) {
  std::vector<orvale_test::seen_request> out;
  const std::string needle = "&" + field + "=" + value;
  for (auto& r : agg.requests(path)) {
    const auto at = r.body.find(needle);
    if (at != std::string::npos &&
        (at + needle.size() == r.body.size() || r.body[at + needle.size()] == '&')) {
      out.push_back(std::move(r));
    }
  }
  return out;
}

// Waits until at least `n` such requests arrived; returns those seen.
inline std::vector<orvale_test::seen_request>
wait_requests(const fake_peer& agg, const std::string& path, const std::string& field,
              const std::string& value, std::size_t n, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto seen = requests_for(agg, path, field, value);
  while (seen.size() < n && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    seen = requests_for(agg, path, field, value);
  }
  return seen;
}

// Gaps between consecutive arrivals.
inline std::vector<std::chrono::milliseconds>
gaps(const std::vector<orvale_test::seen_request>& seen) {
  std::vector<std::chrono::milliseconds> out;
  for (std::size_t i = 1; i < seen.size(); ++i) {
    out.push_back(
        std::chrono::duration_cast<std::chrono::milliseconds>(seen[i].at - seen[i - 1].at));
  }
  return out;
}

// Lines of the gateway's log that contain `text`.
inline std::size_t log_count(const orvale_process& gw, const std::string& text) {
  const std::string log = gw.log_text();
  std::size_t n = 0;
  for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
    ++n;
  }
  return n;
}

// Relays run after the reply: time for one that should not happen to have happened.
constexpr std::chrono::milliseconds settle{400};

} // namespace stat_e2e
