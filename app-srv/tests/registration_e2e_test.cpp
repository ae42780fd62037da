// Controller registration through the real binary and PostgreSQL: issued passwords, the caller's
// key, the station id rule and every error reply.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "support/http_client.h"
#include "support/orvale_process.h"
#include "support/test_db.h"
#include "web/json.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::form_encode;
using orvale_test::http_call;
using orvale_test::http_reply;
using orvale_test::orvale_process;
using orvale_test::test_db;

const char* network = R"SQL(
INSERT INTO azslist (id, title, azs_addr, pos_lat, pos_lon, deleted) VALUES
  (1, 'A1', 'addr1', 0, 0, false), (2, 'A2', 'addr2', 0, 0, false),
  (3, 'A3', 'addr3', 0, 0, false);
INSERT INTO links (id_shop, addr, port, pass) VALUES (1, 'h1', 1, 'old1'), (2, 'h2', 1, 'old2');
)SQL";

constexpr const char* bad_arguments = "Неверно указаны аргументы для регистрации";

std::string reply_text(int err, const std::string& msg) {
  return R"({"err":)" + std::to_string(err) + R"(,"msg":")" + msg + R"("})";
}

bool is_key(const std::string& text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

void expect_reply_headers(const http_reply& r) {
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.header("Content-Encoding"), "utf-8");
  EXPECT_EQ(r.header("Content-Language"), "ru");
}

class Registration : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_registration"));
    db_->exec(network);
    orvale_test::orvale_options o;
    o.app_database = db_->json_db_object();
    o.app_key = "gw-key";
    gw_ = std::make_unique<orvale_process>();
    gw_->start(orvale_test::make_config(o));
    ASSERT_TRUE(gw_->wait_ready(10s)) << gw_->log_text();
  }
  static void TearDownTestSuite() {
    gw_.reset();
    db_.reset();
  }
  void SetUp() override { db_->exec("UPDATE links SET pass = 'old' || id_shop"); }

  static http_reply post(const std::vector<std::pair<std::string, std::string>>& fields,
                         const std::string& path = "/orvale/cpanel/register") {
    return http_call(gw_->port(), "POST", path, form_encode(fields),
                     "application/x-www-form-urlencoded");
  }
  static std::string passes() {
    std::string out;
    for (const auto& row : db_->rows("SELECT id_shop, pass FROM links ORDER BY id_shop")) {
      out += row[0] + "=" + row[1] + ";";
    }
    return out;
  }

  static std::unique_ptr<test_db> db_;
  static std::unique_ptr<orvale_process> gw_;
};
std::unique_ptr<test_db> Registration::db_;
std::unique_ptr<orvale_process> Registration::gw_;

TEST_F(Registration, EachRegistrationIssuesANewPasswordAndOnlyTheLastIsStored) {
  const auto first = post({{"type", "azs"}, {"sysId", "1"}, {"key", "gw-key"}});
  ASSERT_EQ(first.status, 200) << gw_->log_text();
  expect_reply_headers(first);
  const std::string key1 = db_->value("SELECT pass FROM links WHERE id_shop = 1");
  ASSERT_TRUE(is_key(key1)) << key1;
  // Exactly "cfg", "err" and "msg", in the canonical order, the new password as "ctl_key".
  EXPECT_EQ(first.body, R"({"cfg":{"azstank":{"ctl_key":")" + key1 +
                            R"(","upstream_key":"gw-key"}},"err":0,"msg":"Успешная регистрация"})");

  const auto second =
      post({{"type", "azs"}, {"sysId", " 1 "}, {"key", "gw-key"}}, "/orvale/cpanel/register/");
  ASSERT_EQ(second.status, 200) << gw_->log_text();
  const std::string key2 = db_->value("SELECT pass FROM links WHERE id_shop = 1");
  ASSERT_TRUE(is_key(key2)) << key2;
  EXPECT_NE(key1, key2);
  EXPECT_NE(second.body.find(R"("ctl_key":")" + key2 + "\""), std::string::npos) << second.body;
  EXPECT_EQ(passes(), "1=" + key2 + ";2=old2;");
  EXPECT_TRUE(gw_->wait_log("Обновлено записей регистрации АЗС : 1 (1)", 1s));
}

TEST_F(Registration, OnlyHoldersOfTheGatewayKeyMayRegister) {
  const std::string before = passes();
  for (const auto& fields : std::vector<std::vector<std::pair<std::string, std::string>>>{
           {{"type", "azs"}, {"sysId", "1"}},
           {{"type", "azs"}, {"sysId", "1"}, {"key", ""}},
           {{"type", "azs"}, {"sysId", "1"}, {"key", "GW-KEY"}},
           {{"type", "azs"}, {"sysId", "1"}, {"key", "gw-key "}},
           {{"type", "azs"}, {"sysId", "1"}, {"key", "old1"}},
           {{"type", "app"}, {"sysId", "1"}, {"key", "wrong"}},
       }) {
    const auto r = post(fields);
    EXPECT_EQ(r.status, 401) << form_encode(fields);
    expect_reply_headers(r);
    EXPECT_EQ(r.body, reply_text(4, "Ошибка авторизации")) << form_encode(fields);
  }
  // The key is a form field: one in the query string counts for nothing.
  const auto in_query = http_call(gw_->port(), "POST", "/orvale/cpanel/register?key=gw-key",
                                  "type=azs&sysId=1", "application/x-www-form-urlencoded");
  EXPECT_EQ(in_query.status, 401);
  EXPECT_EQ(passes(), before);
  EXPECT_TRUE(gw_->wait_log("orvale/registration, error: Ошибка авторизации", 1s));
}

TEST_F(Registration, ArgumentErrorsAnswer400AndChangeNothing) {
  const std::string before = passes();
  // Without "POST" no field is read at all.
  const auto get =
      http_call(gw_->port(), "GET", "/orvale/cpanel/register?type=azs&sysId=1&key=gw-key");
  EXPECT_EQ(get.status, 400);
  expect_reply_headers(get);
  EXPECT_EQ(get.body, reply_text(1, bad_arguments));
  for (const char* type : {"", "AZS", "Azs", "station", "azs "}) {
    const auto r = post({{"type", type}, {"sysId", "1"}, {"key", "gw-key"}});
    EXPECT_EQ(r.status, 400) << type;
    EXPECT_EQ(r.body, reply_text(1, bad_arguments)) << type;
  }
  const auto no_id = post({{"type", "azs"}, {"key", "gw-key"}});
  EXPECT_EQ(no_id.status, 400);
  EXPECT_EQ(no_id.body, reply_text(2, bad_arguments));
  EXPECT_EQ(passes(), before);
  EXPECT_TRUE(gw_->wait_log("Не указан тип регистрируемого элемента", 1s));
  EXPECT_TRUE(gw_->wait_log("Отсутствует идентификатор АЗС или Приложения", 1s));
}

TEST_F(Registration, StationIdsOtherThanDecimalNeverReachSql) {
  const std::string before = passes();
  for (const char* id : {"1 OR 1=1", "1; UPDATE links SET pass = 'x'", "(1)", "0x1", "1.0", "+1",
                         "1 2", "99999999999", "abc", "-", " "}) {
    // Even without the key: the id is refused before anything else happens.
    for (const char* key : {"gw-key", "wrong"}) {
      const auto r = post({{"type", "azs"}, {"sysId", id}, {"key", key}});
      EXPECT_EQ(r.status, 400) << "'" << id << "'";
      EXPECT_EQ(r.body, reply_text(2, bad_arguments)) << "'" << id << "'";
    }
  }
  EXPECT_EQ(passes(), before);
  const std::string log = gw_->log_text();
  EXPECT_EQ(log.find("Ошибка запроса на регистрацию АЗС"), std::string::npos) << log;
  EXPECT_EQ(log.find("syntax error"), std::string::npos) << log;
}

TEST_F(Registration, ApplicationsAreAcceptedButNotRegistered) {
  const std::string before = passes();
  const auto r = post({{"type", "app"}, {"sysId", "1"}, {"key", "gw-key"}});
  EXPECT_EQ(r.status, 404);
  expect_reply_headers(r);
  EXPECT_EQ(r.body, R"({"err":0})");
  EXPECT_EQ(passes(), before);
}

TEST_F(Registration, AStationWithoutALinkIsError11AndGetsNoLink) {
  for (const char* id : {"3", "999"}) {
    const auto r = post({{"type", "azs"}, {"sysId", id}, {"key", "gw-key"}});
    EXPECT_EQ(r.status, 404) << id;
    expect_reply_headers(r);
    EXPECT_EQ(r.body, reply_text(11, std::string("Ошибка регистрации АЗС ( АЗС : '") + id + "')"));
    EXPECT_TRUE(
        gw_->wait_log(std::string("Обновлено записей регистрации АЗС : ") + id + " (0)", 1s));
  }
  EXPECT_EQ(db_->value("SELECT count(*) FROM links"), "2");
  // The text names the id as parsed, not as sent.
  const auto padded = post({{"type", "azs"}, {"sysId", " 3\t"}, {"key", "gw-key"}});
  EXPECT_EQ(padded.body, reply_text(11, "Ошибка регистрации АЗС ( АЗС : '3')"));
}

TEST_F(Registration, AFailedUpdateIsError11WithTheServerTextOnlyInTheLog) {
  db_->exec("REVOKE UPDATE ON links FROM orvale");
  const auto r = post({{"type", "azs"}, {"sysId", "2"}, {"key", "gw-key"}});
  db_->exec("GRANT UPDATE ON links TO orvale");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, reply_text(11, "Ошибка регистрации АЗС ( АЗС : '2')"));
  EXPECT_TRUE(gw_->wait_log(
      "orvale/registration, debug: Ошибка запроса на регистрацию АЗС : ERROR:  permission denied",
      1s))
      << gw_->log_text();
  EXPECT_TRUE(gw_->wait_log("orvale/registration, error: Ошибка регистрации АЗС ( АЗС : '2')", 1s));
  EXPECT_EQ(occurrences(gw_->log_text(), "Обновлено записей регистрации АЗС : 2 "), 0u);
  EXPECT_EQ(db_->value("SELECT pass FROM links WHERE id_shop = 2"), "old2");
}

TEST(RegistrationDown, NoDatabaseIsError6AfterTheKeyCheck) {
  orvale_test::orvale_options o;
  o.app_database = R"({"db_host":"127.0.0.1","db_port":1,"db_name":"x","connect_timeout":1})";
  o.app_key = "gw-key";
  orvale_process gw;
  gw.start(orvale_test::make_config(o));
  ASSERT_TRUE(gw.wait_ready(10s)) << gw.log_text();
  for (const char* type : {"azs", "app"}) {
    const auto r = http_call(gw.port(), "POST", "/orvale/cpanel/register",
                             std::string("type=") + type + "&sysId=1&key=gw-key",
                             "application/x-www-form-urlencoded");
    EXPECT_EQ(r.status, 406) << type;
    expect_reply_headers(r);
    EXPECT_EQ(r.body, reply_text(6, "Нет подключения к БД")) << type;
  }
  const auto unauthorised =
      http_call(gw.port(), "POST", "/orvale/cpanel/register", "type=azs&sysId=1&key=x",
                "application/x-www-form-urlencoded");
  EXPECT_EQ(unauthorised.status, 401);
  EXPECT_TRUE(gw.wait_log("orvale/registration, error: Нет подключения к БД", 2s));
  // Two connection attempts for each of the two authorised requests, none for the other.
  EXPECT_EQ(occurrences(gw.log_text(), "Database, error: Ошибка соединения с БД"), 4u)
      << gw.log_text();
}

} // namespace
