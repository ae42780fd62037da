// The gateway against hostile callers and slow peers, through the real binary and PostgreSQL: the
// operator's key, request deadlines, per-controller call slots, sessions bounded by the pool, form
// field limits and the statement time-out.
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <Poco/JSON/Object.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include "support/fake_peer.h"
#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::fake_peer;
using orvale_test::form_encode;
using orvale_test::http_call;
using orvale_test::http_reply;
using orvale_test::orvale_process;
using orvale_test::reply;
using orvale_test::test_db;

const char* network = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key');
INSERT INTO products (prodcod, title) VALUES (1, 'АИ-92');
INSERT INTO azslist (id, title, deleted) VALUES (1, 'A1', false), (2, 'A2', false);
INSERT INTO azsconf (id_shop, trk, sch, prodcod, deleted) VALUES
  (1, 1, 1, 1, false), (2, 1, 1, 1, false);
INSERT INTO links (id_shop, addr, port, pass, ssl, active) VALUES
  (1, '127.0.0.1', 1, 'old1', false, true), (2, '127.0.0.1', 1, 'old2', false, true);
)SQL";

const char* unreachable_database =
    R"({"db_host":"127.0.0.1","db_port":1,"db_name":"x","connect_timeout":1})";

class Hardening : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_hardening"));
    db_->exec(network);
  }
  static void TearDownTestSuite() { db_.reset(); }

  // A gateway on the suite's database; `edit` changes its configuration before the start.
  template <class Edit>
  static std::unique_ptr<orvale_process> gateway(orvale_test::orvale_options o, Edit edit) {
    if (o.app_database == "{}") {
      o.app_database = db_->json_db_object();
    }
    Poco::JSON::Object::Ptr config = orvale_test::make_config_object(o);
    edit(*config->getObject("orvale"), *config->getObject("http"));
    auto gw = std::make_unique<orvale_process>();
    gw->start(orvale_test::config_text(config));
    EXPECT_TRUE(gw->wait_ready(10s)) << gw->log_text();
    return gw;
  }

  static http_reply post_form(const orvale_process& gw, const std::string& path,
                              const std::string& form) {
    return http_call(gw.port(), "POST", path, form, "application/x-www-form-urlencoded");
  }
  static std::string passes() {
    return db_->value("SELECT string_agg(pass, ',' ORDER BY id_shop) FROM links");
  }

  static std::unique_ptr<test_db> db_;
};
std::unique_ptr<test_db> Hardening::db_;

// ---- The operator's key -------------------------------------------------------------------------

TEST_F(Hardening, TheOperatorKeyAloneOpensTheOperatorsEndpointsOnceSet) {
  orvale_test::orvale_options o;
  o.velk_database = unreachable_database;
  auto gw = gateway(o, [](Poco::JSON::Object& orvale, Poco::JSON::Object&) {
    orvale.set("admin_key", "op-key");
  });
  EXPECT_EQ(gw->log_text().find("Не задан orvale.admin_key"), std::string::npos);
  struct endpoint {
    const char* path;
    std::string form; // "KEY" stands for the key presented
    int admitted;     // the status once the key is accepted
  };
  const std::vector<endpoint> endpoints = {
      {"/orvale/cpanel/register", "type=azs&sysId=1&key=KEY", 200},
      {"/orvale/report/main", "key=KEY&app=DEMO&sdate=D", 503}, // no aggregator configured
      {"/orvale/sync_products", "key=KEY", 406},                // back-office unreachable
      {"/orvale/sync_stations", "key=KEY", 406},
      {"/orvale/sync_prices", "key=KEY", 406},
  };
  for (const auto& e : endpoints) {
    const auto with = [&e](const std::string& key) {
      std::string form = e.form;
      form.replace(form.find("KEY"), 3, key);
      return form;
    };
    const std::string before = passes();
    EXPECT_EQ(post_form(*gw, e.path, with("gw-key")).status, 401) << e.path << ": the gateway key";
    EXPECT_EQ(post_form(*gw, e.path, with("")).status, 401) << e.path;
    EXPECT_EQ(passes(), before) << e.path;
    EXPECT_EQ(post_form(*gw, e.path, with("op-key")).status, e.admitted) << e.path;
  }
  EXPECT_NE(passes().substr(0, 5), "old1,") << "registration with the operator key took effect";
}

TEST_F(Hardening, WithoutAnOperatorKeyTheGatewayKeyServesAndAnEmptyOneNobody) {
  db_->exec("UPDATE links SET pass = 'old' || id_shop");
  orvale_test::orvale_options o;
  o.app_key = "";
  auto gw = gateway(o, [](Poco::JSON::Object&, Poco::JSON::Object&) {});
  EXPECT_TRUE(gw->wait_log("Не задан orvale.admin_key", 2s)) << gw->log_text();
  for (const char* form : {"type=azs&sysId=1", "type=azs&sysId=1&key=", "type=azs&sysId=1&key=%20"}) {
    const auto r = post_form(*gw, "/orvale/cpanel/register", form);
    EXPECT_EQ(r.status, 401) << form;
    EXPECT_NE(r.body.find(R"("err":4)"), std::string::npos) << form << ": " << r.body;
  }
  EXPECT_EQ(passes(), "old1,old2") << "no password changed";

  o.app_key = "gw-key";
  auto with_app_key = gateway(o, [](Poco::JSON::Object&, Poco::JSON::Object&) {});
  EXPECT_EQ(post_form(*with_app_key, "/orvale/cpanel/register", "type=azs&sysId=2&key=gw-key")
                .status,
            200);
}

// ---- Slow clients ----------------------------------------------------------------------------

// Sends `request` one byte every 50 ms until the gateway answers or closes; returns the answer
// ("" when it closed without one). The request is longer than any deadline of these tests lets
// through.
std::string dribble(std::uint16_t port, const std::string& request) {
  Poco::Net::StreamSocket s(Poco::Net::SocketAddress("127.0.0.1", port));
  for (std::size_t i = 0; i < 400; ++i) { // 20 s at most
    if (s.poll(Poco::Timespan(0, 50000), Poco::Net::Socket::SELECT_READ)) {
      char buf[256];
      try {
        const int n = s.receiveBytes(buf, sizeof buf);
        return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
      } catch (const Poco::Exception&) {
        return "";
      }
    }
    try {
      s.sendBytes(request.data() + i % request.size(), 1);
    } catch (const Poco::Exception&) {
    }
  }
  return "still reading after 20 s";
}

TEST_F(Hardening, SlowClientsAreCutOffWhileANormalOneIsServed) {
  orvale_test::orvale_options o;
  o.worker_threads = 2;
  auto gw = gateway(o, [](Poco::JSON::Object&, Poco::JSON::Object& http) {
    http.set("request_deadline", 2);
  });
  const std::string pad(400, 'a');
  const std::string slow_head = "GET /orvale/price HTTP/1.1\r\nHost: t\r\nX-Pad: " + pad;
  const std::string slow_body = "POST /orvale/price HTTP/1.1\r\nHost: t\r\nContent-Length: 400\r\n"
                                "Content-Type: application/x-www-form-urlencoded\r\n\r\n" + pad;
  std::atomic<int> finished{0};
  std::vector<std::future<std::string>> slow;
  for (int i = 0; i < 3; ++i) { // more of each kind than there are workers
    for (const std::string* request : {&slow_head, &slow_body}) {
      slow.push_back(std::async(std::launch::async, [&, request] {
        std::string answer = dribble(gw->port(), *request);
        ++finished;
        return answer;
      }));
    }
  }
  std::this_thread::sleep_for(300ms); // all of them connected and dribbling
  EXPECT_EQ(http_call(gw->port(), "GET", "/orvale/price").status, 401);
  EXPECT_EQ(finished.load(), 0) << "the normal client was served while the slow ones dribbled";
  for (auto& f : slow) {
    EXPECT_EQ(f.get().substr(0, 12), "HTTP/1.1 408");
  }
  EXPECT_TRUE(gw->wait_log("Запрос не получен полностью", 1s)) << gw->log_text();
  EXPECT_EQ(http_call(gw->port(), "GET", "/orvale/price").status, 401) << "the gateway goes on";
}

// ---- A hung station controller ---------------------------------------------------------------

TEST_F(Hardening, AHungControllerGetsItsSlotsAndNoMoreWhileOthersAreServed) {
  fake_peer hung;
  fake_peer healthy;
  hung.script("/api/azstank/ping", {reply(200, R"({"statId":3})", 20s)});
  healthy.script("/api/azstank/ping", {reply(200, R"({"statId":3})")});
  db_->exec("UPDATE links SET port = " + std::to_string(hung.port()) + " WHERE id_shop = 1");
  db_->exec("UPDATE links SET port = " + std::to_string(healthy.port()) + " WHERE id_shop = 2");
  orvale_test::orvale_options o;
  auto gw = gateway(o, [](Poco::JSON::Object& orvale, Poco::JSON::Object&) {
    orvale.set("station_concurrency", 2);
    orvale.set("station_wait", 0.2);
  });
  std::vector<std::future<int>> pings;
  for (int i = 0; i < 5; ++i) {
    pings.push_back(std::async(std::launch::async, [&gw] {
      return http_call(gw->port(), "GET", "/orvale/ping?apikey=demo-key&stationId=1&columnId=1",
                       "", "", 30s)
          .status;
    }));
  }
  ASSERT_TRUE(hung.wait_for(2, 5s));
  EXPECT_EQ(
      http_call(gw->port(), "GET", "/orvale/ping?apikey=demo-key&stationId=2&columnId=1").status,
      200);
  // Three find no slot and fail at once; two hang with the controller.
  std::vector<int> refused;
  const auto limit = std::chrono::steady_clock::now() + 5s;
  while (refused.size() < 3 && std::chrono::steady_clock::now() < limit) {
    for (auto& p : pings) {
      if (p.valid() && p.wait_for(10ms) == std::future_status::ready) {
        refused.push_back(p.get());
      }
    }
  }
  EXPECT_EQ(refused, std::vector<int>(3, 502)) << "no free slot is a failed transfer";
  EXPECT_EQ(hung.requests().size(), 2u);
  EXPECT_TRUE(gw->wait_log("нет свободного места для запроса", 1s)) << gw->log_text();
  gw.reset(); // ends the two calls still hanging
}

// ---- Sessions ---------------------------------------------------------------------------------

TEST_F(Hardening, UnauthenticatedOrdersOpenNoSessionBeyondThePool) {
  orvale_test::orvale_options o;
  o.worker_threads = 64;
  o.log_level = "error";
  auto gw = gateway(o, [](Poco::JSON::Object& orvale, Poco::JSON::Object&) {
    orvale.getObject("app_database")->set("pool_size", 4);
  });
  std::atomic<bool> done{false};
  auto counting = std::async(std::launch::async, [&] {
    int most = 0;
    while (!done) {
      most = std::max(most, db_->connections("orvale"));
    }
    return most;
  });
  std::vector<std::future<int>> posts;
  for (int i = 0; i < 150; ++i) {
    posts.push_back(std::async(std::launch::async, [&gw, i] {
      return http_call(gw->port(), "POST", "/orvale/order?apikey=wrong",
                       R"({"id":"o)" + std::to_string(i) + R"(","status":"OrderCreated"})",
                       "application/json", 30s)
          .status;
    }));
  }
  int unauthorised = 0;
  for (auto& p : posts) {
    unauthorised += p.get() == 401 ? 1 : 0;
  }
  done = true;
  EXPECT_EQ(unauthorised, 150);
  const int most = counting.get();
  EXPECT_GT(most, 0) << "the count saw the gateway's sessions";
  EXPECT_LE(most, 4) << "pool_size bounds the sessions";
}

TEST_F(Hardening, AStatementPastTheTimeOutIsCancelled) {
  orvale_test::orvale_options o;
  o.app_key = "";
  auto gw = gateway(o, [](Poco::JSON::Object& orvale, Poco::JSON::Object&) {
    orvale.set("admin_key", "op-key");
    orvale.getObject("app_database")->set("statement_timeout", 1);
  });
  auto holder = db_->open_session();
  PQclear(PQexec(holder.get(), "BEGIN; LOCK TABLE links IN ACCESS EXCLUSIVE MODE"));
  const auto r = post_form(*gw, "/orvale/cpanel/register", "type=azs&sysId=1&key=op-key");
  PQclear(PQexec(holder.get(), "ROLLBACK"));
  EXPECT_EQ(r.status, 404) << "the update failed instead of waiting for the lock";
  EXPECT_TRUE(gw->wait_log("statement timeout", 1s)) << gw->log_text();
}

// ---- Forms ------------------------------------------------------------------------------------

TEST_F(Hardening, FormsOfMoreThanAThousandFieldsAre400WhereFormsAreRead) {
  orvale_test::orvale_options o;
  auto gw = gateway(o, [](Poco::JSON::Object&, Poco::JSON::Object&) {});
  const auto fields = [](int n) {
    std::string form;
    for (int i = 0; i < n; ++i) {
      form += "a&";
    }
    return form + "key=wrong";
  };
  EXPECT_EQ(post_form(*gw, "/orvale/sync_products", fields(999)).status, 401);
  EXPECT_EQ(post_form(*gw, "/orvale/sync_products", fields(1000)).status, 400);
  EXPECT_EQ(post_form(*gw, "/orvale/nowhere", fields(5000)).status, 404)
      << "a path without a route decodes no form";
  EXPECT_EQ(post_form(*gw, "/orvale/sync_products", std::string(100000, '&') + "key=x").status,
            401)
      << "empty fields count for nothing";
}

} // namespace
