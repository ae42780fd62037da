// Certificate checks of outgoing calls against an HTTPS fake peer with a self-signed
// certificate, and the settings that choose them.
#include <memory>
#include <string>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "order_station.h"
#include "order_upstream.h"
#include "orvale.h"
#include "support/curl_library.h"
#include "support/fake_peer.h"
#include "support/log_capture.h"
#include "support/tls_cert.h"
#include "web/settings.h"

namespace {

using orvale_test::fake_peer;
using orvale_test::log_capture;
using orvale_test::self_signed_cert;
using srv_apps::order_station;
using srv_apps::order_upstream;
using srv_apps::station_link;
using srv_apps::tls_settings;

[[maybe_unused]] testing::Environment* const curl_env = orvale_test::register_curl_library();

class outgoing_tls : public testing::Test {
protected:
  static void SetUpTestSuite() { cert_ = std::make_unique<self_signed_cert>(); }
  static void TearDownTestSuite() { cert_.reset(); }

  void SetUp() override {
    peer_ = std::make_unique<fake_peer>(cert_->files());
    peer_->script("/api/order/accept", {{200}});
    peer_->script("/api/azstank/order", {{200, R"({"ok":true})"}});
  }

  // "https://127.0.0.1:PORT" with the scheme written as given.
  std::string base(const std::string& scheme = "https", const std::string& host = "127.0.0.1") {
    return scheme + "://" + host + ":" + std::to_string(peer_->port());
  }

  long accept(const std::string& base_url, const tls_settings& tls) {
    return order_upstream(base_url, tls).accept_order("k", "1");
  }

  long forward(const tls_settings& tls, std::string& answer) {
    return order_station("gw", tls).fwd_order(station_link(base() + "/api/azstank", "st"), "k",
                                              web::json::value(web::json::make_object()), answer);
  }

  static std::unique_ptr<self_signed_cert> cert_;
  std::unique_ptr<fake_peer> peer_;
};
std::unique_ptr<self_signed_cert> outgoing_tls::cert_;

TEST_F(outgoing_tls, a_verifying_call_rejects_a_certificate_no_trusted_authority_signed) {
  log_capture logs;
  EXPECT_EQ(accept(base(), tls_settings{}), 502);
  std::string answer = "stale";
  EXPECT_EQ(forward(tls_settings{true, ""}, answer), 502);
  EXPECT_EQ(answer, "");
  EXPECT_TRUE(peer_->requests().empty()) << "nothing is sent before the peer is trusted";
  EXPECT_EQ(logs.count("orvale", "Error Send \"Accept\" status curle_easy_perform() err=" +
                                     std::to_string(CURLE_PEER_FAILED_VERIFICATION)),
            1);
}

TEST_F(outgoing_tls, the_ca_file_makes_the_certificate_trusted_for_its_host_only) {
  const tls_settings with_ca{true, cert_->ca_file()};
  EXPECT_EQ(accept(base(), with_ca), 200);
  std::string answer;
  EXPECT_EQ(forward(with_ca, answer), 200);
  EXPECT_EQ(answer, R"({"ok":true})");
  EXPECT_EQ(peer_->requests().size(), 2u);

  // The certificate names 127.0.0.1; the same peer reached as "localhost" fails the host check.
  EXPECT_EQ(accept(base("https", "localhost"), with_ca), 502);
  EXPECT_EQ(peer_->requests().size(), 2u);

  EXPECT_EQ(accept(base(), tls_settings{true, "/nonexistent/ca.pem"}), 502);
}

TEST_F(outgoing_tls, without_verification_any_certificate_and_host_are_accepted) {
  const tls_settings off{false, ""};
  EXPECT_EQ(accept(base(), off), 200);
  EXPECT_EQ(accept(base("HTTPS"), off), 200) << "the scheme in capitals is still TLS";
  EXPECT_EQ(accept(base("https", "localhost"), off), 200);
  std::string answer;
  EXPECT_EQ(forward(off, answer), 200);
  EXPECT_EQ(peer_->requests().size(), 4u);
  // ... and capitals do not switch verification off where it is wanted.
  EXPECT_EQ(accept(base("HTTPS"), tls_settings{}), 502);
}

// ---- Settings ------------------------------------------------------------------------------

// With an operator key and without the catalogue cache (whose session would warn, from a thread of
// its own, that there is no database here), so that the only start-up warnings are those of the
// TLS settings.
std::shared_ptr<const web::settings> root_settings(const std::string& orvale_extra) {
  return web::settings::from_text(R"({"orvale": {"admin_key": "op", "catalogue_cache": false, )" +
                                  orvale_extra +
                                  R"("notifications": {}, "app_database": {},
                                      "velk_database": {}}})");
}

TEST_F(outgoing_tls, the_root_settings_reach_the_calls) {
  {
    orvale root(root_settings(R"("upstream_url": ")" + base() + R"(", "app_key": "gw",)"));
    EXPECT_TRUE(root.settings().upstream_tls_verify);
    EXPECT_FALSE(root.settings().station_tls_verify);
    EXPECT_EQ(root.settings().ca_file, "");
    EXPECT_EQ(root.services().aggregator.accept_order("k", "1"), 502);
    std::string answer;
    EXPECT_EQ(root.services().stations.fwd_order(station_link(base() + "/api/azstank", "st"), "k",
                                                 web::json::value(), answer),
              200)
        << "station controllers keep working with self-signed certificates by default";
    ASSERT_EQ(peer_->requests().size(), 1u);
    EXPECT_EQ(peer_->requests()[0].query, "apikey=k,gw,st");
  }
  orvale root(root_settings(R"("upstream_url": ")" + base() +
                            R"(", "station_tls_verify": true, "ca_file": ")" + cert_->ca_file() +
                            R"(",)"));
  EXPECT_EQ(root.services().aggregator.accept_order("k", "1"), 200);
  orvale strict(root_settings(R"("station_tls_verify": true,)"));
  std::string answer;
  EXPECT_EQ(strict.services().stations.fwd_order(station_link(base() + "/api/azstank", "st"), "k",
                                                 web::json::value(), answer),
            502);
  EXPECT_EQ(strict.services().aggregator.accept_order("k", "1"), 503) << "no upstream URL";
}

TEST(outgoing_settings, unchecked_certificates_are_warned_about_once_at_start) {
  const auto warnings = [](const std::string& extra) {
    log_capture logs;
    orvale root(root_settings(extra));
    int n = 0;
    for (const auto& r : logs.records()) {
      n += r.channel == "orvale" && r.level == web::log_level::warning ? 1 : 0;
    }
    return std::make_pair(n, logs.count("orvale", "orvale.station_tls_verify = false"));
  };
  EXPECT_EQ(warnings(""), std::make_pair(1, 1)) << "stations go unchecked by default";
  EXPECT_EQ(warnings(R"("station_tls_verify": true,)"), std::make_pair(0, 0));
  EXPECT_EQ(warnings(R"("station_tls_verify": true, "upstream_tls_verify": false,
                         "upstream_url": "HTTPS://agg.example",)"),
            std::make_pair(1, 0));
  EXPECT_EQ(warnings(R"("station_tls_verify": true, "upstream_tls_verify": false,
                         "upstream_url": "http://agg.example",)"),
            std::make_pair(0, 0))
      << "a plain-HTTP aggregator has no certificate to check";
}

} // namespace
