// What the order end-to-end tests share: one station served by a fake controller, a fake
// aggregator, the gateway between them with pauses shrunk a thousand times, and ways to look at
// what each peer received and what the orders table holds.
#pragma once

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <Poco/JSON/Object.h>
#include <gtest/gtest.h>

#include "support/fake_peer.h"
#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"
#include "web/json.h"

namespace order_e2e {

using namespace std::chrono_literals;
using orvale_test::fake_peer;
using orvale_test::http_reply;
using orvale_test::orvale_process;
using orvale_test::reply;
using orvale_test::seen_request;
using orvale_test::test_db;

// Station paths below the link's endpoint and the aggregator's order API.
inline const std::string st_order = "/api/azstank/order";
inline const std::string st_fueling = "/api/azstank/fueling";
inline const std::string st_canceled = "/api/azstank/canceled";
inline const std::string st_prices = "/api/azstank/callback/prices";
inline const std::string ag_accept = "/api/order/accept";
inline const std::string ag_fueling = "/api/order/fueling";
inline const std::string ag_canceled = "/api/order/canceled";
inline const std::string ag_completed = "/api/order/completed";

// Station 10 sells product 1 ("a92") at 52.30 and product 2 ("a95") at 45.675, which the price
// list publishes as 45.68. Dispenser 1 is free, 2 temporarily blocked, 3 deleted, 4 sells product
// 2; dispensers 11 to 40 are free ones for tests that need many at once.
inline const char* network = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key');
INSERT INTO products (prodcod, title) VALUES (1, 'p1'), (2, 'p2'), (3, 'p3');
INSERT INTO azslist (id, title, deleted) VALUES (10, 'live', false);
INSERT INTO azsconf (id_shop, trk, sch, prodcod, deleted, temp_blocked) VALUES
  (10, 1, 1, 1, false, false), (10, 2, 1, 1, false, true), (10, 3, 1, 1, true, false),
  (10, 4, 1, 2, false, false), (10, 5, 1, 1, false, false);
INSERT INTO azsconf (id_shop, trk, sch, prodcod) SELECT 10, t, 1, 1 FROM generate_series(11, 40) t;
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'a92'), (1, 2, 'a95');
INSERT INTO ordtypes (id, id_app, sname) VALUES (1, 1, 'Money');
INSERT INTO stattypes (id, id_app, sname) VALUES (1, 1, 'OrderCreated'), (3, 1, 'Completed'),
  (4, 1, 'Expire'), (5, 1, 'StationCanceled'), (6, 1, 'UserCanceled'), (7, 1, 'Fueling');
INSERT INTO curprices (id_shop, prodcod, price) VALUES (10, 1, 52.3), (10, 2, 45.675);
)SQL";

inline web::json::object_ptr new_order(const std::string& id, int trk = 1) {
  web::json::object_ptr o = web::json::make_object();
  o->set("Id", id);
  o->set("Status", "OrderCreated");
  o->set("OrderType", "Money");
  o->set("OrderVolume", 500);
  o->set("Litre", 9.56);
  o->set("DateCreate", "2021-03-04T05:06:07.123+03:00");
  o->set("StationId", "s10");
  o->set("StationExtendedId", "10");
  o->set("FuelId", "92");
  o->set("FuelMarka", "AI-92");
  o->set("FuelExtendedId", "a92");
  o->set("PriceId", "p1");
  o->set("ColumnId", trk);
  o->set("PriceFuel", 52.3);
  o->set("Sum", 500);
  o->set("SumPaid", 500);
  o->set("ContractId", "c-1");
  return o;
}

inline web::json::object_ptr status_change(const std::string& id, const std::string& status) {
  web::json::object_ptr o = web::json::make_object();
  o->set("id", id);
  o->set("status", status);
  return o;
}

// An order as an earlier run left it, at internal status `statusint`.
inline void store_order(test_db& db, const std::string& id, int statusint, int confirmed = 1,
                        const std::string& extended = "") {
  db.exec("INSERT INTO orders (id, id_app, timebeg, ord_typ, ordtypext, orderval, id_shop, "
          "shopext, trk, prodcod, prodident, prodext, priceid, price, ord_sum, ord_vol, status, "
          "ordstatext, statusint, statusconfirmed, contractid) VALUES ('" +
          id +
          "', 1, '2021-03-04 02:06:07', 1, 'Money', 500, 10, 's10', 1, 1, 'a92', '92', 'p1', "
          "52.3, 500, 9.56, 1, 'OrderCreated', " +
          std::to_string(statusint) + ", " + std::to_string(confirmed) + ", '" + extended + "')");
}

// The station body of the order above as the gateway sends it (members sorted by name).
inline std::string station_body(const std::string& id) {
  return R"({"app_id":1,"contract":"c-1","id":")" + id +
         R"(","price":52.3,"prod":1,"summa":500,"trk":1,"volume":9.56})";
}

inline std::string form(const std::string& id) {
  return "apikey=demo-key&orderId=" + id;
}

// "Заказ не принят." and the like as libcurl escapes them for the aggregator.
inline std::string escaped(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

inline std::vector<std::string> bodies(const std::vector<seen_request>& requests) {
  std::vector<std::string> out;
  for (const auto& r : requests) {
    out.push_back(r.body);
  }
  return out;
}

// What a test changes in the gateway's configuration.
struct gateway_setup {
  int worker_threads = 16;
  bool postpay_allow = true;
  double pause_scale = 0.001;
  double station_keepalive = 0; // s; the gateway's default
  int app_pool_size = 0;        // app_database's pool_size; 0: the gateway's default
};

class OrderE2e : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_order_e2e"));
  }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    db_->reset();
    db_->exec(network);
    db_->exec("INSERT INTO links (id_shop, addr, port, pass, active) VALUES (10, '127.0.0.1', " +
              std::to_string(station_.port()) + ", 'pass10', true)");
    for (const auto* path : {&st_order, &st_fueling, &st_canceled, &st_prices}) {
      station_.script(*path, {reply(200, "{}")});
    }
    for (const auto* path : {&ag_accept, &ag_fueling, &ag_canceled, &ag_completed}) {
      aggregator_.script(*path, {reply(200)});
    }
  }

  void start(orvale_process& gw, const gateway_setup& s = {}) {
    orvale_test::orvale_options o;
    o.app_database = db_->json_db_object();
    o.upstream_url = aggregator_.base_url();
    o.worker_threads = s.worker_threads;
    o.pause_scale = s.pause_scale;
    Poco::JSON::Object::Ptr config = orvale_test::make_config_object(o);
    config->getObject("orvale")->set("postpay_allow", s.postpay_allow);
    config->getObject("orvale")->set("order_lock_wait", 1); // s: the refusal test waits it out
    config->getObject("orvale")->set("station_keepalive", s.station_keepalive);
    if (s.app_pool_size > 0) {
      config->getObject("orvale")->getObject("app_database")->set("pool_size", s.app_pool_size);
    }
    gw.start(orvale_test::config_text(config));
    ASSERT_TRUE(gw.wait_ready(10s)) << gw.log_text();
  }
  void start_gateway(const gateway_setup& s = {}) { start(gw_, s); }

  http_reply post(const std::string& body, const std::string& key = "demo-key",
                  const std::string& path = "/orvale/order") {
    return post_to(gw_, body, key, path);
  }
  static http_reply post_to(orvale_process& gw, const std::string& body,
                            const std::string& key = "demo-key",
                            const std::string& path = "/orvale/order") {
    return orvale_test::http_call(gw.port(), "POST", path + "?apikey=" + key, body,
                                  "application/json", 30s);
  }
  http_reply post(const web::json::object_ptr& body) { return post(web::json::write(body)); }

  // The end of the run of the order's current event.
  [[nodiscard]] testing::AssertionResult run_ended(const std::string& id, int times = 1) {
    const std::string text = "[" + id + "] Обработка заказа завершена";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (true) {
      const std::string log = gw_.log_text();
      int n = 0;
      for (auto pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1)) {
        ++n;
      }
      if (n >= times) {
        return testing::AssertionSuccess();
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return testing::AssertionFailure() << "run " << times << " of " << id << " not ended:\n"
                                           << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
      }
      std::this_thread::sleep_for(10ms);
    }
  }

  // statusint/statusconfirmed, "NULL" for a NULL.
  static std::string state(const std::string& id) {
    return db_->value("SELECT coalesce(statusint::text, 'NULL') || '/' || "
                      "coalesce(statusconfirmed::text, 'NULL') FROM orders WHERE id = '" +
                      id + "'");
  }
  static std::string column(const std::string& id, const std::string& expr) {
    return db_->value("SELECT coalesce((" + expr + ")::text, 'NULL') FROM orders WHERE id = '" +
                      id + "'");
  }
  // The state at the moment `path` receives its n-th request (the peer holds its answer back).
  std::string state_at(const fake_peer& peer, const std::string& path, std::size_t n,
                       const std::string& id) {
    EXPECT_TRUE(peer.wait_for(path, n, 10s)) << gw_.log_text();
    return state(id);
  }

  static std::unique_ptr<test_db> db_;
  fake_peer station_;
  fake_peer aggregator_;
  orvale_process gw_;
};

inline std::unique_ptr<test_db> OrderE2e::db_;

} // namespace order_e2e
