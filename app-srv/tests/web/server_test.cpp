// The listener and dispatch in-process: real sockets, test routes and the service's own routes.
#include "web/server.h"

#include <csignal>
#include <future>
#include <thread>

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/String.h>
#include <gtest/gtest.h>

#include "master.h"
#include "orvale.h"
#include "support/http_client.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::http_call;

const char* root_config = R"({"orvale":{"notifications":{},"app_database":{},"velk_database":{}}})";

// An endpoint that shows what the base class gives a handler.
class probe final : public srv_apps::master {
public:
  using master::master;

  void echo() {
    auto obj = web::json::make_object();
    obj->set("method", request().method());
    obj->set("apikey", param("apikey"));
    obj->set("ApiKey", param("ApiKey"));
    obj->set("body", request().raw_body());
    json_reply(obj);
  }

  void early(std::shared_future<void> gate, std::promise<void>& finished) {
    web::context_ptr ctx = release_context();
    ctx->response().body("early");
    ctx->complete_response();
    ctx->complete_response(); // a second completion sends nothing
    gate.wait();
    finished.set_value();
  }
};

struct service_fixture : ::testing::Test {
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

  void start(web::service_options o, std::shared_ptr<const web::route_table> routes) {
    o.ip = "127.0.0.1";
    o.port = 0;
    service = std::make_unique<web::http_service>(o, std::move(routes));
    service->start();
    port = service->port();
  }
  void TearDown() override {
    if (service) {
      service->stop(2s);
    }
  }

  orvale root{web::settings::from_text(root_config)};
  std::unique_ptr<web::http_service> service;
  std::uint16_t port = 0;
};

TEST(ScriptName, StrippedOnlyBeforeASlashOrTheEnd) {
  std::string rest;
  EXPECT_TRUE(web::strip_script_name("/orvale/price", "/orvale", rest));
  EXPECT_EQ(rest, "/price");
  EXPECT_TRUE(web::strip_script_name("/orvale", "/orvale", rest));
  EXPECT_EQ(rest, "");
  EXPECT_FALSE(web::strip_script_name("/orvalex/price", "/orvale", rest));
  EXPECT_FALSE(web::strip_script_name("/price", "/orvale", rest));
  EXPECT_FALSE(web::strip_script_name("/", "/orvale", rest));
}

using ServiceRoutes = service_fixture;

TEST_F(ServiceRoutes, DispatchOfTheServicePaths) {
  start(web::service_options{}, root.routes());
  // Served: some endpoint answered (whatever it thought of the empty request); not served: 404.
  const char* served[] = {
      "/orvale/price",        "/orvale/price/",      "/orvale/pri%63e",    "/orvale/price?x=1",
      "/orvale/station/",     "/orvale/ping",        "/orvale/order",      "/orvale/fueling",
      "/orvale/canceled",     "/orvale/completed",   "/orvale/volume",     "/orvale/message",
      "/orvale/sync_prices",  "/orvale/sync_stations", "/orvale/sync_products",
      "/orvale/callback",     "/orvale/callback/prices/", "/orvale/callback/config",
      "/orvale/cpanel/register", "/orvale/report/main/",
  };
  for (const char* target : served) {
    const int status = http_call(port, "GET", target).status;
    EXPECT_NE(status, 404) << target;
    EXPECT_NE(status, 0) << target;
  }
  const char* not_found[] = {"/orvale/price/x", "/orvale/", "/orvale/nope", "/orvalex/price",
                             "/price",          "/orvale/report", "/orvale/PRICE",
                             "/orvale/prices",  "/orvale/callback/other", "/orvale//price"};
  for (const char* target : not_found) {
    auto reply = http_call(port, "GET", target);
    EXPECT_EQ(reply.status, 404) << target;
    EXPECT_EQ(reply.body, "") << target;
  }
  EXPECT_EQ(http_call(port, "GET", "/orvale/%zz").status, 400);
  for (const char* method : {"GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    auto root_reply = http_call(port, method, "/orvale");
    EXPECT_EQ(root_reply.status, 502) << method;
    EXPECT_EQ(root_reply.body, "") << method;
    EXPECT_EQ(http_call(port, method, "/orvale?x=1").status, 502) << method;
    EXPECT_EQ(http_call(port, method, "/orvale/price").status, 401) << "every method is served";
  }
}

struct ProbeService : service_fixture {
  void SetUp() override {
    auto routes = std::make_shared<web::route_table>();
    routes->add("^/echo(/?)$", [this](const web::context_ptr& ctx) {
      probe({root.settings(), root.services()}, ctx, "orvale/test").echo();
    });
    routes->add("^/early$", [this](const web::context_ptr& ctx) {
      probe({root.settings(), root.services()}, ctx, "orvale/test").early(gate, finished);
    });
    routes->add("^/teapot$", [](const web::context_ptr&) {
      throw web::ExceptionHTTP("refused", 418);
    });
    routes->add("^/boom$", [](const web::context_ptr&) { throw std::runtime_error("boom"); });
    routes->add("^/boom-after-reply$", [](const web::context_ptr& ctx) {
      ctx->response().status(202);
      ctx->complete_response();
      throw std::runtime_error("late");
    });
    routes->add("^/silent-detached$", [](const web::context_ptr& ctx) { ctx->detach(); });
    web::service_options o;
    o.content_length_limit = 1; // KB
    o.timeout = 1;
    start(o, routes);
  }

  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::promise<void> finished;
};

TEST_F(ProbeService, QueryThenNonEmptyPostFieldWithExactNames) {
  const std::string form = "application/x-www-form-urlencoded";
  auto read = [&](const std::string& method, const std::string& target, const std::string& body,
                  const std::string& type) {
    auto reply = http_call(port, method, target, body, type);
    EXPECT_EQ(reply.status, 200) << target;
    web::json::value v;
    EXPECT_TRUE(web::json::parse(reply.body, v)) << reply.body;
    return v;
  };
  auto v = read("GET", "/orvale/echo?apikey=q", "", "");
  EXPECT_EQ(web::json::get_string(v, "apikey", "?"), "q");
  EXPECT_EQ(web::json::get_string(v, "ApiKey", "?"), "") << "names are compared exactly";

  v = read("POST", "/orvale/echo?apikey=q", "apikey=f&ApiKey=F", form);
  EXPECT_EQ(web::json::get_string(v, "apikey", "?"), "f") << "a form value beats the query";
  EXPECT_EQ(web::json::get_string(v, "ApiKey", "?"), "F");

  v = read("POST", "/orvale/echo?apikey=q", "apikey=&other=1", form);
  EXPECT_EQ(web::json::get_string(v, "apikey", "?"), "q") << "an empty form value keeps the query";

  v = read("GET", "/orvale/echo?apikey=q", "apikey=f", form);
  EXPECT_EQ(web::json::get_string(v, "apikey", "?"), "q") << "only POST reads the form";

  v = read("POST", "/orvale/echo", "apikey=f", "application/json");
  EXPECT_EQ(web::json::get_string(v, "apikey", "?"), "") << "a JSON body is no form";
  EXPECT_EQ(web::json::get_string(v, "body", "?"), "apikey=f");

  v = read("post", "/orvale/echo?apikey=q", "apikey=f", form);
  EXPECT_EQ(web::json::get_string(v, "method", "?"), "post");
  EXPECT_EQ(web::json::get_string(v, "apikey", "?"), "q") << "the method is case-sensitive";

  v = read("POST", "/orvale/echo?apikey=a%2Bb+c%26", "ApiKey=%D0%BA%D0%B2+x", form);
  EXPECT_EQ(web::json::get_string(v, "apikey", "?"), "a+b c&");
  EXPECT_EQ(web::json::get_string(v, "ApiKey", "?"), "кв x");
}

TEST_F(ProbeService, JsonReplyHeaders) {
  auto reply = http_call(port, "GET", "/orvale/echo/");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.header("Content-Type"), "application/json");
  EXPECT_EQ(reply.header("Content-Encoding"), "utf-8");
  EXPECT_EQ(reply.header("Content-Language"), "ru");
  EXPECT_EQ(reply.header("Content-Length"), std::to_string(reply.body.size()));
}

TEST_F(ProbeService, BodiesOverTheLimitAnswer413) {
  EXPECT_EQ(http_call(port, "POST", "/orvale/echo", std::string(1024, 'a'), "text/plain").status,
            200);
  EXPECT_EQ(http_call(port, "POST", "/orvale/echo", std::string(1025, 'a'), "text/plain").status,
            413);
  // A chunked body has no length up front; it is cut off while reading.
  Poco::Net::StreamSocket s(Poco::Net::SocketAddress("127.0.0.1", port));
  s.setReceiveTimeout(Poco::Timespan(5, 0));
  std::string head = "POST /orvale/echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n";
  s.sendBytes(head.data(), static_cast<int>(head.size()));
  const std::string chunk = "400\r\n" + std::string(1024, 'b') + "\r\n";
  for (int i = 0; i < 4; ++i) {
    try {
      s.sendBytes(chunk.data(), static_cast<int>(chunk.size()));
    } catch (const Poco::Exception&) {
      break; // the server may close as soon as it has answered
    }
  }
  char buf[64] = {};
  int n = s.receiveBytes(buf, sizeof buf - 1);
  ASSERT_GT(n, 12);
  EXPECT_EQ(std::string(buf, 12), "HTTP/1.1 413");
}

TEST_F(ProbeService, ExceptionsBecomeTheirStatusOnce) {
  EXPECT_EQ(http_call(port, "GET", "/orvale/teapot").status, 418);
  auto boom = http_call(port, "GET", "/orvale/boom");
  EXPECT_EQ(boom.status, 500);
  EXPECT_EQ(boom.body, "");
  EXPECT_EQ(http_call(port, "GET", "/orvale/boom-after-reply").status, 202);
  EXPECT_EQ(http_call(port, "GET", "/orvale/silent-detached").status, 500)
      << "a detached request nobody answers gets 500 after the time-out";
  EXPECT_EQ(http_call(port, "GET", "/orvale/echo").status, 200) << "the service goes on";
}

TEST_F(ProbeService, EarlyAnswerArrivesWhileTheHandlerGoesOn) {
  auto reply = std::async(std::launch::async, [this] {
    return http_call(port, "GET", "/orvale/early", "", "", 5s);
  });
  ASSERT_EQ(reply.wait_for(5s), std::future_status::ready)
      << "the client must have its answer while the handler is still blocked";
  auto r = reply.get();
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "early");
  EXPECT_EQ(Poco::toLower(r.header("Connection")), "close");
  auto done = finished.get_future();
  EXPECT_EQ(done.wait_for(0ms), std::future_status::timeout) << "the handler is still running";
  release.set_value();
  EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
}

TEST_F(ProbeService, ManyKeepAliveClientsAreAllAnsweredPromptly) {
  constexpr int clients = 64;
  std::vector<std::unique_ptr<orvale_test::keep_alive_client>> conns;
  for (int i = 0; i < clients; ++i) {
    conns.push_back(std::make_unique<orvale_test::keep_alive_client>(port, 3s));
  }
  // Every client holds its connection open after a first request...
  for (auto& c : conns) {
    ASSERT_EQ(c->call("GET", "/orvale/echo").status, 200);
  }
  // ...and all of them are then served again at the same time.
  std::vector<std::future<int>> results;
  const auto start = std::chrono::steady_clock::now();
  for (auto& c : conns) {
    results.push_back(std::async(std::launch::async, [&c] {
      return c->call("GET", "/orvale/echo").status;
    }));
  }
  int ok = 0;
  for (auto& r : results) {
    ok += r.get() == 200 ? 1 : 0;
  }
  EXPECT_EQ(ok, clients);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  for (auto& c : conns) {
    EXPECT_EQ(c->connections_made(), 1u) << "the connection was kept alive";
  }
}

} // namespace
