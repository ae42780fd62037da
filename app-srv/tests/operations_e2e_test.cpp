// The operators' listener through the real binary: its endpoints, the separation from the
// service's port, the metrics moving with real requests and a failing aggregator (checked by
// promtool where it is installed), the job view of a relay that gave up, and readiness following
// the database.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "stat_e2e_fixture.h"
#include "web/json.h"

namespace {

using namespace stat_e2e;
using orvale_test::http_call;

const std::string message_path = "/api/order/message";

std::unique_ptr<orvale_process> start_with_admin(const std::string& app_database,
                                                 const std::string& upstream_url,
                                                 std::uint16_t admin_port) {
  orvale_test::orvale_options o;
  o.upstream_url = upstream_url;
  o.notify_forward = true;
  o.pause_scale = 0.01;
  o.app_database = app_database;
  auto config = orvale_test::make_config_object(o);
  Poco::JSON::Object::Ptr admin = new Poco::JSON::Object;
  admin->set("ip", "127.0.0.1");
  admin->set("port", static_cast<int>(admin_port));
  config->set("admin", admin);
  auto gw = std::make_unique<orvale_process>();
  gw->start(orvale_test::config_text(config));
  return gw;
}

// The admin listener opens just after the service's port, which wait_ready() watches.
[[nodiscard]] testing::AssertionResult wait_admin(std::uint16_t port) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (http_call(port, "GET", "/health").status != 200) {
    if (std::chrono::steady_clock::now() > deadline) {
      return testing::AssertionFailure() << "no admin listener on " << port;
    }
    std::this_thread::sleep_for(10ms);
  }
  return testing::AssertionSuccess();
}

// The value of one sample line of a scrape ("name{labels} value"); -1 when it is missing.
double sample(const std::string& scrape, const std::string& series) {
  const std::string head = series + " ";
  for (std::size_t at = scrape.find(head); at != std::string::npos;
       at = scrape.find(head, at + 1)) {
    if (at == 0 || scrape[at - 1] == '\n') {
      return std::strtod(scrape.c_str() + at + head.size(), nullptr);
    }
  }
  return -1;
}

// A message relay to an aggregator that answers 503, so every relay gives up on its one try.
class AdminListener : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    agg_ = std::make_unique<fake_peer>();
    agg_->script(message_path, {reply(503)});
    db_ = std::make_unique<test_db>(test_db::create("orvale_admin"));
    db_->exec(network);
    admin_port_ = orvale_test::free_port();
    gw_ = start_with_admin(db_->json_db_object(), agg_->base_url(), admin_port_);
    ASSERT_TRUE(gw_->wait_ready(10s)) << gw_->log_text();
    ASSERT_TRUE(wait_admin(admin_port_)) << gw_->log_text();
  }
  static void TearDownTestSuite() {
    gw_.reset();
    db_.reset();
    agg_.reset();
  }

  static http_reply admin(const std::string& path, const std::string& method = "GET") {
    return http_call(admin_port_, method, path);
  }

  static inline std::unique_ptr<fake_peer> agg_;
  static inline std::unique_ptr<test_db> db_;
  static inline std::unique_ptr<orvale_process> gw_;
  static inline std::uint16_t admin_port_ = 0;
};

TEST_F(AdminListener, AnswersHealthAndReadinessAndKeepsItsRoutesApartFromTheService) {
  const http_reply health = admin("/health");
  EXPECT_EQ(health.status, 200) << health.error;
  EXPECT_EQ(health.body, "ok");
  const http_reply ready = admin("/ready");
  EXPECT_EQ(ready.status, 200);
  EXPECT_EQ(ready.body, R"({"database":"ok"})");
  EXPECT_EQ(admin("/health", "POST").status, 405);

  for (const char* path : {"/orvale/price?apikey=demo-key", "/orvale/ping", "/price"}) {
    EXPECT_EQ(admin(path).status, 404) << path;
  }
  for (const char* path : {"/health", "/ready", "/metrics", "/jobs", "/orvale/health"}) {
    EXPECT_EQ(http_call(gw_->port(), "GET", path).status, 404) << path;
  }
}

TEST_F(AdminListener, MetricsMoveWithRequestsAndTheFailingAggregator) {
  const std::string before = admin("/metrics").body;
  ASSERT_EQ(http_call(gw_->port(), "GET", "/orvale/price?apikey=demo-key").status, 200);
  ASSERT_EQ(http_call(gw_->port(), "GET", "/orvale/price?apikey=nobody").status, 401);
  ASSERT_EQ(http_call(gw_->port(), "GET", "/nowhere").status, 404);
  expect_status_only(post_event(*gw_, "message",
                                {{"apikey", station2}, {"orderid", "m-metrics"}, {"msg", "x"}}),
                     200);
  ASSERT_EQ(wait_requests(*agg_, message_path, "orderid", "m-metrics", 1).size(), 1u);
  std::this_thread::sleep_for(settle); // the relay counts its call after the answer arrived

  const http_reply after = admin("/metrics");
  ASSERT_EQ(after.status, 200);
  EXPECT_EQ(after.header("Content-Type"), "text/plain; version=0.0.4");
  const auto moved = [&](const std::string& series) {
    return sample(after.body, series) - std::max(sample(before, series), 0.0);
  };
  EXPECT_EQ(moved(R"(orvale_http_requests_total{endpoint="price",code="200"})"), 1);
  EXPECT_EQ(moved(R"(orvale_http_requests_total{endpoint="price",code="401"})"), 1);
  EXPECT_EQ(moved(R"(orvale_http_requests_total{endpoint="other",code="404"})"), 1);
  EXPECT_EQ(moved(R"(orvale_http_requests_total{endpoint="message",code="200"})"), 1);
  EXPECT_EQ(moved(R"(orvale_http_request_duration_seconds_count{endpoint="price"})"), 2);
  EXPECT_EQ(moved(R"(orvale_http_request_duration_seconds_bucket{endpoint="price",le="+Inf"})"),
            2);
  EXPECT_EQ(moved(R"(orvale_peer_calls_total{peer="aggregator",outcome="5xx"})"), 1);
  EXPECT_EQ(moved(R"(orvale_peer_calls_total{peer="aggregator",outcome="2xx"})"), 0);
  // The price list leased a pooled connection and gave it back.
  EXPECT_GE(sample(after.body, R"(orvale_db_connections{database="app",state="idle"})"), 1);
  EXPECT_EQ(sample(after.body, R"(orvale_db_connections{database="backoffice",state="busy"})"), 0);
  EXPECT_GT(sample(after.body, "process_resident_memory_bytes"), 0);
  EXPECT_GT(sample(after.body, "process_open_fds"), 0);
  EXPECT_GT(sample(after.body, "process_start_time_seconds"), 1.6e9);
}

TEST_F(AdminListener, PromtoolAcceptsTheScrape) {
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "promtool not found (Debian package prometheus): the scrape is not checked";
  }
  ASSERT_EQ(http_call(gw_->port(), "GET", "/orvale/price?apikey=demo-key").status, 200);
  const http_reply scrape = admin("/metrics");
  ASSERT_EQ(scrape.status, 200);
  const std::string file = gw_->dir().string() + "/scrape.txt";
  std::ofstream(file) << scrape.body;
  const std::string command = "promtool check metrics < '" + file + "' > '" + file + ".out' 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream out(file + ".out");
  const std::string findings((std::istreambuf_iterator<char>(out)), {});
  EXPECT_EQ(status, 0) << findings << "\n" << scrape.body;
}

TEST_F(AdminListener, TheJobViewListsTheRelayThatGaveUp) {
  expect_status_only(post_event(*gw_, "message",
                                {{"apikey", station2}, {"orderid", "m-jobs"}, {"msg", "x"}}),
                     200);
  ASSERT_EQ(wait_requests(*agg_, message_path, "orderid", "m-jobs", 1).size(), 1u);
  std::this_thread::sleep_for(settle);

  const http_reply jobs = admin("/jobs");
  ASSERT_EQ(jobs.status, 200);
  EXPECT_EQ(jobs.header("Content-Type"), "application/json");
  web::json::value doc;
  ASSERT_TRUE(web::json::parse(jobs.body, doc)) << jobs.body;
  EXPECT_GE(web::json::get_int(doc, "counts.notify.failed", 0), 1) << jobs.body;
  EXPECT_EQ(web::json::get_int(doc, "counts.notify.running", -1), 0) << jobs.body;
  const auto failed = web::json::as_array(web::json::find(doc, "failed"));
  ASSERT_TRUE(failed && failed->size() >= 1) << jobs.body;
  const web::json::value latest = failed->get(0); // most recent first
  EXPECT_EQ(web::json::get_string(latest, "order", ""), "m-jobs");
  EXPECT_EQ(web::json::get_string(latest, "kind", ""), "notify");
  EXPECT_EQ(web::json::get_int(latest, "attempts", 0), 1);
  EXPECT_EQ(web::json::get_string(latest, "last_error", ""), "result 503");
  EXPECT_TRUE(std::regex_match(web::json::get_string(latest, "failed_at", ""),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
      << jobs.body;

  const std::string scrape = admin("/metrics").body;
  EXPECT_GE(sample(scrape, R"(orvale_jobs{state="failed"})"), 1);
  EXPECT_EQ(sample(scrape, R"(orvale_jobs_oldest_due_seconds)"), 0);
}

TEST_F(AdminListener, AnAdminPortThatCannotBeBoundStopsTheStart) {
  auto clash = start_with_admin("{}", "", admin_port_); // the suite's gateway holds it
  EXPECT_EQ(clash->wait_exit(10s), 1) << clash->log_text();
  EXPECT_NE(clash->log_text().find(":" + std::to_string(admin_port_)), std::string::npos)
      << clash->log_text();
}

TEST_F(AdminListener, ReadinessSaysStoppingWhileAStopWaitsForARunningRequest) {
  const std::string report_path = "/api/order/report";
  agg_->script(report_path, {reply(200, R"({"orders":[]})", 1500ms)});
  const std::uint16_t admin_port = orvale_test::free_port();
  auto gw = start_with_admin(db_->json_db_object(), agg_->base_url(), admin_port);
  ASSERT_TRUE(gw->wait_ready(10s)) << gw->log_text();
  ASSERT_TRUE(wait_admin(admin_port)) << gw->log_text();
  auto slow = std::async(std::launch::async, [&] {
    return http_call(gw->port(), "GET", "/orvale/report/main?key=gw-key&app=DEMO&sdate=D");
  });
  ASSERT_TRUE(agg_->wait_for(report_path, 1, 5s));

  gw->send_signal(SIGTERM);
  http_reply ready;
  const auto deadline = std::chrono::steady_clock::now() + 1s;
  do {
    ready = http_call(admin_port, "GET", "/ready");
  } while (ready.status == 200 && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(ready.status, 503) << gw->log_text();
  EXPECT_EQ(ready.body, R"({"database":"stopping"})");
  EXPECT_EQ(slow.get().status, 200) << "the running request still gets its answer";
  EXPECT_EQ(gw->wait_exit(10s), 0);
  agg_->script(report_path, {});
}

TEST(AdminReadiness, FollowsTheDatabaseDownAndBackUp) {
  orvale_test::private_cluster cluster;
  test_db db = test_db::create_on(cluster.port(), "orvale_ready");
  const std::uint16_t admin_port = orvale_test::free_port();
  auto gw = start_with_admin(db.json_db_object(), "", admin_port);
  ASSERT_TRUE(gw->wait_ready(10s)) << gw->log_text();
  ASSERT_TRUE(wait_admin(admin_port)) << gw->log_text();
  const auto ready = [&] { return http_call(admin_port, "GET", "/ready"); };
  ASSERT_EQ(ready().status, 200);

  cluster.halt();
  const http_reply down = ready();
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(down.body, R"({"database":"down"})");
  EXPECT_EQ(http_call(admin_port, "GET", "/health").status, 200); // alive all the same

  cluster.resume();
  const http_reply back = ready();
  EXPECT_EQ(back.status, 200) << gw->log_text();
  EXPECT_EQ(back.body, R"({"database":"ok"})");
}

// A service manager's notification socket: a datagram socket the gateway finds in NOTIFY_SOCKET.
class notify_socket {
public:
  notify_socket() {
    char pattern[] = "/tmp/orvale-notify-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
      dir_ = pattern;
    }
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = (dir_ / "notify").string();
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bound_ = !dir_.empty() && fd_ >= 0 &&
             ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    path_ = path;
  }
  ~notify_socket() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  notify_socket(const notify_socket&) = delete;
  notify_socket& operator=(const notify_socket&) = delete;

  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next message, or "" when none came within the limit.
  std::string next(std::chrono::milliseconds limit) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(limit.count())) <= 0) {
      return "";
    }
    char buf[512];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
  }

private:
  std::filesystem::path dir_;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(ServiceManager, HearsReadyReloadingAndStopping) {
  notify_socket manager;
  ASSERT_TRUE(manager.bound()) << manager.path();
  const std::uint16_t admin_port = orvale_test::free_port();
  ::setenv("NOTIFY_SOCKET", manager.path().c_str(), 1); // inherited by the child alone
  auto gw = start_with_admin("{}", "", admin_port);
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(manager.next(10s), "READY=1") << gw->log_text();
  // Both listeners are open once READY=1 is sent.
  EXPECT_EQ(http_call(admin_port, "GET", "/health").status, 200);
  EXPECT_NE(http_call(gw->port(), "GET", "/orvale/").status, 0);

  gw->send_signal(SIGHUP);
  EXPECT_EQ(manager.next(10s), "RELOADING=1");
  EXPECT_EQ(manager.next(10s), "READY=1") << gw->log_text();
  gw->send_signal(SIGTERM);
  EXPECT_EQ(manager.next(10s), "STOPPING=1");
  EXPECT_EQ(gw->wait_exit(10s), 0);
}

} // namespace
