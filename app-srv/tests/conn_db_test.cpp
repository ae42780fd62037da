// The backend and the lookups against a real PostgreSQL.
#include "conn_pg.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>
#include <mutex>
#include <thread>

#include <Poco/Net/ServerSocket.h>
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/test_db.h"
#include "web/log.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::test_db;

using log_lines = orvale_test::log_capture;

class BackendDb : public ::testing::Test {
protected:
  static void SetUpTestSuite() { db_ = std::make_unique<test_db>(test_db::create("orvale_conn")); }
  static void TearDownTestSuite() { db_.reset(); }

  content::DBConnection_t record() const {
    content::DBConnection_t rec = db_->record();
    rec.connect_timeout = 5;
    return rec;
  }

  static std::string scalar(PGconn* conn, const char* sql) {
    content::pg_result_ptr res(PQexec(conn, sql));
    EXPECT_EQ(PQresultStatus(res.get()), PGRES_TUPLES_OK) << sql;
    return PQntuples(res.get()) == 1 ? PQgetvalue(res.get(), 0, 0) : "";
  }

  static std::unique_ptr<test_db> db_;
};
std::unique_ptr<test_db> BackendDb::db_;

TEST_F(BackendDb, SessionsRunInUtcWhateverTheServerZone) {
  content::PGBackend be(record());
  ASSERT_EQ(be.open(), 0);
  ASSERT_NE(content::native_connection(be), nullptr);
  EXPECT_EQ(scalar(content::native_connection(be), "SHOW TimeZone"), "UTC");
  EXPECT_EQ(be.connect(), 0) << "an open backend reports its status";

  content::PGBackend by_text;
  ASSERT_EQ(by_text.connect("host=127.0.0.1 port=" + std::to_string(db_->port()) +
                            " dbname=" + db_->name() + " user=orvale password=orvale-test"),
            0);
  EXPECT_EQ(scalar(content::native_connection(by_text), "SHOW TimeZone"), "UTC");
  EXPECT_EQ(
      scalar(content::native_connection(by_text), "SELECT current_setting('application_name')"),
      "orvale");
  by_text.finish();
  EXPECT_EQ(content::native_connection(by_text), nullptr);
}

// One result per statement; after a failure the rest come back aborted; a pipeline that cannot
// be sent whole gives nothing. Either way the connection leaves pipeline mode and serves on.
TEST_F(BackendDb, PipelinesAnswerEachStatementAndLeaveTheConnectionUsable) {
  struct run {
    const char* name;
    std::vector<content::piped_statement> statements;
    std::vector<ExecStatusType> statuses;
  };
  const std::vector<run> runs = {
      {"all succeed",
       {{"SELECT $1::int + 1", {std::string("1")}}, {"SELECT $1::text IS NULL", {std::nullopt}}},
       {PGRES_TUPLES_OK, PGRES_TUPLES_OK}},
      {"a failure skips the rest",
       {{"BEGIN", {}}, {"SELECT 1 / 0", {}}, {"SELECT 1", {}}, {"COMMIT", {}}},
       {PGRES_COMMAND_OK, PGRES_FATAL_ERROR, PGRES_PIPELINE_ABORTED, PGRES_PIPELINE_ABORTED}},
      {"a value with a NUL is not sent",
       {{"SELECT 1", {}}, {"SELECT $1::text", {std::string("a\0b", 3)}}},
       {}},
  };
  content::PGBackend be(record());
  ASSERT_EQ(be.open(), 0);
  PGconn* conn = content::native_connection(be);
  for (const auto& r : runs) {
    SCOPED_TRACE(r.name);
    const std::vector<content::pg_result_ptr> res = content::exec_pipeline(conn, r.statements);
    ASSERT_EQ(res.size(), r.statuses.size());
    for (std::size_t i = 0; i < res.size(); ++i) {
      EXPECT_EQ(PQresultStatus(res[i].get()), r.statuses[i]) << i;
    }
    EXPECT_EQ(PQpipelineStatus(conn), PQ_PIPELINE_OFF);
    content::pg_result_ptr(PQexec(conn, "ROLLBACK"));
    EXPECT_EQ(scalar(conn, "SELECT 41 + 1"), "42");
  }
}

TEST_F(BackendDb, PasswordsWithBlanksAndQuotesWork) {
  db_->exec("DROP ROLE IF EXISTS \"odd user\"");
  db_->exec("CREATE ROLE \"odd user\" LOGIN PASSWORD 'p a''ss\\w d=x'");
  content::DBConnection_t rec = record();
  rec.user = "odd user";
  rec.password = "p a'ss\\w d=x";
  content::PGBackend be(rec);
  EXPECT_EQ(be.open(), 0);
  EXPECT_EQ(scalar(content::native_connection(be), "SELECT current_user"), "odd user");
}

TEST_F(BackendDb, WrongPasswordLogsTwiceAndLeavesNoHandle) {
  log_lines logs;
  content::DBConnection_t rec = record();
  rec.password = "wrong";
  content::PGBackend be(rec);
  EXPECT_NE(be.open(), 0);
  EXPECT_EQ(content::native_connection(be), nullptr);
  EXPECT_EQ(logs.count("Database", web::log_level::error, "Ошибка соединения с БД : "), 2);
  EXPECT_EQ(logs.count("Database", "wrong"), 0) << "no password in logs";
  EXPECT_NE(be.reconnect(), 0);
}

TEST_F(BackendDb, SilentListenerTimesOutOnBothAttempts) {
  // A listener whose backlog completes the handshake but that never says a word.
  Poco::Net::ServerSocket silent(Poco::Net::SocketAddress("127.0.0.1", 0));
  content::DBConnection_t rec = record();
  rec.port = silent.address().port();
  rec.connect_timeout = 1;
  content::PGBackend be(rec);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(be.open(), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(content::native_connection(be), nullptr);
  EXPECT_GE(took, 1800ms) << "each attempt waits its full second";
  EXPECT_LT(took, 3500ms) << "a 1 s time-out is not rounded up to libpq's 2 s";
}

TEST_F(BackendDb, FieldReader) {
  content::PGBackend be(record());
  ASSERT_EQ(be.open(), 0);
  content::pg_result_ptr res(
      PQexec(content::native_connection(be), "SELECT 'a'::text AS t, NULL::text AS n"));
  EXPECT_EQ(content::PGBackend::_get_fvalue(res.get(), "t", 0), "a");
  EXPECT_EQ(content::PGBackend::_get_fvalue(res.get(), "n", 0), "");
  EXPECT_EQ(content::PGBackend::_get_fvalue(res.get(), "missing", 0), "");
  EXPECT_EQ(content::PGBackend::_get_fvalue(res.get(), "t", -1), "");
  EXPECT_EQ(content::PGBackend::_get_fvalue(res.get(), "t", 1), "");
  EXPECT_EQ(content::PGBackend::_get_fvalue(res.get(), "", 0), "");
  content::pg_result_ptr bad(PQexec(content::native_connection(be), "SELECT nope FROM nowhere"));
  EXPECT_EQ(content::PGBackend::_get_fvalue(bad.get(), "nope", 0), "");
}

class LookupDb : public BackendDb {
protected:
  void SetUp() override {
    db_->reset();
    db_->load_demo();
    db_->exec("INSERT INTO azslist (id, title) VALUES (201, 'x'), (202, 'y'), (203, 'z')");
    db_->exec("INSERT INTO links (id_shop, addr, port, pass, ssl) VALUES "
              "(201, 'st201.example', NULL, 'k''201', false), "
              "(202, 'st202.example', 8443, 'k202', true), "
              "(203, '', 80, 'k203', false)");
    be_ = std::make_unique<content::PGBackend>(record());
    ASSERT_EQ(be_->open(), 0);
  }
  std::unique_ptr<content::PGBackend> be_;
};

TEST_F(LookupDb, Applications) {
  content::AppTypeInfo by_key;
  by_key.authAppInfo(*be_, "demo-key");
  EXPECT_EQ(by_key.id(), 1);
  EXPECT_EQ(by_key.sname(), "DEMO");
  EXPECT_EQ(by_key.key(), "demo-key");

  for (const char* key : {"nope", "%", "demo%", "' OR '1'='1", ""}) {
    content::AppTypeInfo unknown;
    unknown.authAppInfo(*be_, key);
    EXPECT_EQ(unknown.id(), -1) << key;
  }
  content::AppTypeInfo with_nul;
  with_nul.authAppInfo(*be_, std::string("demo-key\0tail", 13));
  EXPECT_EQ(with_nul.id(), -1) << "a key is not cut at a NUL byte";
  content::AppTypeInfo by_name;
  by_name.getAppTypeValues(*be_, std::string("demo"));
  EXPECT_EQ(by_name.id(), 1);
  content::AppTypeInfo by_id;
  by_id.getAppTypeValues(*be_, 1);
  EXPECT_EQ(by_id.key(), "demo-key");
  content::AppTypeInfo no_conn;
  const content::PGBackend offline;
  no_conn.authAppInfo(offline, "demo-key");
  EXPECT_EQ(no_conn.id(), -1);
}

TEST_F(LookupDb, StationLinksMatchTheKeyExactly) {
  content::AzsConnInfo quoted;
  quoted.getAzsConnValues(*be_, std::string("k'201"));
  EXPECT_EQ(quoted.id(), 201);
  EXPECT_EQ(quoted.port(), 0) << "a NULL port stays 0";
  EXPECT_EQ(quoted.endpoint_str(), "http://st201.example/api/azstank");

  for (const char* key : {"%", "k%", "k20_", "_202", "k202 ", "K202", ""}) {
    content::AzsConnInfo probe;
    probe.getAzsConnValues(*be_, std::string(key));
    EXPECT_EQ(probe.id(), -1) << "key '" << key << "' must not authenticate";
  }
  content::AzsConnInfo tls;
  tls.getAzsConnValues(*be_, 202);
  EXPECT_EQ(tls.key(), "k202");
  EXPECT_TRUE(tls.ssl());
  EXPECT_EQ(tls.endpoint_str(), "https://st202.example:8443/api/azstank");

  content::AzsConnInfo no_addr;
  no_addr.getAzsConnValues(*be_, 203);
  EXPECT_EQ(no_addr.id(), 203);
  EXPECT_EQ(no_addr.endpoint_str(), "");

  content::AzsConnInfo missing;
  missing.getAzsConnValues(*be_, 999);
  EXPECT_EQ(missing.id(), -1);
  EXPECT_EQ(missing.endpoint_str(), "");
}

TEST_F(LookupDb, FailedQueriesLeaveTheRecordAndLogAtDebug) {
  log_lines logs;
  db_->exec("ALTER TABLE links RENAME COLUMN pass TO pass_old");
  content::AzsConnInfo link;
  link.getAzsConnValues(*be_, std::string("k202"));
  content::AzsConnInfo by_station;
  by_station.getAzsConnValues(*be_, 202);
  db_->exec("ALTER TABLE links RENAME COLUMN pass_old TO pass");
  EXPECT_EQ(link.id(), -1);
  EXPECT_EQ(by_station.id(), -1);
  EXPECT_EQ(logs.count("Database", web::log_level::debug, "Ошибка запроса данных АЗС : "), 1);
  EXPECT_EQ(logs.count("Database/AZS link", web::log_level::debug, "Ошибка запроса данных АЗС : "),
            1);
}

} // namespace
