// Price lists pushed by station controllers, through the real binary and PostgreSQL.
#include <thread>

#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::http_call;
using orvale_test::orvale_process;
using orvale_test::test_db;

// Keys with LIKE wildcards in them, so that a pattern match would show.
const char* links = R"SQL(
INSERT INTO azslist (id, title) VALUES (1, 'one'), (2, 'two'), (3, 'three');
INSERT INTO links (id_shop, addr, port, pass) VALUES
  (1, 'h1', 1, 'key-one'), (2, 'h2', 1, 'key_two'), (3, 'h3', 1, '50%off');
INSERT INTO curprices (id_shop, prodcod, price, timeset) VALUES (1, 1, 40, '2000-01-01');
)SQL";

class Callback : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_callback"));
    orvale_test::orvale_options o;
    o.app_database = db_->json_db_object();
    gw_ = std::make_unique<orvale_process>();
    gw_->start(orvale_test::make_config(o));
    ASSERT_TRUE(gw_->wait_ready(10s)) << gw_->log_text();
  }
  static void TearDownTestSuite() {
    gw_.reset();
    db_.reset();
  }
  void SetUp() override {
    db_->exec("TRUNCATE curprices, links, azslist CASCADE");
    db_->exec(links);
    log_mark_ = gw_->log_text().size();
  }

  static orvale_test::http_reply push(const std::string& apikey, const std::string& body,
                                      const std::string& method = "POST") {
    return http_call(gw_->port(), method, "/orvale/callback/prices?apikey=" + apikey, body,
                     "application/json");
  }

  std::string test_log() const { return gw_->log_text().substr(log_mark_); }
  // Waits for the line that closes an accepted push; the prices are written by then.
  [[nodiscard]] testing::AssertionResult wait_logged(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (test_log().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) {
        return testing::AssertionFailure() << "no \"" << text << "\" in:\n" << test_log();
      }
      std::this_thread::sleep_for(10ms);
    }
    return testing::AssertionSuccess();
  }

  static std::string prices() {
    std::string out;
    for (const auto& row : db_->rows("SELECT id_shop, prodcod, price FROM curprices ORDER BY "
                                     "1, 2")) {
      out += row[0] + "/" + row[1] + "/" + row[2] + " ";
    }
    return out;
  }

  static std::unique_ptr<test_db> db_;
  static std::unique_ptr<orvale_process> gw_;
  std::size_t log_mark_ = 0;
};
std::unique_ptr<test_db> Callback::db_;
std::unique_ptr<orvale_process> Callback::gw_;

TEST_F(Callback, PushedPricesAreWrittenPerStationKey) {
  // The authenticated station, another station by its key (twice), an unknown key, and items
  // that are skipped: an empty or numeric "Id", a non-object.
  const auto r = push("gw-key,key-one", R"([
    {"Id": "key-one", "Product": 1, "Price": 52.5},
    {"Id": "key_two", "Product": 2, "Price": 41.25},
    {"Id": "key_two", "Product": 3, "Price": 43},
    {"Id": "nobody", "Product": 1, "Price": 1},
    {"Id": "", "Product": 1, "Price": 2},
    {"Id": 1, "Product": 1, "Price": 3},
    "key-one",
    {"Id": "key-one", "Product": 2, "Price": 50.1}
  ])");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(r.header("Content-Type"), "");
  EXPECT_TRUE(wait_logged("orvale/callback/prices, info: Результат обновления цен обработано 4 "
                          "из 8 записей"));
  EXPECT_EQ(prices(), "1/1/52.5000 1/2/50.1000 2/2/41.2500 2/3/43.0000 ");
}

TEST_F(Callback, ItemsThatCannotBeWrittenAreLoggedAndNotCounted) {
  const auto r = push("gw-key,key-one", R"([{"Id": "key-one", "Price": 45},
    {"Id": "key-one", "Product": "1", "Price": 46}, {"Id": "key-one", "Product": 1}])");
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(wait_logged("обработано 0 из 3 записей"));
  EXPECT_NE(test_log().find("orvale/callback/prices, error: Не удалось обновить цену для "
                            "АЗС=\"1\" Продукт=\"-1\" [ status = "),
            std::string::npos);
  EXPECT_EQ(prices(), "1/1/40.0000 ");

  EXPECT_EQ(push("gw-key,key-one", "[]").status, 200);
  EXPECT_TRUE(wait_logged("обработано 0 из 0 записей"));
}

// Keys are compared exactly: no LIKE pattern, no case folding, no prefix.
TEST_F(Callback, CredentialsAreMatchedExactly) {
  const std::string body = R"([{"Id": "key-one", "Product": 1, "Price": 99}])";
  for (const char* apikey :
       {"", "gw-key", "gw-key,", ",key-one", "wrong,key-one", "GW-KEY,key-one", "gw-key%20,key-one",
        "gw-key,KEY-ONE", "gw-key,key-on", "gw-key,%25", "gw-key,key-one%25", "gw-key,key%5Fone",
        "gw-key,key-two", "gw-key,50%25", "gw-key,_0%25off"}) {
    EXPECT_EQ(push(apikey, body).status, 401) << apikey;
  }
  EXPECT_NE(test_log().find("orvale/callback/prices, error: Ошибка авторизации АЗС"),
            std::string::npos);
  EXPECT_NE(test_log().find("orvale/callback/prices, error: Ошибка авторизации ("),
            std::string::npos);
  EXPECT_EQ(prices(), "1/1/40.0000 ");

  // Item keys are matched as exactly: wildcards reach no station.
  EXPECT_EQ(push("gw-key,key_two", R"([{"Id": "key%", "Product": 1, "Price": 1},
      {"Id": "key_one", "Product": 1, "Price": 1}, {"Id": "50%off", "Product": 5, "Price": 5}])")
                .status,
            200);
  EXPECT_TRUE(wait_logged("обработано 1 из 3 записей"));
  EXPECT_EQ(prices(), "1/1/40.0000 3/5/5.0000 ");
  // Parts after the second are not read.
  EXPECT_EQ(push("gw-key,50%25off,anything", "[]").status, 200);
}

TEST_F(Callback, MalformedBodiesAreRefused) {
  // The body is checked before the key.
  EXPECT_EQ(push("wrong", "[{").status, 500);
  EXPECT_EQ(push("gw-key,key-one", "").status, 500);
  EXPECT_EQ(push("gw-key,key-one", "[] []").status, 500);
  EXPECT_EQ(push("gw-key,key-one", "null").status, 400);
  EXPECT_EQ(push("gw-key,key-one", R"({"Id": "key-one"})").status, 400);
  EXPECT_EQ(push("gw-key,key-one", "5").status, 400);
  EXPECT_EQ(push("gw-key,key-one", "[]", "GET").status, 400);
  const std::string log = test_log();
  EXPECT_NE(log.find("error: Ошибка обработки данных прайслиста"), std::string::npos);
  EXPECT_NE(log.find("error: Неверные данные блока обновления прайслиста"), std::string::npos);
  EXPECT_NE(log.find("error: Неверный формат блока данных обновления прайслиста"),
            std::string::npos);
}

TEST_F(Callback, TheOtherTwoPathsAnswerFixedStatuses) {
  for (const char* method : {"GET", "POST"}) {
    for (const char* path : {"/orvale/callback/config", "/orvale/callback/config/"}) {
      const auto r = http_call(gw_->port(), method, std::string(path) + "?apikey=x", "[]");
      EXPECT_EQ(r.status, 200) << path;
      EXPECT_EQ(r.body, "");
    }
    for (const char* path : {"/orvale/callback", "/orvale/callback/"}) {
      EXPECT_EQ(http_call(gw_->port(), method, path).status, 503) << path;
    }
  }
}

TEST(CallbackDown, WithoutTheDatabaseAValidPushIs406) {
  orvale_test::orvale_options o;
  o.app_database = R"({"db_host":"127.0.0.1","db_port":1,"db_name":"x","connect_timeout":1})";
  orvale_process gw;
  gw.start(orvale_test::make_config(o));
  ASSERT_TRUE(gw.wait_ready(10s)) << gw.log_text();
  EXPECT_EQ(http_call(gw.port(), "POST", "/orvale/callback/prices?apikey=gw-key,k", "[]").status,
            406);
  EXPECT_TRUE(gw.wait_log("orvale/callback/prices, error: Отсутствует соединение с БД", 2s));
}

} // namespace
