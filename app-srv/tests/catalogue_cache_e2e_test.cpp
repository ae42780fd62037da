// The catalogue replies kept in memory by the real binary: changes made in the database outside
// the gateway reach the next replies, a lost listening session never serves stale replies, and
// gzip carries the same bytes.
#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include <Poco/InflatingStream.h>
#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::http_call;
using orvale_test::http_reply;
using orvale_test::orvale_process;
using orvale_test::test_db;

const char* network = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key'), (2, 'OTHER', 'other-key');
INSERT INTO products (prodcod, title) VALUES (1, 'АИ-92'), (2, 'АИ-95');
INSERT INTO azslist (id, title, azs_addr, pos_lat, pos_lon, deleted) VALUES
  (1, 'A1', 'addr1', 55.75, 37.6, false), (2, 'A2', 'addr2', 56.1, 38.25, false);
INSERT INTO links (id_shop, addr, port, pass, active, is_postpay) VALUES
  (1, 'h1', 1, 'k1', true, false), (2, 'h2', 1, 'k2', true, false);
INSERT INTO azsconf (id_shop, trk, sch, prodcod, deleted, temp_blocked) VALUES
  (1, 1, 1, 1, false, false), (1, 2, 1, 2, false, false), (2, 1, 1, 1, false, false);
INSERT INTO prodmaps (id_app, prodcod, prodmap) VALUES (1, 1, 'a92'), (1, 2, 'a95'), (2, 1, 'x92');
INSERT INTO curprices (id_shop, prodcod, price) VALUES (1, 1, 52.3), (1, 2, 50), (2, 1, 45);
)SQL";

constexpr const char* session_up = "Сеанс ожидания изменений каталога открыт";

class CatalogueCache : public ::testing::Test {
protected:
  void SetUp() override {
    db_ = std::make_unique<test_db>(test_db::create("orvale_catalogue_cache"));
    db_->exec(network);
    orvale_test::orvale_options o;
    o.app_database = db_->json_db_object();
    gw_.start(orvale_test::make_config(o));
    ASSERT_TRUE(gw_.wait_ready(10s)) << gw_.log_text();
    ASSERT_TRUE(gw_.wait_log(session_up, 5s));
  }

  http_reply get(const std::string& target) { return http_call(gw_.port(), "GET", target); }

  // Asks again until the reply shows `needle` (or, with `present` false, no longer shows it) with
  // `status`, for at most 1 s; the last reply when it never did.
  testing::AssertionResult within_a_second(const std::string& target, int status,
                                           const std::string& needle, bool present) {
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    http_reply r;
    do {
      r = get(target);
      if (r.status == status && (r.body.find(needle) != std::string::npos) == present) {
        return testing::AssertionSuccess();
      }
    } while (std::chrono::steady_clock::now() < deadline);
    return testing::AssertionFailure() << target << " after 1 s: " << r.status << " " << r.body;
  }

  std::size_t sessions_opened() {
    const std::string log = gw_.log_text();
    std::size_t n = 0;
    for (auto at = log.find(session_up); at != std::string::npos; at = log.find(session_up, at + 1)) {
      ++n;
    }
    return n;
  }

  std::unique_ptr<test_db> db_;
  orvale_process gw_;
};

TEST_F(CatalogueCache, ChangesMadeInTheDatabaseReachTheNextReplyWithinASecond) {
  const struct {
    const char* what;
    const char* sql;
    const char* target;
    int status;          // after the change
    const char* needle;  // in the body before the change
    bool present;        // in the body after it
  } cases[] = {
      {"price changed", "UPDATE curprices SET price = 61.25 WHERE id_shop = 1 AND prodcod = 1",
       "/orvale/price?apikey=demo-key&stationId=1", 200, "\"Price\":52.3", false},
      {"station disabled", "UPDATE azslist SET deleted = true WHERE id = 2",
       "/orvale/station?apikey=demo-key&stationId=2", 200, "\"Enable\":true", false},
      {"mapping removed", "DELETE FROM prodmaps WHERE id_app = 1 AND prodcod = 2",
       "/orvale/station?apikey=demo-key", 200, "a95", false},
      {"key changed", "UPDATE apptypes SET key = 'renewed' WHERE id = 2",
       "/orvale/price?apikey=other-key", 401, "", true},
      {"prices emptied", "TRUNCATE curprices", "/orvale/price?apikey=demo-key", 200,
       "StationId", false},
      {"key deleted", "DELETE FROM prodmaps WHERE id_app = 1; DELETE FROM apptypes WHERE id = 1",
       "/orvale/station?apikey=demo-key", 401, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const http_reply before = get(c.target);
    ASSERT_EQ(before.status, 200);
    ASSERT_NE(before.body.find(c.needle), std::string::npos) << before.body;
    ASSERT_EQ(get(c.target).body, before.body) << "kept";
    db_->exec(c.sql);
    EXPECT_TRUE(within_a_second(c.target, c.status, c.needle, c.present));
  }
}

TEST_F(CatalogueCache, RepliesComeFromMemoryUntilAChangeIsAnnounced) {
  const std::string target = "/orvale/price?apikey=demo-key&stationId=2";
  ASSERT_NE(get(target).body.find("\"Price\":45"), std::string::npos);
  // A change the triggers do not announce is not seen: the reply was kept.
  db_->exec("ALTER TABLE curprices DISABLE TRIGGER orvale_catalogue_changed;"
            "UPDATE curprices SET price = 47 WHERE id_shop = 2;"
            "ALTER TABLE curprices ENABLE TRIGGER orvale_catalogue_changed");
  EXPECT_NE(get(target).body.find("\"Price\":45"), std::string::npos);
  db_->exec("SELECT pg_notify('orvale_catalogue', 'by hand')");
  EXPECT_TRUE(within_a_second(target, 200, "\"Price\":47", true));
}

TEST_F(CatalogueCache, ALostListeningSessionServesNothingStaleAndComesBack) {
  const std::string target = "/orvale/price?apikey=demo-key&stationId=1";
  ASSERT_NE(get(target).body.find("\"Price\":52.3"), std::string::npos);
  // Cut the session, and change a price before it can be back: an announcement is lost.
  db_->exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
            " WHERE application_name = 'orvale-listen' AND datname = current_database();"
            "UPDATE curprices SET price = 53.1 WHERE id_shop = 1 AND prodcod = 1");
  EXPECT_TRUE(within_a_second(target, 200, "\"Price\":53.1", true));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (sessions_opened() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(sessions_opened(), 2U) << gw_.log_text();
  // Back to serving from memory, and announcements arrive again.
  db_->exec("UPDATE curprices SET price = 54.7 WHERE id_shop = 1 AND prodcod = 1");
  EXPECT_TRUE(within_a_second(target, 200, "\"Price\":54.7", true));
}

TEST_F(CatalogueCache, GzipAndIdentityCarryTheSameBytes) {
  for (const char* target : {"/orvale/price?apikey=demo-key", "/orvale/station?apikey=demo-key"}) {
    SCOPED_TRACE(target);
    const http_reply identity = get(target);
    ASSERT_EQ(identity.status, 200);
    EXPECT_EQ(identity.header("Content-Encoding"), "utf-8");
    EXPECT_EQ(identity.header("Vary"), "Accept-Encoding");
    for (int round = 0; round < 2; ++round) { // computed, then kept
      const http_reply packed =
          orvale_test::http_get_with(gw_.port(), target, {{"Accept-Encoding", "br, gzip;q=0.8"}});
      ASSERT_EQ(packed.status, 200);
      EXPECT_EQ(packed.header("Content-Encoding"), "gzip");
      EXPECT_EQ(packed.header("Vary"), "Accept-Encoding");
      EXPECT_EQ(packed.header("Content-Type"), "application/json");
      std::istringstream in(packed.body);
      Poco::InflatingInputStream inflating(in, Poco::InflatingStreamBuf::STREAM_GZIP);
      std::ostringstream out;
      out << inflating.rdbuf();
      EXPECT_EQ(out.str(), identity.body);
    }
    const http_reply refused =
        orvale_test::http_get_with(gw_.port(), target, {{"Accept-Encoding", "gzip;q=0"}});
    EXPECT_EQ(refused.body, identity.body);
  }
}

} // namespace
