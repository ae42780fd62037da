// Station calls through links read from the database, as the order endpoint makes them: the URL
// the link gives (port, TLS) is the one called.
#include "order_station.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "conn_pg.h"
#include "support/curl_library.h"
#include "support/fake_peer.h"
#include "support/log_capture.h"
#include "support/test_db.h"
#include "support/tls_cert.h"

namespace {

using orvale_test::fake_peer;
using orvale_test::log_capture;
using orvale_test::test_db;
using srv_apps::order_station;

[[maybe_unused]] testing::Environment* const curl_env = orvale_test::register_curl_library();

class station_links : public testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_order_station"));
  }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    db_->reset();
    content::DBConnection_t rec = db_->record();
    backend_ = std::make_unique<content::PGBackend>(rec);
    ASSERT_EQ(backend_->open(), 0);
  }

  void add_link(int id, const std::string& addr, int port, const std::string& key, bool ssl) {
    db_->exec("INSERT INTO azslist (id, title) VALUES (" + std::to_string(id) + ", 'st')");
    db_->exec("INSERT INTO links (id_shop, addr, port, pass, ssl) VALUES (" + std::to_string(id) +
              ", '" + addr + "', " + std::to_string(port) + ", '" + key + "', " +
              (ssl ? "true" : "false") + ")");
  }

  content::AzsConnInfo link(int id) {
    content::AzsConnInfo l;
    l.getAzsConnValues(*backend_, id);
    return l;
  }

  static std::unique_ptr<test_db> db_;
  std::unique_ptr<content::PGBackend> backend_;
};
std::unique_ptr<test_db> station_links::db_;

TEST_F(station_links, a_stored_link_is_called_at_its_address_with_its_key) {
  fake_peer st;
  st.script("/api/azstank/order", {{200, "{}"}});
  add_link(401, "127.0.0.1", st.port(), "st-401", false);
  const order_station station("gw", srv_apps::tls_settings{false, ""});
  std::string answer;
  EXPECT_EQ(station.fwd_order(link(401), "agg", web::json::value(), answer), 200);
  ASSERT_EQ(st.requests().size(), 1u);
  EXPECT_EQ(st.requests()[0].query, "apikey=agg,gw,st-401");

  log_capture logs;
  EXPECT_EQ(station.fwd_order(link(999), "agg", web::json::value(), answer), 503) << "no such link";
  EXPECT_TRUE(logs.messages().empty());
  EXPECT_EQ(st.requests().size(), 1u);
}

TEST_F(station_links, port_zero_leaves_the_port_out_of_the_url) {
  add_link(402, "127.0.0.1", 0, "st-402", false);
  const order_station station("gw", srv_apps::tls_settings{false, ""});
  log_capture logs;
  std::string answer;
  // Whatever answers on the default port (most likely nothing), the URL is what counts.
  static_cast<void>(station.fwd_pricelist_request(link(402), "agg", answer, true));
  ASSERT_FALSE(logs.messages("orvale").empty());
  EXPECT_EQ(logs.messages("orvale")[0], "Send forward \"Price List\" request endpoint="
                                        "http://127.0.0.1/api/azstank/callback/prices"
                                        "?apikey=gw,st-402");
}

TEST_F(station_links, an_ssl_link_is_called_over_https_without_checks_by_default) {
  const orvale_test::self_signed_cert cert;
  fake_peer st(cert.files());
  st.script("/api/azstank/fueling", {{200, R"({"res":1})"}});
  add_link(403, "127.0.0.1", st.port(), "st-403", true);
  std::string answer;

  const order_station by_default("gw", srv_apps::tls_settings{false, ""});
  EXPECT_EQ(by_default.fwd_fueling(link(403), "agg", web::json::value(), answer), 200);
  EXPECT_EQ(answer, R"({"res":1})");
  ASSERT_EQ(st.requests().size(), 1u);

  const order_station verifying("gw", srv_apps::tls_settings{true, ""});
  EXPECT_EQ(verifying.fwd_fueling(link(403), "agg", web::json::value(), answer), 502);
  const order_station private_ca("gw", srv_apps::tls_settings{true, cert.ca_file()});
  EXPECT_EQ(private_ca.fwd_fueling(link(403), "agg", web::json::value(), answer), 200);
  EXPECT_EQ(st.requests().size(), 2u);
}

} // namespace
