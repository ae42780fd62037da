// The real binary: start-up, configuration failures, signals and the listener's basics.
#include <csignal>
#include <fstream>
#include <thread>

#include <Poco/JSON/Object.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/orvale_process.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::http_call;
using orvale_test::orvale_process;

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

orvale_test::orvale_options fast_options() {
  orvale_test::orvale_options o;
  o.pause_scale = 0.01; // the 3 s pauses last 30 ms
  return o;
}

TEST(ServiceProcess, ServesTheRootPathsAndStopsOnSigterm) {
  orvale_process p;
  p.start(orvale_test::make_config(fast_options()));
  ASSERT_TRUE(p.wait_ready(10s)) << p.log_text();
  auto root = http_call(p.port(), "GET", "/orvale");
  EXPECT_EQ(root.status, 502);
  EXPECT_EQ(root.body, "");
  EXPECT_EQ(http_call(p.port(), "GET", "/orvale/nope").status, 404);
  EXPECT_EQ(http_call(p.port(), "GET", "/orvale/price/").status, 401);
  EXPECT_EQ(http_call(p.port(), "GET", "/orvale/ping").status, 400) << "no station given";
  p.send_signal(SIGTERM);
  EXPECT_EQ(p.wait_exit(10s), std::optional<int>(0));
  const std::string log = p.log_text();
  EXPECT_EQ(count_of(log, "orvale, info: Запуск приложения"), 1u) << log;
  EXPECT_EQ(count_of(log, "orvale, notice: Остановка приложения по сигналу [ 15 ]"), 1u) << log;
  EXPECT_EQ(count_of(log, "orvale, notice: Завершение работы приложения"), 1u) << log;
  EXPECT_EQ(count_of(log, "orvale, debug: Поддержка отладочных сообщений включена"), 1u) << log;
  // The listening socket is closed only once nothing polls it any more.
  EXPECT_EQ(count_of(log, "Ошибка приёма соединения"), 0u) << log;
}

TEST(ServiceProcess, SigintStopsWithItsNumber) {
  orvale_process p;
  p.start(orvale_test::make_config(fast_options()));
  ASSERT_TRUE(p.wait_ready(10s)) << p.log_text();
  p.send_signal(SIGINT);
  EXPECT_EQ(p.wait_exit(10s), std::optional<int>(0));
  EXPECT_TRUE(p.wait_log("Остановка приложения по сигналу [ 2 ]", 1s));
}

TEST(ServiceProcess, SighupRebuildsFromTheFileReadAgain) {
  orvale_process p;
  p.start(orvale_test::make_config(fast_options()));
  ASSERT_TRUE(p.wait_ready(10s)) << p.log_text();
  ASSERT_EQ(http_call(p.port(), "GET", "/orvale").status, 502);

  // Same port, another script name: only a rebuilt service answers below "/gw".
  auto cfg = orvale_test::make_config_object(fast_options());
  cfg->getObject("service")->set("port", static_cast<int>(p.port()));
  cfg->getObject("http")->set("script", "/gw");
  std::ofstream(p.dir() / "config.json") << orvale_test::config_text(cfg);
  p.send_signal(SIGHUP);
  ASSERT_TRUE(p.wait_log("Рестарт приложения", 10s));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  int status = 0;
  while (status != 502 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms); // waiting for the new cycle to listen
    status = http_call(p.port(), "GET", "/gw", "", "", 1s).status;
  }
  EXPECT_EQ(status, 502);
  EXPECT_EQ(http_call(p.port(), "GET", "/orvale").status, 404);
  const std::string log = p.log_text();
  EXPECT_EQ(count_of(log, "orvale, notice: Перезапуск приложения"), 1u) << log;
  EXPECT_EQ(count_of(log, "orvale, warning: Рестарт приложения"), 1u) << log;
  EXPECT_EQ(count_of(log, "Запуск приложения"), 2u) << log;
  p.send_signal(SIGTERM);
  EXPECT_EQ(p.wait_exit(10s), std::optional<int>(0));
}

TEST(ServiceProcess, SigtermRightAfterSighupEndsTheProcess) {
  auto options = fast_options();
  options.pause_scale = 0.2; // a 600 ms restart pause for the SIGTERM to land in
  orvale_process p;
  p.start(orvale_test::make_config(options));
  ASSERT_TRUE(p.wait_ready(10s)) << p.log_text();
  p.send_signal(SIGHUP);
  p.send_signal(SIGTERM);
  EXPECT_EQ(p.wait_exit(10s), std::optional<int>(0));
  const std::string log = p.log_text();
  EXPECT_EQ(count_of(log, "Запуск приложения"), 1u) << "no new cycle was started\n" << log;
  EXPECT_EQ(count_of(log, "Завершение работы приложения"), 1u) << log;
}

TEST(ServiceProcess, ClientsThatHangUpDoNotHurt) {
  orvale_process p;
  p.start(orvale_test::make_config(fast_options()));
  ASSERT_TRUE(p.wait_ready(10s)) << p.log_text();
  for (int i = 0; i < 50; ++i) {
    Poco::Net::StreamSocket s(Poco::Net::SocketAddress("127.0.0.1", p.port()));
    const std::string req = "GET /orvale HTTP/1.1\r\nHost: t\r\n\r\nGET /orvale HTTP/1.1\r\n\r\n";
    s.sendBytes(req.data(), static_cast<int>(req.size()));
    s.setLinger(true, 0); // reset instead of an orderly close: the reply hits a dead socket
    s.close();
  }
  EXPECT_TRUE(p.running());
  EXPECT_EQ(http_call(p.port(), "GET", "/orvale").status, 502);
  p.send_signal(SIGTERM);
  EXPECT_EQ(p.wait_exit(10s), std::optional<int>(0));
}

TEST(ServiceProcess, CommandLineOverridesAndLogFile) {
  const std::uint16_t port = orvale_test::free_port();
  auto cfg = orvale_test::make_config_object(fast_options());
  cfg->getObject("service")->set("port", 1); // replaced from the command line
  cfg->getObject("logging")->remove("stderr");
  orvale_process p;
  const std::string log_file = "/tmp/orvale-e2e-" + std::to_string(port) + ".log";
  std::remove(log_file.c_str());
  p.start(orvale_test::config_text(cfg),
          {"--service-port=" + std::to_string(port), "--logging-file-name=" + log_file,
           "--logging-level=notice"});
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (http_call(port, "GET", "/orvale", "", "", 1s).status != 502 &&
         std::chrono::steady_clock::now() < deadline && p.running()) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(http_call(port, "GET", "/orvale").status, 502) << p.log_text();
  p.send_signal(SIGTERM);
  EXPECT_EQ(p.wait_exit(10s), std::optional<int>(0));
  std::ifstream in(log_file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("; orvale, notice: Завершение работы приложения (main.cpp:"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Запуск приложения"), std::string::npos) << "info is below notice";
  EXPECT_EQ(p.log_text().find("Завершение"), std::string::npos)
      << "with a file and no stderr setting, stderr stays quiet";
  std::remove(log_file.c_str());
}

struct bad_start {
  const char* name;
  std::string config;
  std::vector<std::string> args;
  const char* message;
};

TEST(ServiceProcess, UnusableConfigurationsRefuseToStart) {
  auto no_db = orvale_test::make_config_object(fast_options());
  no_db->getObject("orvale")->remove("app_database");
  auto no_notify = orvale_test::make_config_object(fast_options());
  no_notify->getObject("orvale")->set("notifications", "on");
  auto bad_level = orvale_test::make_config_object(fast_options());
  bad_level->getObject("logging")->set("level", "loud");
  const std::vector<bad_start> cases = {
      {"invalid JSON", "{\"service\": {", {}, "Invalid JSON in configuration file"},
      {"missing database object", orvale_test::config_text(no_db), {}, "orvale.app_database"},
      {"notifications not an object", orvale_test::config_text(no_notify), {},
       "orvale.notifications"},
      {"unknown log level", orvale_test::config_text(bad_level), {}, "loud"},
      {"second -c", orvale_test::make_config(fast_options()), {"-c", "/x"}, "-c"},
  };
  for (const auto& c : cases) {
    orvale_process p;
    p.start(c.config, c.args);
    EXPECT_EQ(p.wait_exit(10s), std::optional<int>(1)) << c.name;
    const std::string err = p.log_text();
    EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
    EXPECT_EQ(http_call(p.port() != 0 ? p.port() : 1, "GET", "/orvale", "", "", 1s).status, 0)
        << c.name;
  }
}

TEST(ServiceProcess, BusyPortRefusesToStart) {
  orvale_process q;
  q.start(orvale_test::make_config(fast_options()));
  ASSERT_TRUE(q.wait_ready(10s)) << q.log_text();
  auto cfg = orvale_test::make_config_object(fast_options());
  cfg->getObject("service")->set("port", static_cast<int>(q.port()));
  orvale_process busy;
  busy.start(orvale_test::config_text(cfg));
  EXPECT_EQ(busy.wait_exit(10s), std::optional<int>(1));
  EXPECT_NE(busy.log_text().find("critical: Cannot listen on"), std::string::npos)
      << busy.log_text();
  q.send_signal(SIGTERM);
  EXPECT_EQ(q.wait_exit(10s), std::optional<int>(0));
}

TEST(ServiceProcess, SighupWithABrokenFileStopsWithStatusOne) {
  orvale_process p;
  p.start(orvale_test::make_config(fast_options()));
  ASSERT_TRUE(p.wait_ready(10s)) << p.log_text();
  std::ofstream(p.dir() / "config.json") << "{ broken";
  p.send_signal(SIGHUP);
  EXPECT_EQ(p.wait_exit(10s), std::optional<int>(1));
  const std::string log = p.log_text();
  EXPECT_EQ(count_of(log, "Invalid JSON in configuration file"), 2u)
      << "one critical log line and the plain text on standard error\n"
      << log;
  EXPECT_NE(log.find("orvale, critical: Invalid JSON"), std::string::npos) << log;
}

} // namespace
