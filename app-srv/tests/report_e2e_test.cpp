// The reconciliation report through the real binary, PostgreSQL and a fake aggregator: which
// parameters reach the aggregator and how, and what the operator gets for each kind of answer.
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/ServerSocket.h>
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

constexpr const char* report_path = "/api/order/report";

const char* applications = R"SQL(
INSERT INTO apptypes (id, sname, key) VALUES (1, 'DEMO', 'demo-key'), (2, 'KEYLESS', '');
)SQL";

// application/x-www-form-urlencoded back into its fields, as a form parser would read them.
std::vector<std::pair<std::string, std::string>> decode_form(const std::string& body) {
  const auto decode = [](const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '+') {
        out += ' ';
      } else if (text[i] == '%' && i + 2 < text.size() &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 1])) != 0 &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 2])) != 0) {
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += text[i];
      }
    }
    return out;
  };
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) {
      end = body.size();
    }
    const std::string item = body.substr(start, end - start);
    const std::size_t eq = item.find('=');
    fields.emplace_back(decode(item.substr(0, eq)),
                        eq == std::string::npos ? "" : decode(item.substr(eq + 1)));
    start = end + 1;
  }
  return fields;
}

class Report : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_report"));
    db_->exec(applications);
    aggregator_ = std::make_unique<fake_peer>();
    orvale_test::orvale_options o;
    o.app_database = db_->json_db_object();
    o.app_key = "gw-key";
    o.upstream_url = aggregator_->base_url();
    gw_ = std::make_unique<orvale_process>();
    gw_->start(orvale_test::make_config(o));
    ASSERT_TRUE(gw_->wait_ready(10s)) << gw_->log_text();
  }
  static void TearDownTestSuite() {
    gw_.reset();
    aggregator_.reset();
    db_.reset();
  }
  void SetUp() override {
    aggregator_->script(report_path, {reply(200, R"({"orders":[]})")});
    seen_before_ = aggregator_->requests(report_path).size();
  }

  static http_reply get(const std::string& query) {
    return http_call(gw_->port(), "GET", "/orvale/report/main?" + query);
  }
  static http_reply post(const std::string& query, const std::string& form) {
    return http_call(gw_->port(), "POST", "/orvale/report/main?" + query, form,
                     "application/x-www-form-urlencoded");
  }
  // Bodies the aggregator received since the test began.
  std::vector<std::string> sent() const {
    std::vector<std::string> out;
    const auto all = aggregator_->requests(report_path);
    for (std::size_t i = seen_before_; i < all.size(); ++i) {
      out.push_back(all[i].body);
    }
    return out;
  }
  // The one body the aggregator received for the one request the test made.
  std::string sent_once() const {
    const auto bodies = sent();
    EXPECT_EQ(bodies.size(), 1u);
    return bodies.empty() ? "" : bodies.back();
  }

  static std::unique_ptr<test_db> db_;
  static std::unique_ptr<fake_peer> aggregator_;
  static std::unique_ptr<orvale_process> gw_;
  std::size_t seen_before_ = 0;
};
std::unique_ptr<test_db> Report::db_;
std::unique_ptr<fake_peer> Report::aggregator_;
std::unique_ptr<orvale_process> Report::gw_;

TEST_F(Report, AsksTheAggregatorWithTheApplicationsKeyAndPassesItsJsonOn) {
  aggregator_->script(report_path, {reply(200, R"( {"total": 2.50, "orders": [ {"id": "A"} ]} )")});
  const auto r = get("key=gw-key&app=demo&sdate=2024-01-01&edate=2024-01-31&stationId=5&page=1");
  ASSERT_EQ(r.status, 200) << gw_->log_text();
  EXPECT_EQ(r.header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(r.header("Content-Language"), "ru");
  EXPECT_EQ(r.body, R"({"orders":[{"id":"A"}],"total":2.5})");
  const auto seen = aggregator_->requests(report_path);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().method, "POST");
  const std::string body = "apikey=demo-key&sdate=2024-01-01&edate=2024-01-31&stationId=5&page=1";
  EXPECT_EQ(seen.back().body, body);
  EXPECT_EQ(seen.back().header("Content-encoding"), "UTF-8");
  EXPECT_EQ(seen.back().header("charset"), "utf-8");
  EXPECT_EQ(seen.back().header("Content-language"), "ru");
  EXPECT_TRUE(gw_->wait_log(
      "orvale, debug: Отправка запроса сверки данных endpoint=" + aggregator_->base_url() +
          report_path + " postdata=" + body + " length=" + std::to_string(body.size()),
      1s))
      << gw_->log_text();
  EXPECT_TRUE(gw_->wait_log("orvale, debug: Ответ на запрос сверки данных response=200", 1s));
  EXPECT_TRUE(gw_->wait_log("orvale/report, info: Запрос данных для сверки", 1s));
}

TEST_F(Report, QueryValuesAreReplacedOnlyByNonEmptyFormValues) {
  // All parameters in the query of a POST.
  ASSERT_EQ(post("key=gw-key&app=DEMO&sdate=S1&page=4", "").status, 200) << gw_->log_text();
  // Form values win when not empty; empty ones keep the query's.
  ASSERT_EQ(post("key=wrong&app=DEMO&sdate=S1&edate=E1&stationId=7", form_encode({{"key", "gw-key"},
                                                                                  {"sdate", "S2"},
                                                                                  {"edate", ""},
                                                                                  {"stationId", ""},
                                                                                  {"page", "2"}}))
                .status,
            200);
  // A GET body is no form.
  EXPECT_EQ(http_call(gw_->port(), "GET", "/orvale/report/main?key=wrong&app=DEMO&sdate=S1",
                      "key=gw-key", "application/x-www-form-urlencoded")
                .status,
            401);
  const std::vector<std::string> expected = {
      "apikey=demo-key&sdate=S1&edate=S1&page=4",
      "apikey=demo-key&sdate=S2&edate=E1&stationId=7&page=2",
  };
  EXPECT_EQ(sent(), expected);
}

TEST_F(Report, DefaultsAndThePagePrefix) {
  ASSERT_EQ(get("key=gw-key&app=DEMO&sdate=2024-02-01").status, 200);
  ASSERT_EQ(get("key=gw-key&app=DEMO&sdate=D&page=2abc").status, 200);
  ASSERT_EQ(get("key=gw-key&app=DEMO&sdate=D&page=%20-3").status, 200);
  ASSERT_EQ(get("key=gw-key&app=DEMO&sdate=D&stationId=&page=").status, 200);
  const std::vector<std::string> expected = {
      "apikey=demo-key&sdate=2024-02-01&edate=2024-02-01&page=0",
      "apikey=demo-key&sdate=D&edate=D&page=2",
      "apikey=demo-key&sdate=D&edate=D&page=-3",
      "apikey=demo-key&sdate=D&edate=D&page=0",
  };
  EXPECT_EQ(sent(), expected);
}

TEST_F(Report, RefusedRequestsNeverReachTheAggregator) {
  struct refusal {
    const char* query;
    int status;
    const char* log;
  };
  const std::vector<refusal> refusals = {
      {"app=DEMO&sdate=D", 401, "orvale/report, error: Ошибка авторизации"},
      {"key=&app=DEMO&sdate=D", 401, "orvale/report, error: Ошибка авторизации"},
      {"key=GW-KEY&app=DEMO&sdate=D", 401, "orvale/report, error: Ошибка авторизации"},
      {"key=demo-key&app=DEMO&sdate=D", 401, "orvale/report, error: Ошибка авторизации"},
      {"key=gw-key&sdate=D", 401, "orvale/report, error: Не указано приложение сверки"},
      {"key=gw-key&app=DEMO&sdate=D&page=abc", 400,
       "orvale/report, error: Ошибка в параметрах запроса"},
      {"key=gw-key&app=DEMO&sdate=D&page=99999999999", 400,
       "orvale/report, error: Ошибка в параметрах запроса"},
      {"key=gw-key&app=DEMO&edate=D", 400, "orvale/report, error: Ошибка в параметрах запроса"},
      {"key=gw-key&app=NOPE&sdate=D", 401,
       "orvale/report, error: Приложение для сверки не найдено"},
      {"key=gw-key&app=KEYLESS&sdate=D", 401,
       "orvale/report, error: Приложение для сверки не найдено"},
      {"key=gw-key&app=DEMO%25&sdate=D", 401,
       "orvale/report, error: Приложение для сверки не найдено"},
  };
  for (const auto& f : refusals) {
    const auto r = get(f.query);
    EXPECT_EQ(r.status, f.status) << f.query;
    EXPECT_EQ(r.body, "") << f.query;
    EXPECT_TRUE(gw_->wait_log(f.log, 1s)) << f.query;
  }
  EXPECT_TRUE(sent().empty());
}

TEST_F(Report, AggregatorAnswersOtherThanValidJsonGiveNoBody) {
  struct answer {
    reply from_aggregator;
    int status;
    std::string body;
  };
  const std::vector<answer> answers = {
      {reply(200, ""), 200, "{}"},
      {reply(200, "[1, 2.0]"), 200, "[1,2]"},
      {reply(404, R"({"error":"none"})"), 404, ""},
      {reply(500), 500, ""},
      {reply(200, R"({"orders":[{"id":"A"})"), 502, ""},
      {reply(200, R"({"a":1} {"b":2})"), 502, ""},
      {reply(200, "not json"), 502, ""},
      {reply(200, "  "), 502, ""},
      // A long month is larger than any status reply, and still within the report's limit.
      {reply(200, "\"" + std::string(2 * 1024 * 1024, 'b') + "\""), 200,
       "\"" + std::string(2 * 1024 * 1024, 'b') + "\""},
      // Over the report's limit: refused like a failed transfer, never half kept.
      {reply(200, "\"" + std::string(16 * 1024 * 1024, 'a') + "\""), 502, ""},
  };
  for (const auto& a : answers) {
    aggregator_->script(report_path, {a.from_aggregator});
    const auto r = get("key=gw-key&app=DEMO&sdate=D");
    EXPECT_EQ(r.status, a.status) << a.from_aggregator.body.substr(0, 40);
    EXPECT_EQ(r.body, a.body) << a.from_aggregator.body.substr(0, 40);
    EXPECT_EQ(r.header("Content-Language"), "ru");
    EXPECT_EQ(r.header("Content-Type"), a.body.empty() ? "" : "application/json; charset=utf-8");
  }
  EXPECT_TRUE(gw_->wait_log("orvale, debug: Ответ на запрос сверки данных response=404", 1s));
  EXPECT_TRUE(gw_->wait_log(
      "orvale/report, error: Ответ агрегатора на запрос сверки не является JSON", 1s));
  EXPECT_EQ(sent().size(), answers.size());
}

TEST_F(Report, ValuesCannotInjectFormFields) {
  const std::string station = "5&page=99&apikey=other";
  const std::string sdate = "2024-01-01 00:00:00+03";
  const std::string edate = "100%=\r\nX=1";
  ASSERT_EQ(post("", form_encode({{"key", "gw-key"},
                                  {"app", "DEMO"},
                                  {"sdate", sdate},
                                  {"edate", edate},
                                  {"stationId", station},
                                  {"page", "1"}}))
                .status,
            200)
      << gw_->log_text();
  const std::vector<std::pair<std::string, std::string>> expected = {{"apikey", "demo-key"},
                                                                     {"sdate", sdate},
                                                                     {"edate", edate},
                                                                     {"stationId", station},
                                                                     {"page", "1"}};
  EXPECT_EQ(decode_form(sent_once()), expected);
}

TEST(ReportUnconfigured, NoUpstreamIs503NoAggregatorIs502AndNoDatabaseIs406) {
  test_db db = test_db::create("orvale_report_unconfigured");
  db.exec(applications);
  orvale_test::orvale_options o;
  o.app_database = db.json_db_object();
  o.app_key = "gw-key";
  orvale_process no_upstream;
  no_upstream.start(orvale_test::make_config(o));
  // A port held bound but not listening for the whole test: connections to it are refused, and
  // no listener of this test (a gateway, the fake aggregator) can be given it meanwhile.
  Poco::Net::ServerSocket refusing; // never listen()s
  refusing.bind(Poco::Net::SocketAddress("127.0.0.1", 0), /* reuseAddress= */ false);
  o.upstream_url = "http://127.0.0.1:" + std::to_string(refusing.address().port());
  orvale_process no_aggregator;
  no_aggregator.start(orvale_test::make_config(o));
  o.app_database = R"({"db_host":"127.0.0.1","db_port":1,"db_name":"x","connect_timeout":1})";
  fake_peer aggregator;
  o.upstream_url = aggregator.base_url();
  orvale_process no_database;
  no_database.start(orvale_test::make_config(o));
  ASSERT_TRUE(no_upstream.wait_ready(10s)) << no_upstream.log_text();
  ASSERT_TRUE(no_database.wait_ready(10s)) << no_database.log_text();
  ASSERT_TRUE(no_aggregator.wait_ready(10s)) << no_aggregator.log_text();

  const std::string target = "/orvale/report/main?key=gw-key&app=DEMO&sdate=D";
  for (const char* query : {"", "&stationId=1&page=2&edate=E"}) {
    const auto r = http_call(no_upstream.port(), "GET", target + query);
    EXPECT_EQ(r.status, 503) << query;
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.header("Content-Language"), "ru");
  }
  EXPECT_EQ(no_upstream.log_text().find("Отправка запроса сверки данных"), std::string::npos);

  const auto unreachable = http_call(no_aggregator.port(), "GET", target);
  EXPECT_EQ(unreachable.status, 502);
  EXPECT_EQ(unreachable.body, "");
  EXPECT_TRUE(no_aggregator.wait_log(
      "orvale, debug: Ошибка отправки запроса сверки данных curle_easy_perform() err=7 descr=", 1s))
      << no_aggregator.log_text();

  const auto down = http_call(no_database.port(), "GET", target);
  EXPECT_EQ(down.status, 406);
  EXPECT_EQ(down.body, "");
  EXPECT_TRUE(no_database.wait_log("orvale/report, error: Нет подключения к БД", 2s));
  EXPECT_TRUE(aggregator.requests().empty());
}

} // namespace
