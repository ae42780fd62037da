// Pooled sessions against a real PostgreSQL: a lease of plain reads goes back without a reset and
// keeps its prepared statements; anything else is reset; the statement cache stays bounded.
#include "conn_session.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "conn_jobs.h"
#include "conn_lock.h"
#include "conn_pg.h"
#include "conn_pool.h"
#include "order_lock.h"
#include "support/log_capture.h"
#include "support/test_db.h"

namespace {

using orvale_test::test_db;

class SessionDb : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    db_ = std::make_unique<test_db>(test_db::create("orvale_session"));
    db_->exec("CREATE TABLE written (x int)");
  }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    rec_ = db_->record(1);
    pool_ = std::make_shared<content::connection_pool>(rec_);
  }

  // A lease of the one pooled connection.
  std::unique_ptr<content::PGBackend> lease() const {
    auto be = std::make_unique<content::PGBackend>(rec_, pool_);
    if (be->open() != 0) {
      ADD_FAILURE() << "no lease";
      return nullptr;
    }
    return be;
  }

  // Runs through the backend's statement path; the first value of the first row, or the error.
  static std::string through_cache(content::PGBackend& be, const std::string& sql,
                                   std::initializer_list<std::string> params = {}) {
    content::pg_result_ptr res =
        content::exec_params(content::native_connection(be), sql.c_str(), params);
    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK || PQntuples(res.get()) != 1) {
      return "<" + content::one_line(PQresultErrorMessage(res.get())) + ">";
    }
    return PQgetvalue(res.get(), 0, 0);
  }
  // Runs as a plain query, past the cache.
  static std::string scalar(content::PGBackend& be, const char* sql) {
    content::pg_result_ptr res(PQexec(content::native_connection(be), sql));
    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK || PQntuples(res.get()) != 1) {
      return "<" + content::one_line(PQresultErrorMessage(res.get())) + ">";
    }
    return PQgetvalue(res.get(), 0, 0);
  }
  static std::string server_prepared(content::PGBackend& be) {
    return scalar(be, "SELECT count(*) FROM pg_prepared_statements");
  }
  static std::size_t cached(content::PGBackend& be) {
    const auto* session = content::pooled_session::of(content::native_connection(be));
    return session != nullptr ? session->prepared_count() : 99;
  }

  static std::unique_ptr<test_db> db_;
  content::DBConnection_t rec_;
  std::shared_ptr<content::connection_pool> pool_;
};
std::unique_ptr<test_db> SessionDb::db_;

constexpr const char* add_one = "SELECT $1::int + 1";

TEST_F(SessionDb, PlainReadsKeepTheSessionAndTheirPreparedStatements) {
  std::string pid;
  {
    auto be = lease();
    ASSERT_TRUE(be);
    be->promise_plain_reads();
    pid = scalar(*be, "SELECT pg_backend_pid()");
    EXPECT_EQ(through_cache(*be, add_one, {"41"}), "42");
    EXPECT_EQ(cached(*be), 0u) << "a text used once is not prepared";
    EXPECT_EQ(through_cache(*be, add_one, {"1"}), "2");
    EXPECT_EQ(cached(*be), 1u);
    EXPECT_EQ(server_prepared(*be), "1");
  }
  {
    auto be = lease();
    ASSERT_TRUE(be);
    EXPECT_EQ(scalar(*be, "SELECT pg_backend_pid()"), pid);
    EXPECT_EQ(server_prepared(*be), "1") << "no reset after plain reads";
    be->promise_plain_reads();
    EXPECT_EQ(through_cache(*be, add_one, {"9"}), "10");
    EXPECT_EQ(server_prepared(*be), "1") << "the statement is reused, not prepared again";
  }
  {
    // Without the promise the statement runs unnamed, and the lease is reset on return.
    auto be = lease();
    ASSERT_TRUE(be);
    EXPECT_EQ(through_cache(*be, add_one, {"5"}), "6");
    EXPECT_EQ(server_prepared(*be), "1");
  }
  auto be = lease();
  ASSERT_TRUE(be);
  EXPECT_EQ(scalar(*be, "SELECT pg_backend_pid()"), pid);
  EXPECT_EQ(server_prepared(*be), "0");
  EXPECT_EQ(cached(*be), 0u) << "the record forgets what the reset dropped";
  be->promise_plain_reads();
  EXPECT_EQ(through_cache(*be, add_one, {"5"}), "6");
  EXPECT_EQ(through_cache(*be, add_one, {"6"}), "7") << "prepared again after the reset";
  EXPECT_EQ(server_prepared(*be), "1");
}

TEST_F(SessionDb, AnythingButASelectUnderThePromiseStillResets) {
  struct leftover {
    const char* statement;
    const char* check; // true once the session is reset; the reset itself shows in the count
                       // of prepared statements
  };
  const leftover cases[] = {
      {"SET search_path = nowhere", "SELECT current_setting('search_path') = '\"$user\", public'"},
      {"PREPARE leftover AS SELECT 1",
       "SELECT NOT EXISTS (SELECT FROM pg_prepared_statements WHERE name = 'leftover')"},
      {"CREATE TEMP TABLE scratch (x int)", "SELECT to_regclass('scratch') IS NULL"},
      {"LISTEN somewhere", "SELECT NOT EXISTS (SELECT FROM pg_listening_channels())"},
      {"BEGIN", nullptr},
      {"DECLARE c CURSOR WITH HOLD FOR SELECT 1",
       "SELECT NOT EXISTS (SELECT FROM pg_cursors WHERE name = 'c')"},
      {"SELECT 1/0", nullptr},
      // Rows come back, but not from a SELECT: the promise was broken.
      {"INSERT INTO written VALUES (1) RETURNING x", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.statement);
    {
      auto be = lease();
      ASSERT_TRUE(be);
      be->promise_plain_reads();
      through_cache(*be, add_one, {"1"});
      through_cache(*be, add_one, {"2"});
      ASSERT_EQ(cached(*be), 1u);
      PQclear(PQexec(content::native_connection(*be), c.statement));
    }
    auto be = lease();
    ASSERT_TRUE(be);
    EXPECT_EQ(PQtransactionStatus(content::native_connection(*be)), PQTRANS_IDLE);
    EXPECT_EQ(server_prepared(*be), "0");
    EXPECT_EQ(cached(*be), 0u);
    if (c.check != nullptr) {
      EXPECT_EQ(scalar(*be, c.check), "t");
    }
  }
}

// An event's session holds the order's session lock: given back with the lock confirmed released
// it keeps its statements; with the lock not confirmed (released behind the record's back here)
// it is reset, so that no lease ever inherits an order's lock.
TEST_F(SessionDb, AnOrdersSessionLockDecidesWhetherTheSessionIsReset) {
  for (const bool released_elsewhere : {false, true}) {
    SCOPED_TRACE(released_elsewhere ? "released elsewhere" : "released by the lock");
    std::string pid;
    {
      srv_apps::order_lock lock(lease());
      ASSERT_EQ(lock.acquire(1, "S-1", std::chrono::milliseconds(100)),
                srv_apps::order_lock::outcome::locked);
      pid = scalar(lock.session(), "SELECT pg_backend_pid()");
      through_cache(lock.session(), add_one, {"1"});
      EXPECT_EQ(through_cache(lock.session(), add_one, {"2"}), "3");
      if (released_elsewhere) {
        EXPECT_EQ(scalar(lock.session(), "SELECT pg_advisory_unlock_all()"), "");
      }
    }
    auto be = lease();
    ASSERT_TRUE(be);
    EXPECT_EQ(scalar(*be, "SELECT pg_backend_pid()"), pid);
    EXPECT_EQ(scalar(*be, "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'"
                          " AND pid = pg_backend_pid()"),
              "0");
    EXPECT_EQ(server_prepared(*be), released_elsewhere ? "0" : "1");
  }
}

// A transaction's held-back opening goes out with its first statement and nothing before it: the
// order stays unlocked until then, a transaction that runs nothing sends nothing, and an opening
// the server refuses fails that first statement, which is then not written.
TEST_F(SessionDb, AHeldBackOpeningGoesOutWithTheFirstStatementOnly) {
  db_->exec("DELETE FROM written");
  const std::string locked = "SELECT NOT pg_try_advisory_xact_lock(1, hashtext('H-1'))";
  auto be = lease();
  ASSERT_TRUE(be);
  be->promise_transaction_work();
  PGconn* conn = content::native_connection(*be);
  orvale_test::log_capture logs;
  {
    content::transaction tx(*be, 1, "H-1", content::transaction::held_back{});
    EXPECT_EQ(PQtransactionStatus(conn), PQTRANS_IDLE);
    EXPECT_EQ(db_->value(locked), "f");
    EXPECT_TRUE(tx.commit());
    EXPECT_EQ(PQtransactionStatus(conn), PQTRANS_IDLE);
  }
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "committed" : "rolled back");
    content::transaction tx(*be, 1, "H-1", content::transaction::held_back{});
    const content::pg_result_ptr res =
        content::exec_params(conn, "INSERT INTO written VALUES ($1::int)", {"7"});
    EXPECT_EQ(PQresultStatus(res.get()), PGRES_COMMAND_OK);
    EXPECT_EQ(db_->value(locked), "t");
    if (commit) {
      EXPECT_TRUE(tx.commit());
    } else {
      tx.rollback();
    }
    EXPECT_EQ(db_->value(locked), "f");
    EXPECT_EQ(db_->value("SELECT count(*) FROM written"), "1");
  }
  EXPECT_EQ(logs.count("Database", "Ошибка БД"), 0);
  EXPECT_EQ(scalar(*be, "SELECT set_config('lock_timeout', '50', false)"), "50ms");
  const orvale_test::pg_conn_ptr holder = db_->open_session();
  const orvale_test::pg_result_ptr held(
      PQexec(holder.get(), "SELECT pg_advisory_lock(1, hashtext('H-1'))"));
  ASSERT_EQ(PQresultStatus(held.get()), PGRES_TUPLES_OK);
  content::transaction tx(*be, 1, "H-1", content::transaction::held_back{});
  const content::pg_result_ptr res =
      content::exec_params(conn, "INSERT INTO written VALUES ($1::int)", {"8"});
  EXPECT_NE(PQresultStatus(res.get()), PGRES_COMMAND_OK);
  EXPECT_FALSE(tx.commit());
  EXPECT_EQ(db_->value("SELECT count(*) FROM written WHERE x = 8"), "0");
  EXPECT_EQ(logs.count("Database", "Ошибка БД (блокировка заказа)"), 1);
}

// A new order's read-ahead may take the order's lock in its round trip: kept for the lock's
// first try when taken, nothing kept when another holds it, and a lease given back with the lock
// taken there but never claimed is reset rather than handed on holding it.
TEST_F(SessionDb, AnOrdersLockTakenInTheReadAheadIsNeverLeftBehind) {
  const std::string held_here = "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'"
                                " AND pid = pg_backend_pid()";
  const auto read_ahead = [](content::PGBackend& be) {
    return be.prefetch_order_lookups(1, "A-1", "OrderCreated", "10", "Money", "a92",
                                     /*try_lock=*/true);
  };
  {
    const orvale_test::pg_conn_ptr holder = db_->open_session();
    const orvale_test::pg_result_ptr held(
        PQexec(holder.get(), "SELECT pg_advisory_lock(1, hashtext('A-1'))"));
    ASSERT_EQ(PQresultStatus(held.get()), PGRES_TUPLES_OK);
    auto be = lease();
    ASSERT_TRUE(be);
    EXPECT_FALSE(read_ahead(*be));
    EXPECT_EQ(scalar(*be, held_here.c_str()), "0");
    EXPECT_EQ(content::lock_order(*be, 1, "A-1", std::chrono::milliseconds(50)),
              content::order_lock_attempt::busy);
    // Given up here: a closed session's locks go only once the server has noticed.
    orvale_test::pg_result_ptr(
        PQexec(holder.get(), "SELECT pg_advisory_unlock(1, hashtext('A-1'))"));
  }
  std::string pid;
  {
    auto be = lease();
    ASSERT_TRUE(be);
    be->promise_transaction_work();
    pid = scalar(*be, "SELECT pg_backend_pid()");
    ASSERT_TRUE(read_ahead(*be));
    EXPECT_EQ(scalar(*be, held_here.c_str()), "1");
    EXPECT_EQ(content::lock_order(*be, 1, "A-1", std::chrono::milliseconds(50)),
              content::order_lock_attempt::locked);
    EXPECT_EQ(scalar(*be, held_here.c_str()), "1") << "the first try came from the read-ahead";
    ASSERT_TRUE(content::unlock_order(*be, 1, "A-1"));
    ASSERT_TRUE(read_ahead(*be)); // and given back without claiming it
  }
  auto be = lease();
  ASSERT_TRUE(be);
  EXPECT_EQ(scalar(*be, "SELECT pg_backend_pid()"), pid);
  EXPECT_EQ(scalar(*be, held_here.c_str()), "0");
}

// A step's write that goes with its transaction's COMMIT: what the transaction wrote before it is
// committed with it, written or not (the order in none of the states), and rolled back with a
// write the server refuses; the transaction is over in every case.
TEST_F(SessionDb, AStepsWriteCommitsInItsRoundTrip) {
  db_->exec("DELETE FROM written");
  db_->exec("INSERT INTO orders (id, id_app, statusint) VALUES ('W-1', 1, 1)");
  auto be = lease();
  ASSERT_TRUE(be);
  be->promise_transaction_work();
  PGconn* conn = content::native_connection(*be);
  const struct {
    std::vector<int> from;
    double volume;
    int written;
    const char* row; // statusint/volume after it
    const char* kept; // rows of `written` committed by then
  } cases[] = {
      {{1}, 10, 1, "2/10.0000", "1"},
      {{1}, 20, 0, "2/10.0000", "2"},
      {{2}, 1e12, -1, "2/10.0000", "2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    content::transaction tx(*be, 1, "W-1", content::transaction::held_back{});
    content::pg_result_ptr(content::exec_params(conn, "INSERT INTO written VALUES ($1::int)", {"1"}));
    content::OrderData d;
    d.id = "W-1";
    d.id_app = 1;
    d.statusint = 2;
    d.volume = c.volume;
    std::string failure;
    EXPECT_EQ(be->write_order_step(d, c.from, failure, /*commit=*/true), c.written) << failure;
    tx.ended();
    EXPECT_EQ(PQtransactionStatus(conn), PQTRANS_IDLE);
    EXPECT_EQ(db_->value("SELECT statusint || '/' || volume FROM orders WHERE id = 'W-1'"), c.row);
    EXPECT_EQ(db_->value("SELECT count(*) FROM written"), c.kept);
  }
}

TEST_F(SessionDb, TheStatementCacheIsBoundedAndServesEachTextItsOwnStatement) {
  auto be = lease();
  ASSERT_TRUE(be);
  be->promise_plain_reads();
  const std::size_t texts = content::pooled_session::max_prepared + 8;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < texts; ++i) {
      const std::string sql = "SELECT " + std::to_string(i) + " + $1::int";
      ASSERT_EQ(through_cache(*be, sql, {std::to_string(round)}), std::to_string(i + round));
    }
  }
  EXPECT_EQ(cached(*be), content::pooled_session::max_prepared);
  EXPECT_EQ(server_prepared(*be), std::to_string(content::pooled_session::max_prepared))
      << "evicted statements are deallocated on the server";
  // Texts seen once each are not prepared at all, however many there are.
  for (std::size_t i = 0; i < 3 * content::pooled_session::max_seen_once; ++i) {
    const std::string sql = "SELECT 'once " + std::to_string(i) + "'::text || $1";
    ASSERT_EQ(through_cache(*be, sql, {"!"}), "once " + std::to_string(i) + "!");
  }
  EXPECT_EQ(server_prepared(*be), std::to_string(content::pooled_session::max_prepared));
}

TEST_F(SessionDb, AStatementWhoseTableChangedRunsUnnamedAndTheLeaseIsReset) {
  db_->exec("DROP TABLE IF EXISTS shifting; CREATE TABLE shifting (a int); "
            "INSERT INTO shifting VALUES (1)");
  {
    auto be = lease();
    ASSERT_TRUE(be);
    be->promise_plain_reads();
    EXPECT_EQ(through_cache(*be, "SELECT * FROM shifting"), "1");
    EXPECT_EQ(through_cache(*be, "SELECT * FROM shifting"), "1");
    ASSERT_EQ(cached(*be), 1u);
    // Another session changes the row type under the prepared plan.
    db_->exec("ALTER TABLE shifting ADD COLUMN b int DEFAULT 7");
    content::pg_result_ptr res =
        content::exec_params(content::native_connection(*be), "SELECT * FROM shifting", {});
    ASSERT_EQ(PQresultStatus(res.get()), PGRES_TUPLES_OK) << PQresultErrorMessage(res.get());
    ASSERT_EQ(PQnfields(res.get()), 2);
    EXPECT_STREQ(PQgetvalue(res.get(), 0, 1), "7");
    EXPECT_EQ(cached(*be), 0u);
  }
  auto be = lease();
  ASSERT_TRUE(be);
  EXPECT_EQ(server_prepared(*be), "0");
}

// A pipeline's statements are prepared like single ones; one the server refuses (its table
// changed under the plan) fails its pipeline once, and the record stops trusting its list.
TEST_F(SessionDb, PipelinesPrepareTheirStatementsAndARefusedOneResetsTheLease) {
  db_->exec("DROP TABLE IF EXISTS piped; CREATE TABLE piped (a int); INSERT INTO piped VALUES (2)");
  auto be = lease();
  ASSERT_TRUE(be);
  be->promise_transaction_work();
  PGconn* conn = content::native_connection(*be);
  const std::vector<content::piped_statement> pipe = {
      {"BEGIN", {}}, {"SELECT * FROM piped WHERE a = $1::int", {"2"}}, {"COMMIT", {}}};
  const auto selected = [&] {
    const std::vector<content::pg_result_ptr> res = content::exec_pipeline(conn, pipe);
    if (res.size() != 3 || PQresultStatus(res[1].get()) != PGRES_TUPLES_OK) {
      return std::string("<failed>");
    }
    return std::string(PQgetvalue(res[1].get(), 0, 0));
  };
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(selected(), "2");
  }
  EXPECT_EQ(cached(*be), 1u);
  EXPECT_EQ(server_prepared(*be), "1");
  db_->exec("ALTER TABLE piped ADD COLUMN b int");
  EXPECT_EQ(selected(), "<failed>");
  EXPECT_EQ(cached(*be), 0u);
  const content::pg_result_ptr rolled(PQexec(conn, "ROLLBACK"));
  EXPECT_EQ(selected(), "2") << "sent unnamed from now on";
}

TEST_F(SessionDb, ConnectionsOutsideAPoolNeverPrepare) {
  content::PGBackend be(db_->record(0));
  ASSERT_EQ(be.open(), 0);
  be.promise_plain_reads();
  EXPECT_EQ(content::pooled_session::of(content::native_connection(be)), nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(through_cache(be, add_one, {"1"}), "2");
  }
  EXPECT_EQ(server_prepared(be), "0");
}

} // namespace
