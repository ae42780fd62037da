// The endpoint base against a real database: every path of a handler gives its connection back.
#include "master.h"

#include <thread>

#include <gtest/gtest.h>

#include "conn_pg.h"
#include "orvale.h"
#include "support/http_client.h"
#include "support/test_db.h"
#include "web/log.h"
#include "web/server.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::http_call;
using orvale_test::test_db;

// The handler shape every endpoint follows: open, work, answer, inside the one skeleton.
class db_probe final : public srv_apps::master {
public:
  using master::master;

  void run(const std::string& how) {
    serve([&] {
      std::unique_ptr<content::PGBackend> db = open_backend(
          services.app_db, "Ошибка создания нового объекта БД", "Нет подключения к БД");
      content::pg_result_ptr res(
          PQexec(content::native_connection(*db), "SELECT count(*) FROM apptypes"));
      if (how == "http-error") {
        throw srv_apps::ExceptionHTTP("Ошибка получения данных из БД", 404);
      }
      if (how == "crash") {
        throw std::runtime_error("unexpected");
      }
      if (how == "early") {
        web::context_ptr ctx = release_context();
        ctx->complete_response();
        PQclear(PQexec(content::native_connection(*db), "SELECT 1")); // goes on after the answer
        db.reset();
        return;
      }
      auto obj = web::json::make_object();
      obj->set("count", std::string(PQgetvalue(res.get(), 0, 0)));
      db.reset();
      json_reply(obj);
    });
  }
};

std::string config_for(const test_db& db, int port, int pool_size) {
  return R"({"orvale":{"notifications":{},"velk_database":{},"app_database":{"db_host":"127.0.0.1",)"
         R"("db_port":)" +
         std::to_string(port) + R"(,"db_name":")" + db.name() +
         R"(","db_user":"orvale","db_pass":"orvale-test","connect_timeout":2,"pool_size":)" +
         std::to_string(pool_size) + "}}}";
}

// pool_size 0: every path closes its connection; 4: no path keeps more than the pool holds.
class MasterDb : public ::testing::TestWithParam<int> {};

TEST_P(MasterDb, NoConnectionOutlivesItsRequestOnAnyPath) {
  const int pool_size = GetParam();
  test_db db = test_db::create("orvale_master");
  db.load_demo();
  orvale root(web::settings::from_text(config_for(db, db.port(), pool_size)));
  orvale down(web::settings::from_text(config_for(db, 1, pool_size)));
  auto routes = std::make_shared<web::route_table>();
  routes->add("^/probe/(ok|http-error|crash|early)$", [&root](const web::context_ptr& ctx) {
    const std::string path = ctx->request().path();
    db_probe({root.settings(), root.services()}, ctx, "orvale/probe")
        .run(path.substr(path.rfind('/') + 1));
  });
  routes->add("^/down$", [&down](const web::context_ptr& ctx) {
    db_probe({down.settings(), down.services()}, ctx, "orvale/probe").run("ok");
  });
  web::service_options o;
  o.port = 0;
  o.worker_threads = 8;
  web::http_service service(o, routes);
  service.start();

  struct {
    const char* path;
    int status;
  } paths[] = {{"/orvale/probe/ok", 200},
               {"/orvale/probe/http-error", 404},
               {"/orvale/probe/crash", 500},
               {"/orvale/probe/early", 200},
               {"/orvale/down", 406}};
  {
    content::PGBackend held(root.settings().app_database);
    ASSERT_EQ(held.open(), 0);
    EXPECT_EQ(db.connections("orvale"), 1) << "the count sees the gateway's sessions";
  }
  const int allowed = pool_size;
  auto ok = http_call(service.port(), "GET", "/orvale/probe/ok");
  EXPECT_EQ(ok.body, R"({"count":"1"})");
  std::vector<std::thread> clients;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const auto& p = paths[(i + t) % 5];
        if (http_call(service.port(), "GET", p.path).status != p.status) {
          ++wrong;
        }
      }
    });
  }
  for (auto& c : clients) {
    c.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int open = db.connections("orvale");
  while (open > allowed && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms); // the server ends its backends asynchronously
    open = db.connections("orvale");
  }
  EXPECT_LE(open, allowed) << "connections of the gateway left after 100 requests";
  if (pool_size > 0) {
    EXPECT_EQ(root.services().app_db.pool->open_connections(), open);
  }
  service.stop(2s);
}

INSTANTIATE_TEST_SUITE_P(PoolSizes, MasterDb, ::testing::Values(0, 4));

} // namespace
