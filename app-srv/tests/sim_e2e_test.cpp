// orvale-sim in both roles against the real gateway on the demo data: an order completed, one
// refused by the station and one canceled at the pump; then the README's example requests, sent
// exactly as the README shows them and answered as it says.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"
#include "web/json.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::orvale_process;
using orvale_test::test_db;

std::string sim_binary() {
  const char* path = std::getenv("ORVALE_SIM_BINARY");
  return path != nullptr ? path : "";
}

// One request of the README: "```http", the request line, the body, "```", then "→ `STATUS`".
struct readme_example {
  std::string method;
  std::string target;
  std::string body;
  int status = 0;
};

std::vector<readme_example> readme_examples() {
  std::ifstream in(orvale_test::source_dir() / "README.md");
  std::ostringstream text;
  text << in.rdbuf();
  const std::string readme = text.str();
  static const std::regex block(R"(```http\n([A-Z]+) (\S+)\n([\s\S]*?)```\n→ `(\d{3})`)");
  std::vector<readme_example> out;
  for (std::sregex_iterator it(readme.begin(), readme.end(), block), end; it != end; ++it) {
    std::string body = (*it)[3];
    if (!body.empty() && body.back() == '\n') {
      body.pop_back();
    }
    out.push_back({(*it)[1], (*it)[2], body, std::stoi((*it)[4])});
  }
  return out;
}

// The order an example is about: "Id"/"id" of a JSON body, "orderId"/"orderid" of a form.
std::string order_of(const readme_example& e) {
  web::json::value body;
  if (web::json::parse(e.body, body)) {
    return web::json::get_string(body, "id", web::json::get_string(body, "Id", ""));
  }
  std::smatch m;
  static const std::regex field("(?:^|&)order[iI]d=([^&]*)");
  return std::regex_search(e.body, m, field) ? m[1].str() : "";
}

class SimE2e : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_sim_e2e"));
  }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    ASSERT_FALSE(sim_binary().empty()) << "ORVALE_SIM_BINARY is not set: run through ctest";
    db_->reset();
    db_->load_demo();
    const std::uint16_t station_port = orvale_test::free_port();
    db_->exec("UPDATE links SET port = " + std::to_string(station_port) + " WHERE id_shop = 101");

    const std::uint16_t aggregator_port = orvale_test::free_port();
    aggregator_url_ = "http://127.0.0.1:" + std::to_string(aggregator_port);
    aggregator_.run(sim_binary(),
                    {"aggregator", "--listen", "127.0.0.1:" + std::to_string(aggregator_port)},
                    aggregator_port);
    ASSERT_TRUE(aggregator_.wait_ready(10s)) << aggregator_.log_text();

    orvale_test::orvale_options o;
    o.app_database = db_->json_db_object();
    o.upstream_url = aggregator_url_;
    o.app_key = "demo-gateway-key";
    gw_.start(orvale_test::make_config(o));
    ASSERT_TRUE(gw_.wait_ready(10s)) << gw_.log_text();
    gateway_url_ = "http://127.0.0.1:" + std::to_string(gw_.port()) + "/orvale";

    // Dispensing in 150 ms with a volume every 50 ms: the whole life of an order in well under
    // a second.
    station_.run(sim_binary(),
                 {"station", "--id", "101", "--listen", "127.0.0.1:" + std::to_string(station_port),
                  "--key", "station-101-key", "--gateway", gateway_url_, "--dispense-ms", "150",
                  "--volume-every-ms", "50"},
                 station_port);
    ASSERT_TRUE(station_.wait_ready(10s)) << station_.log_text();
  }

  // As Ctrl-C in "make run" does: each simulator stops at once and cleanly.
  void TearDown() override {
    for (orvale_process* sim : {&station_, &aggregator_}) {
      sim->send_signal(SIGTERM);
      EXPECT_EQ(sim->wait_exit(5s), 0) << sim->stdout_text() << sim->log_text();
    }
  }

  // `orvale-sim order` to its end: its exit status and what it printed.
  std::pair<int, std::string> place_order(const std::string& id, const std::string& contract) {
    orvale_process order;
    std::vector<std::string> args{"order",
                                  "--gateway",
                                  gateway_url_,
                                  "--aggregator",
                                  aggregator_url_,
                                  "--apikey",
                                  "demo-key",
                                  "--station",
                                  "101",
                                  "--column",
                                  "1",
                                  "--fuel",
                                  "a95",
                                  "--litres",
                                  "20",
                                  "--id",
                                  id,
                                  "--timeout",
                                  "20"};
    if (!contract.empty()) {
      args.insert(args.end(), {"--contract", contract});
    }
    order.run(sim_binary(), args);
    const auto status = order.wait_exit(30s);
    return {status.value_or(-1), order.stdout_text() + order.log_text()};
  }

  // True once the aggregator simulator has received `event` for the order.
  bool aggregator_got(const std::string& id, const std::string& event) {
    const auto reply =
        orvale_test::http_call(static_cast<std::uint16_t>(std::stoi(
                                   aggregator_url_.substr(aggregator_url_.rfind(':') + 1))),
                               "GET", "/sim/events?orderId=" + id + "&wait=100");
    return reply.body.find("\"event\":\"" + event + "\"") != std::string::npos;
  }
  [[nodiscard]] testing::AssertionResult wait_aggregator(const std::string& id,
                                                         const std::string& event) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (aggregator_got(id, event)) {
        return testing::AssertionSuccess();
      }
    }
    return testing::AssertionFailure() << id << ": no " << event << " at the aggregator\n"
                                       << station_.stdout_text() << gw_.log_text();
  }

  orvale_test::http_reply send(const readme_example& e) {
    const bool json = !e.body.empty() && e.body[0] == '{';
    return orvale_test::http_call(gw_.port(), e.method, e.target, e.body,
                                  json ? "application/json" : "application/x-www-form-urlencoded");
  }

  static std::unique_ptr<test_db> db_;
  orvale_process aggregator_;
  orvale_process gw_;
  orvale_process station_;
  std::string aggregator_url_;
  std::string gateway_url_;
};

std::unique_ptr<test_db> SimE2e::db_;

TEST_F(SimE2e, OrdersRunToTheirEnd) {
  struct scenario {
    std::string id;
    std::string contract;
    int exit_status;
    std::vector<std::string> lines; // what the aggregator received, as orvale-sim order prints it
    std::string row;                // statusint and reason
  };
  const std::vector<scenario> scenarios = {
      {"sim-done",
       "",
       0,
       {"aggregator <- accept",
        "aggregator <- volume litre=", "aggregator <- completed litre=20.00 extendedOrderId="},
       "3|"},
      {"sim-refused",
       "sim:refuse",
       1,
       {"aggregator <- canceled reason=ТРК занята другим клиентом"},
       "5|ТРК занята другим клиентом"},
      {"sim-pump",
       "sim:pump-cancel",
       1,
       {"aggregator <- accept", "aggregator <- canceled reason=Заказ отменен клиентом на ТРК"},
       "2|Заказ отменен клиентом на ТРК"},
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.id);
    const auto [status, output] = place_order(s.id, s.contract);
    EXPECT_EQ(status, s.exit_status) << output;
    std::size_t at = 0; // the lines in this order
    for (const auto& line : s.lines) {
      at = output.find(line, at);
      ASSERT_NE(at, std::string::npos) << line << " not found in order in\n" << output;
    }
    EXPECT_EQ(db_->value("SELECT statusint || '|' || coalesce(reason, '') FROM orders "
                         "WHERE id = '" +
                         s.id + "'"),
              s.row);
  }
}

TEST_F(SimE2e, ReadmeExamplesGetTheAnswersTheReadmeGives) {
  const std::vector<readme_example> examples = readme_examples();
  ASSERT_GE(examples.size(), 11u) << "README examples not found";
  const readme_example& order_created = examples.front();
  ASSERT_NE(order_created.body.find("\"OrderCreated\""), std::string::npos);
  std::map<std::string, bool> placed;
  for (const auto& e : examples) {
    const std::string id = order_of(e);
    SCOPED_TRACE(e.method + " " + e.target + " " + id);
    const bool creates = e.body.find("\"OrderCreated\"") != std::string::npos;
    if (!creates && !id.empty() && !placed[id]) { // "an order placed like demo-1001"
      readme_example like = order_created;
      like.body = std::regex_replace(like.body, std::regex(order_of(order_created)), id);
      ASSERT_EQ(send(like).status, 200);
      placed[id] = true;
      ASSERT_TRUE(wait_aggregator(id, "fueling")); // the dispenser has started
    }
    EXPECT_EQ(send(e).status, e.status) << gw_.log_text();
    if (creates) {
      placed[id] = true;
      ASSERT_TRUE(wait_aggregator(id, "fueling"));
    }
  }
  EXPECT_EQ(
      db_->value("SELECT statusint || '|' || volume::float8 FROM orders WHERE id = 'demo-1001'"),
      "3|20");
}

} // namespace
