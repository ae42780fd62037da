#include "web/settings.h"

#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "orvale.h"

namespace {

std::string write_temp(const std::string& text) {
  char name[] = "/tmp/orvale-settings-XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  close(fd);
  std::ofstream(name) << text;
  return name;
}

const char* minimal = R"({"orvale":{"notifications":{},"app_database":{},"velk_database":{}}})";

TEST(Settings, CommentsAreStrippedOutsideStrings) {
  EXPECT_EQ(web::strip_json_comments("{\"a\":\"//x/*y*/\"} // tail\n/* b */"),
            "{\"a\":\"//x/*y*/\"} \n ");
  EXPECT_EQ(web::strip_json_comments(R"({"a":"q\"//"})"), R"({"a":"q\"//"})");
  auto cfg = web::settings::from_text("{ // line\n \"a\": /* inline */ 5 }");
  EXPECT_EQ(cfg->get("a", 0), 5);
  EXPECT_THROW(web::settings::from_text("{\"a\":1} /* unterminated"), std::runtime_error);
}

TEST(Settings, CommandLineFileAndOverrides) {
  const std::string file = write_temp(R"({"service":{"port":8080,"ip":"127.0.0.1"}})");
  auto cfg = web::settings::from_command_line(
      {"-c", file, "--service-port=8081", "--orvale-app_key=k-1", "--orvale-postpay_allow=false",
       "--orvale-app_database-db_port=6543", "--service-ip=\"0.0.0.0\""});
  EXPECT_EQ(cfg->get("service.port", 0), 8081);
  EXPECT_EQ(cfg->get("service.ip", ""), "0.0.0.0");
  EXPECT_EQ(cfg->get("orvale.app_key", ""), "k-1");
  EXPECT_FALSE(cfg->get("orvale.postpay_allow", true));
  EXPECT_EQ(cfg->get("orvale.app_database.db_port", 0), 6543);
  EXPECT_EQ(cfg->source(), file);
  std::remove(file.c_str());
}

TEST(Settings, BadCommandLinesAndFilesRefuseToStart) {
  const std::string good = write_temp("{}");
  const std::string bad = write_temp("{\"a\":");
  const std::string array = write_temp("[1]");
  EXPECT_THROW(web::settings::from_command_line({}), std::runtime_error);
  EXPECT_THROW(web::settings::from_command_line({"-c"}), std::runtime_error);
  EXPECT_THROW(web::settings::from_command_line({"-c", good, "-c", good}), std::runtime_error);
  EXPECT_THROW(web::settings::from_command_line({"-c", "/nonexistent/orvale.json"}),
               std::runtime_error);
  EXPECT_THROW(web::settings::from_command_line({"-c", bad}), std::runtime_error);
  EXPECT_THROW(web::settings::from_command_line({"-c", array}), std::runtime_error);
  EXPECT_THROW(web::settings::from_command_line({"-c", good, "stray"}), std::runtime_error);
  EXPECT_THROW(web::settings::from_command_line({"-c", good, "--=1"}), std::runtime_error);
  for (const auto& f : {good, bad, array}) {
    std::remove(f.c_str());
  }
}

TEST(RootSettings, DefaultsAndTypedFallbacks) {
  orvale root(web::settings::from_text(R"({"orvale":{"notifications":{"send":"no"},
      "app_database":{"db_pass":"null","db_port":"6543","db_name":"orders","connect_timeout":2},
      "velk_database":{"db_host":"bo.example","db_user":"reader"},
      "sync_conf_interval":"20","postpay_allow":0}})"));
  EXPECT_EQ(root.settings().script, "orvale");
  EXPECT_EQ(root.settings().app_key, "");
  EXPECT_EQ(root.settings().upstream_url, "");
  EXPECT_EQ(root.settings().max_expiration_timeout, std::chrono::seconds(259200));
  EXPECT_EQ(root.settings().sync_conf_interval, std::chrono::minutes(10));
  EXPECT_EQ(root.settings().sync_price_interval, std::chrono::minutes(3));
  EXPECT_TRUE(root.settings().postpay_allow);
  EXPECT_TRUE(root.services().notifications.is_on("recv"));
  EXPECT_TRUE(root.services().notifications.is_on("send"));
  EXPECT_FALSE(root.services().notifications.is_on("forward"));
  EXPECT_EQ(root.settings().app_database.password, "");
  EXPECT_EQ(root.settings().app_database.host, "localhost");
  EXPECT_EQ(root.settings().app_database.port, 5432);
  EXPECT_EQ(root.settings().app_database.dbname, "orders");
  EXPECT_EQ(root.settings().app_database.connect_timeout, 2);
  EXPECT_EQ(root.settings().velk_database.host, "bo.example");
  EXPECT_EQ(root.settings().velk_database.user, "reader");
  EXPECT_EQ(root.settings().velk_database.connect_timeout, 5);
  EXPECT_EQ(root.root("price"), "orvale/price");
  EXPECT_EQ(root.root(""), "orvale/");
}

TEST(RootSettings, NotificationSwitches) {
  orvale root(web::settings::from_text(
      R"({"orvale":{"upstream_url":"http://up","notifications":{"recv":false,"forward":true},
          "app_database":{},"velk_database":{}}})"));
  EXPECT_EQ(root.settings().upstream_url, "http://up");
  EXPECT_FALSE(root.services().notifications.is_on("recv"));
  EXPECT_TRUE(root.services().notifications.is_on("forward"));
  EXPECT_FALSE(root.services().notifications.is_on("other"));
  root.services().notifications.set(true, "other");
  EXPECT_FALSE(root.services().notifications.is_on("other"));
  root.services().notifications.set(true, "recv");
  root.services().notifications.set(false, "forward");
  EXPECT_TRUE(root.services().notifications.is_on("recv"));
  EXPECT_FALSE(root.services().notifications.is_on("forward"));
}

TEST(RootSettings, RequiredObjectsMustBeObjects) {
  EXPECT_NO_THROW(orvale root(web::settings::from_text(minimal)));
  for (const char* text : {
           R"({"orvale":{"app_database":{},"velk_database":{}}})",
           R"({"orvale":{"notifications":{},"velk_database":{}}})",
           R"({"orvale":{"notifications":{},"app_database":{}}})",
           R"({"orvale":{"notifications":[],"app_database":{},"velk_database":{}}})",
           R"({"orvale":{"notifications":{},"app_database":"db","velk_database":{}}})",
       }) {
    EXPECT_THROW(orvale root(web::settings::from_text(text)), std::runtime_error) << text;
  }
}

using srv_apps::read_service_options;

TEST(RootSettings, ListenerOptions) {
  auto cfg = web::settings::from_text(R"({"service":{"port":9000,"worker_threads":4},
      "http":{"script":"/gw","timeout":"7"},"security":{"content_length_limit":16}})");
  web::service_options o = read_service_options(*cfg);
  EXPECT_EQ(o.ip, "127.0.0.1");
  EXPECT_EQ(o.port, 9000);
  EXPECT_EQ(o.worker_threads, 4);
  EXPECT_EQ(o.script, "/gw");
  EXPECT_EQ(o.timeout, 30);
  EXPECT_EQ(o.keep_alive_timeout, 5);
  EXPECT_EQ(o.content_length_limit, 16);
  web::service_options d = read_service_options(*web::settings::from_text("{}"));
  EXPECT_EQ(d.port, 8080);
  EXPECT_EQ(d.worker_threads, 128);
  EXPECT_EQ(d.script, "/orvale");
  EXPECT_EQ(d.content_length_limit, 1024);
}

} // namespace
