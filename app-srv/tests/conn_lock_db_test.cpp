// The order's advisory lock against a real PostgreSQL, on a session that goes on to serve the
// event: the lock's wait limit ends with the wait, and the lock outlives the wait's transaction.
#include "conn_lock.h"

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "conn_pg.h"
#include "support/test_db.h"

namespace {

using namespace std::chrono_literals;
using content::order_lock_attempt;
using orvale_test::test_db;

class LockDb : public ::testing::Test {
protected:
  static void SetUpTestSuite() { db_ = std::make_unique<test_db>(test_db::create("orvale_lock")); }
  static void TearDownTestSuite() { db_.reset(); }

  void SetUp() override {
    ASSERT_EQ(session_.connect(), 0);
    holder_ = db_->open_session();
  }

  static std::string scalar(content::PGBackend& be, const char* sql) {
    content::pg_result_ptr res(PQexec(content::native_connection(be), sql));
    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK || PQntuples(res.get()) != 1) {
      return "<" + content::one_line(PQresultErrorMessage(res.get())) + ">";
    }
    return PQgetvalue(res.get(), 0, 0);
  }
  // Runs on the other session; the first value, or the error.
  std::string hold(const char* sql) {
    orvale_test::pg_result_ptr r(PQexec(holder_.get(), sql));
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1) {
      return std::string("<") + PQerrorMessage(holder_.get()) + ">";
    }
    return PQgetvalue(r.get(), 0, 0);
  }

  static std::unique_ptr<test_db> db_;
  content::PGBackend session_{db_->record()};
  orvale_test::pg_conn_ptr holder_;
};

std::unique_ptr<test_db> LockDb::db_;

TEST_F(LockDb, WaitLimitEndsWithTheWaitWhateverItsOutcome) {
  ASSERT_EQ(hold("SELECT pg_try_advisory_lock(1, hashtext('L-1'))"), "t");
  EXPECT_EQ(content::lock_order(session_, 1, "L-1", 100ms), order_lock_attempt::busy);
  EXPECT_EQ(scalar(session_, "SHOW lock_timeout"), "0");
  EXPECT_EQ(PQtransactionStatus(content::native_connection(session_)), PQTRANS_IDLE);

  // Freed during the wait: taken, and held by the session once the wait's transaction is over.
  auto freed = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(100ms);
    return hold("SELECT pg_advisory_unlock(1, hashtext('L-1'))");
  });
  EXPECT_EQ(content::lock_order(session_, 1, "L-1", 5000ms), order_lock_attempt::locked);
  EXPECT_EQ(freed.get(), "t");
  EXPECT_EQ(scalar(session_, "SHOW lock_timeout"), "0");
  EXPECT_EQ(PQtransactionStatus(content::native_connection(session_)), PQTRANS_IDLE);
  EXPECT_EQ(hold("SELECT pg_try_advisory_lock(1, hashtext('L-1'))"), "f");
  content::unlock_order(session_, 1, "L-1");
  EXPECT_EQ(hold("SELECT pg_try_advisory_lock(1, hashtext('L-1'))"), "t");
}

// The handler's last commit takes the lock with it in one round trip; a transaction that fails
// at its COMMIT commits nothing, whatever becomes of the lock.
TEST_F(LockDb, CommitAndUnlockEndTogether) {
  PGconn* conn = content::native_connection(session_);
  scalar(session_, "CREATE TABLE IF NOT EXISTS kept (x int, CONSTRAINT once UNIQUE (x)"
                   " DEFERRABLE INITIALLY DEFERRED)");
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "failing COMMIT" : "COMMIT");
    ASSERT_EQ(content::lock_order(session_, 1, "L-2", 100ms), order_lock_attempt::locked);
    content::pg_result_ptr(PQexec(conn, "BEGIN"));
    content::pg_result_ptr(
        PQexec(conn, fails ? "INSERT INTO kept VALUES (2), (2)" : "INSERT INTO kept VALUES (1)"));
    bool unlocked = false;
    EXPECT_EQ(content::commit_and_unlock_order(session_, 1, "L-2", unlocked), !fails);
    EXPECT_EQ(PQtransactionStatus(conn), PQTRANS_IDLE);
    EXPECT_EQ(hold(fails ? "SELECT count(*) FROM kept WHERE x = 2"
                         : "SELECT count(*) FROM kept WHERE x = 1"),
              fails ? "0" : "1");
    if (!unlocked) {
      content::unlock_order(session_, 1, "L-2");
    }
    EXPECT_EQ(hold("SELECT pg_try_advisory_lock(1, hashtext('L-2'))"), "t");
    EXPECT_EQ(hold("SELECT pg_advisory_unlock(1, hashtext('L-2'))"), "t");
    EXPECT_TRUE(unlocked || fails);
  }
}

// A booking sent with that commit is in its transaction: it commits with the rest or, when it
// fails, nothing does; it comes back as book_held_job books it, with the order's status.
TEST_F(LockDb, ABookingGoesWithTheCommitOrNothingIs) {
  PGconn* conn = content::native_connection(session_);
  scalar(session_, "CREATE TABLE IF NOT EXISTS written (x int)");
  hold("INSERT INTO orders (id, id_app, statusint) VALUES ('L-3', 1, 7)");
  const struct {
    const char* name;
    const char* args;
    const char* earlier; // an unfinished job of the order booked before, or none
    bool committed;
    const char* stored; // the booking's row: state owner
  } cases[] = {
      {"alone", "{}", nullptr, true, "running me"},
      {"behind another", "{}", "'scheduled'", true, "scheduled -"},
      {"refused", "{", nullptr, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hold("DELETE FROM orvale_jobs");
    hold("DELETE FROM written");
    if (c.earlier != nullptr) {
      hold((std::string("INSERT INTO orvale_jobs (kind, id_app, order_id, state)"
                        " VALUES ('k', 1, 'L-3', ") +
            c.earlier + ")")
               .c_str());
    }
    ASSERT_EQ(content::lock_order(session_, 1, "L-3", 100ms), order_lock_attempt::locked);
    content::pg_result_ptr(PQexec(conn, "BEGIN"));
    content::pg_result_ptr(PQexec(conn, "INSERT INTO written VALUES (1)"));
    content::job_booking b;
    b.kind = "order";
    b.id_app = 1;
    b.order_id = "L-3";
    b.args = c.args;
    b.peer = "http://station:1";
    content::booking_with_commit booking(b, "me", 60s);
    bool unlocked = false;
    EXPECT_EQ(content::commit_and_unlock_order(session_, 1, "L-3", unlocked, &booking),
              c.committed);
    EXPECT_EQ(PQtransactionStatus(conn), PQTRANS_IDLE);
    EXPECT_EQ(hold("SELECT count(*) FROM written"), c.committed ? "1" : "0");
    EXPECT_EQ(hold("SELECT coalesce(string_agg(state || ' ' || coalesce(owner, '-'), ','), '')"
                   " FROM orvale_jobs WHERE kind = 'order'"),
              c.stored);
    EXPECT_EQ(booking.booked().id >= 0, c.committed);
    EXPECT_EQ(booking.booked().running, std::string(c.stored) == "running me");
    EXPECT_EQ(booking.booked().order_status, c.committed ? std::optional<int>(7) : std::nullopt);
    if (!unlocked) {
      content::unlock_order(session_, 1, "L-3");
    }
    EXPECT_EQ(unlocked, c.committed);
  }
}

} // namespace
