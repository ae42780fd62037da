// The connection pool against a real PostgreSQL: exclusive leases, clean reuse, bounded waits.
#include "conn_pg.h"
#include "conn_pool.h"

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_db.h"
#include "web/log.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::test_db;

class PoolDb : public ::testing::Test {
protected:
  static void SetUpTestSuite() { db_ = std::make_unique<test_db>(test_db::create("orvale_pool")); }
  static void TearDownTestSuite() { db_.reset(); }

  content::DBConnection_t record(int size, int timeout = 2) const {
    content::DBConnection_t rec = db_->record();
    rec.connect_timeout = timeout;
    rec.pool_size = size;
    return rec;
  }

  static std::string scalar(content::PGBackend& be, const char* sql) {
    content::pg_result_ptr res(PQexec(content::native_connection(be), sql));
    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK || PQntuples(res.get()) != 1) {
      return "<" + content::one_line(PQresultErrorMessage(res.get())) + ">";
    }
    return PQgetvalue(res.get(), 0, 0);
  }
  static bool run(content::PGBackend& be, const char* sql) {
    content::pg_result_ptr res(PQexec(content::native_connection(be), sql));
    const auto st = PQresultStatus(res.get());
    return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
  }

  static std::unique_ptr<test_db> db_;
};
std::unique_ptr<test_db> PoolDb::db_;

TEST_F(PoolDb, LeasesNeverOverlap) {
  auto rec = record(4);
  auto pool = std::make_shared<content::connection_pool>(rec);
  std::mutex mu;
  std::set<std::string> held; // backend pids in use right now
  std::atomic<int> overlaps{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        content::PGBackend be(rec, pool);
        if (be.open() != 0) {
          ++failures;
          continue;
        }
        const std::string pid = scalar(be, "SELECT pg_backend_pid()");
        {
          std::lock_guard<std::mutex> lock(mu);
          overlaps += held.insert(pid).second ? 0 : 1;
        }
        std::this_thread::yield();
        {
          std::lock_guard<std::mutex> lock(mu);
          held.erase(pid);
        }
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(pool->open_connections(), 4);
  EXPECT_LE(db_->connections("orvale"), 4);
}

TEST_F(PoolDb, AReturnedConnectionIsCleanForTheNextRequest) {
  auto rec = record(1);
  auto pool = std::make_shared<content::connection_pool>(rec);
  std::string first_pid;
  {
    content::PGBackend be(rec, pool);
    ASSERT_EQ(be.open(), 0);
    first_pid = scalar(be, "SELECT pg_backend_pid()");
    ASSERT_TRUE(run(be, "BEGIN"));
    ASSERT_TRUE(run(be, "CREATE TEMP TABLE scratch (x int)"));
    ASSERT_TRUE(run(be, "PREPARE leftover AS SELECT 1"));
    ASSERT_TRUE(run(be, "SET search_path = nowhere"));
    ASSERT_TRUE(run(be, "SELECT pg_advisory_lock(42)"));
  } // left with an open transaction, a statement, a setting and a lock
  {
    content::PGBackend be(rec, pool);
    ASSERT_EQ(be.open(), 0);
    EXPECT_EQ(scalar(be, "SELECT pg_backend_pid()"), first_pid) << "the connection was reused";
    EXPECT_EQ(PQtransactionStatus(content::native_connection(be)), PQTRANS_IDLE);
    EXPECT_EQ(scalar(be, "SELECT count(*) FROM pg_prepared_statements"), "0");
    EXPECT_EQ(scalar(be, "SHOW search_path"), "\"$user\", public");
    EXPECT_EQ(scalar(be, "SELECT to_regclass('scratch') IS NULL"), "t");
    // Only this session's: other test binaries hold order locks in the same cluster.
    EXPECT_EQ(scalar(be, "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND pid = "
                         "pg_backend_pid()"),
              "0");
    EXPECT_EQ(scalar(be, "SHOW TimeZone"), "UTC") << "the connection option survives the reset";
    // A failed transaction is rolled back as well.
    ASSERT_TRUE(run(be, "BEGIN"));
    EXPECT_FALSE(run(be, "SELECT 1/0"));
  }
  content::PGBackend be(rec, pool);
  ASSERT_EQ(be.open(), 0);
  EXPECT_EQ(scalar(be, "SELECT 1"), "1");
}

TEST_F(PoolDb, AnExhaustedPoolFailsAfterTheTimeoutNotAHang) {
  std::mutex mu;
  std::vector<std::string> errors;
  web::log_tap tap(web::log_level::error, [&](const web::log_record& r) {
    std::lock_guard<std::mutex> lock(mu);
    errors.push_back(r.message);
  });
  auto rec = record(1, 1);
  auto pool = std::make_shared<content::connection_pool>(rec);
  content::PGBackend holder(rec, pool);
  ASSERT_EQ(holder.open(), 0);
  content::PGBackend waiter(rec, pool);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(waiter.open(), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(content::native_connection(waiter), nullptr);
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 3s);
  {
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Ошибка соединения с БД : нет свободного соединения"),
              std::string::npos);
  }
  // A connection given back wakes a waiter at once.
  std::thread giver([&] {
    std::this_thread::sleep_for(100ms); // let the waiter start waiting
    holder.finish();
  });
  content::PGBackend next(rec, pool);
  const auto again = std::chrono::steady_clock::now();
  EXPECT_EQ(next.open(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - again, 900ms);
  giver.join();
}

TEST_F(PoolDb, BrokenAndStaleConnectionsAreReplaced) {
  auto rec = record(2);
  auto pool = std::make_shared<content::connection_pool>(rec);
  std::string pid;
  {
    content::PGBackend be(rec, pool);
    ASSERT_EQ(be.open(), 0);
    pid = scalar(be, "SELECT pg_backend_pid()");
  }
  ASSERT_EQ(pool->idle_connections(), 1);
  // The server ends the idle session (as a restart or an idle time-out would).
  db_->exec("SELECT pg_terminate_backend(" + pid + ")");
  for (int i = 0; i < 100 && db_->connections("orvale") > 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  content::PGBackend be(rec, pool);
  ASSERT_EQ(be.open(), 0) << "a dead idle connection is dropped, not handed out";
  const std::string leased_pid = scalar(be, "SELECT pg_backend_pid()");
  ASSERT_NE(leased_pid.find_first_not_of("0123456789"), 0u) << leased_pid;
  EXPECT_NE(leased_pid, pid);
  EXPECT_EQ(pool->open_connections(), 1);

  // A connection that dies while leased is closed when given back.
  db_->exec("SELECT pg_terminate_backend(" + leased_pid + ")");
  EXPECT_FALSE(run(be, "SELECT 1"));
  be.finish();
  EXPECT_EQ(pool->open_connections(), 0);
  EXPECT_EQ(pool->idle_connections(), 0);
}

TEST_F(PoolDb, OldConnectionsAreRetired) {
  auto rec = record(2);
  rec.pool_max_lifetime = 1;
  auto pool = std::make_shared<content::connection_pool>(rec);
  std::string pid;
  {
    content::PGBackend be(rec, pool);
    ASSERT_EQ(be.open(), 0);
    pid = scalar(be, "SELECT pg_backend_pid()");
  }
  {
    content::PGBackend be(rec, pool);
    ASSERT_EQ(be.open(), 0);
    EXPECT_EQ(scalar(be, "SELECT pg_backend_pid()"), pid);
  }
  std::this_thread::sleep_for(1100ms); // past the one-second lifetime
  content::PGBackend be(rec, pool);
  ASSERT_EQ(be.open(), 0);
  EXPECT_NE(scalar(be, "SELECT pg_backend_pid()"), pid);
}

TEST_F(PoolDb, SizeZeroMeansOneConnectionPerRequest) {
  auto rec = record(0);
  auto pool = std::make_shared<content::connection_pool>(rec);
  {
    content::PGBackend be(rec, pool);
    ASSERT_EQ(be.open(), 0);
    EXPECT_EQ(pool->open_connections(), 0);
  }
  for (int i = 0; i < 100 && db_->connections("orvale") > 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(db_->connections("orvale"), 0);
}

TEST_F(PoolDb, OpensItsFirstConnectionsAheadWithinItsSize) {
  struct case_t {
    int size;
    int ahead;
    bool reachable;
    int open;
  };
  for (const case_t c : {case_t{4, 3, true, 3}, case_t{2, 9, true, 2}, case_t{2, 0, true, 0},
                         case_t{2, 2, false, 0}}) {
    SCOPED_TRACE("size " + std::to_string(c.size) + ", ahead " + std::to_string(c.ahead));
    for (int i = 0; i < 100 && db_->connections("orvale") > 0; ++i) {
      std::this_thread::sleep_for(10ms); // the last case's connections are gone
    }
    auto rec = record(c.size, 1);
    rec.pool_open_at_start = c.ahead;
    if (!c.reachable) {
      rec.port = 1; // refused at once
    }
    auto pool = std::make_shared<content::connection_pool>(rec);
    EXPECT_EQ(content::PGBackend(rec, pool).open_pool_ahead(), c.open);
    EXPECT_EQ(pool->idle_connections(), c.open);
    EXPECT_EQ(db_->connections("orvale"), c.open);
    if (c.open > 0) {
      content::PGBackend be(rec, pool);
      ASSERT_EQ(be.open(), 0);
      EXPECT_EQ(db_->connections("orvale"), c.open) << "a lease takes one opened ahead";
    }
  }
}

} // namespace

namespace {

std::string conninfo_value(PGconn* conn, const std::string& keyword) {
  std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> opts(PQconninfo(conn),
                                                                      PQconninfoFree);
  for (PQconninfoOption* o = opts.get(); o != nullptr && o->keyword != nullptr; ++o) {
    if (keyword == o->keyword) {
      return o->val != nullptr ? o->val : "";
    }
  }
  return "<none>";
}

} // namespace

TEST_F(PoolDb, AFailedLeaseNeverBecomesASessionBesideThePool) {
  auto rec = record(1, 1);
  auto pool = std::make_shared<content::connection_pool>(rec);
  content::PGBackend holder(rec, pool);
  ASSERT_EQ(holder.open(), 0);
  content::PGBackend waiter(rec, pool);
  EXPECT_NE(waiter.open(), 0);
  // The order path's "connected" check calls connect() on a backend whose lease failed.
  EXPECT_NE(waiter.connect(), 0);
  EXPECT_EQ(content::native_connection(waiter), nullptr);
  EXPECT_EQ(db_->connections("orvale"), 1);
}

TEST_F(PoolDb, SessionsCarryTheStatementTimeOutAndKeepalives) {
  for (const int seconds : {0, 7}) {
    auto rec = record(1);
    rec.statement_timeout = seconds;
    auto pool = std::make_shared<content::connection_pool>(rec);
    content::PGBackend be(rec, pool);
    ASSERT_EQ(be.open(), 0);
    EXPECT_EQ(scalar(be, "SHOW statement_timeout"), seconds == 0 ? "0" : "7s");
    be.finish(); // reset for the next lease: the limit stays
    ASSERT_EQ(be.open(), 0);
    EXPECT_EQ(scalar(be, "SHOW statement_timeout"), seconds == 0 ? "0" : "7s");
    EXPECT_EQ(conninfo_value(content::native_connection(be), "keepalives"), "1");
    EXPECT_EQ(conninfo_value(content::native_connection(be), "keepalives_idle"), "30");
    EXPECT_EQ(conninfo_value(content::native_connection(be), "keepalives_interval"), "10");
    EXPECT_EQ(conninfo_value(content::native_connection(be), "keepalives_count"), "3");
  }
}
