// The order's advisory lock statements.
#include "conn_lock.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "conn_pg.h"
#include "conn_reference_sql.h"
#include "web/log.h"

namespace content {
namespace {

constexpr const char* channel = "orvale/order";

// The two-key form: the application id as it is, the order id through hashtext. Two ids that
// share a hash only wait for each other; they never run at the same time as one order. A new
// order's read-ahead may have sent the first try already (PGBackend::prefetch_order_lookups).
constexpr const char* try_lock_sql = reference_sql::try_lock_order;
constexpr const char* lock_sql = "SELECT pg_advisory_lock($1::integer, hashtext($2::text))";
constexpr const char* unlock_sql = "SELECT pg_advisory_unlock($1::integer, hashtext($2::text))";
// The wait is bounded by the server, which ends it with lock_not_available. The bound is the
// transaction's only: the session goes on to serve the event, whose own statements must not
// inherit it. The lock itself stays the session's when that transaction ends.
constexpr const char* wait_limit_sql = "SELECT set_config('lock_timeout', $1::text, true)";
constexpr const char* lock_not_available = "55P03";

bool first_value_is_true(const pg_result_ptr& res) {
  return res && PQresultStatus(res.get()) == PGRES_TUPLES_OK && PQntuples(res.get()) == 1 &&
         std::strcmp(PQgetvalue(res.get(), 0, 0), "t") == 0;
}

bool timed_out(const pg_result_ptr& res) {
  const char* state = res ? PQresultErrorField(res.get(), PG_DIAG_SQLSTATE) : nullptr;
  return state != nullptr && std::strcmp(state, lock_not_available) == 0;
}

std::string failure_text(const pg_result_ptr& res) {
  return res ? one_line(PQresultErrorMessage(res.get())) : "out of memory";
}

order_lock_attempt lock_failed(const std::string& order_id, const pg_result_ptr& res) {
  LOG(channel, error, "[" << order_id << "] Ошибка блокировки заказа в БД : " << failure_text(res));
  return order_lock_attempt::failed;
}

} // namespace

order_lock_attempt lock_order(const PGBackend& session, int id_app, const std::string& order_id,
                              std::chrono::milliseconds wait) {
  PGconn* conn = native_connection(session);
  const std::string app = std::to_string(id_app);
  pg_result_ptr res = exec_params(conn, try_lock_sql, {app, order_id});
  if (first_value_is_true(res)) {
    return order_lock_attempt::locked;
  }
  if (!reached(res, PGRES_TUPLES_OK)) {
    return lock_failed(order_id, res);
  }
  LOG(channel, debug, "[" << order_id << "] Ожидание завершения предыдущей обработки заказа");
  pg_result_ptr begin(PQexec(conn, "BEGIN"));
  if (!reached(begin, PGRES_COMMAND_OK)) {
    return lock_failed(order_id, begin);
  }
  exec_params(conn, wait_limit_sql, {std::to_string(wait.count())});
  res = exec_params(conn, lock_sql, {app, order_id});
  const bool locked = reached(res, PGRES_TUPLES_OK);
  pg_result_ptr end(PQexec(conn, locked ? "COMMIT" : "ROLLBACK"));
  if (timed_out(res)) {
    return order_lock_attempt::busy;
  }
  if (!locked) {
    return lock_failed(order_id, res);
  }
  if (!reached(end, PGRES_COMMAND_OK)) {
    return lock_failed(order_id, end);
  }
  return order_lock_attempt::locked;
}

bool unlock_order(const PGBackend& session, int id_app, const std::string& order_id) {
  const pg_result_ptr res =
      exec_params(native_connection(session), unlock_sql, {std::to_string(id_app), order_id});
  if (!first_value_is_true(res)) {
    LOG(channel, warning,
        "[" << order_id << "] Блокировка заказа не снята : " << failure_text(res));
    return false;
  }
  return true;
}

bool commit_and_unlock_order(const PGBackend& session, int id_app, const std::string& order_id,
                             bool& unlocked, booking_with_commit* booking) {
  unlocked = false;
  PGconn* conn = native_connection(session);
  if (conn == nullptr) {
    return false;
  }
  std::vector<piped_statement> statements;
  if (booking != nullptr) {
    statements = booking->statements();
  }
  const std::size_t booked_count = statements.size();
  statements.push_back({"COMMIT", {}});
  statements.push_back({unlock_sql, {std::to_string(id_app), order_id}});
  std::vector<pg_result_ptr> res = exec_pipeline(conn, statements);
  if (booking != nullptr) {
    // A result the broken-off pipeline did not bring is read as failed, with the connection's
    // message.
    const auto result = [&res](std::size_t i) { return i < res.size() ? res[i].get() : nullptr; };
    booking->read(session, result(0), result(1));
    const std::size_t taken = std::min(booked_count, res.size());
    res.erase(res.begin(), res.begin() + static_cast<std::ptrdiff_t>(taken));
  }
  if (res.size() != 2 || !reached(res[0], PGRES_COMMAND_OK)) {
    LOG(channel, error,
        "[" << order_id << "] Ошибка БД (COMMIT) : "
            << (res.empty() ? one_line(PQerrorMessage(conn)) : failure_text(res[0])));
    if (PQtransactionStatus(conn) != PQTRANS_IDLE) {
      const pg_result_ptr rolled(PQexec(conn, "ROLLBACK"));
    }
    return false;
  }
  unlocked = first_value_is_true(res[1]);
  // A transaction that had already failed answers COMMIT with the tag ROLLBACK and no error.
  if (std::strcmp(PQcmdStatus(res[0].get()), "COMMIT") != 0) {
    LOG(channel, error,
        "[" << order_id << "] Транзакция не зафиксирована : " << PQcmdStatus(res[0].get()));
    return false;
  }
  return true;
}

} // namespace content
