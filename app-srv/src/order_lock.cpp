// The advisory lock that serialises the runs of one order.
#include "order_lock.h"

#include <cstring>
#include <utility>

#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* channel = "orvale/order";

// The two-key form: the application id as it is, the order id through hashtext. Two ids that
// share a hash only wait for each other; they never run at the same time as one order.
constexpr const char* try_lock_sql = "SELECT pg_try_advisory_lock($1::integer, hashtext($2::text))";
constexpr const char* lock_sql = "SELECT pg_advisory_lock($1::integer, hashtext($2::text))";
constexpr const char* unlock_sql = "SELECT pg_advisory_unlock($1::integer, hashtext($2::text))";
// The wait is bounded by the server, which ends it with lock_not_available.
constexpr const char* wait_limit_sql = "SELECT set_config('lock_timeout', $1::text, false)";
constexpr const char* lock_not_available = "55P03";

bool first_value_is_true(const content::pg_result_ptr& res) {
  return res && PQresultStatus(res.get()) == PGRES_TUPLES_OK && PQntuples(res.get()) == 1 &&
         std::strcmp(PQgetvalue(res.get(), 0, 0), "t") == 0;
}

bool timed_out(const content::pg_result_ptr& res) {
  const char* state = res ? PQresultErrorField(res.get(), PG_DIAG_SQLSTATE) : nullptr;
  return state != nullptr && std::strcmp(state, lock_not_available) == 0;
}

std::string failure_text(const content::pg_result_ptr& res) {
  return res ? content::one_line(PQresultErrorMessage(res.get())) : "out of memory";
}

} // namespace

std::unique_ptr<order_lock> order_lock::open(const content::DBConnection_t& record) {
  auto session = std::make_unique<content::PGBackend>(record); // no pool: a session of its own
  if (session->open() != content::CONNECTION_STATUS_OK || session->connection() == nullptr) {
    return nullptr;
  }
  return std::make_unique<order_lock>(std::move(session));
}

order_lock::order_lock(std::unique_ptr<content::PGBackend> session)
    : session_(std::move(session)) {}

order_lock::~order_lock() {
  release();
}

order_lock::outcome order_lock::acquire(int id_app, const std::string& order_id,
                                        std::chrono::milliseconds wait) {
  PGconn* conn = session_->connection();
  const std::string app = std::to_string(id_app);
  content::pg_result_ptr res = content::exec_params(conn, try_lock_sql, {app, order_id});
  if (!first_value_is_true(res)) {
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
      LOG(channel, error,
          "[" << order_id << "] Ошибка блокировки заказа в БД : " << failure_text(res));
      return outcome::failed;
    }
    LOG(channel, debug, "[" << order_id << "] Ожидание завершения предыдущей обработки заказа");
    content::exec_params(conn, wait_limit_sql, {std::to_string(wait.count())});
    res = content::exec_params(conn, lock_sql, {app, order_id});
    if (timed_out(res)) {
      return outcome::busy;
    }
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
      LOG(channel, error,
          "[" << order_id << "] Ошибка блокировки заказа в БД : " << failure_text(res));
      return outcome::failed;
    }
  }
  held_ = true;
  id_app_ = id_app;
  order_id_ = order_id;
  return outcome::locked;
}

void order_lock::release() noexcept {
  if (!held_ || !session_) {
    return;
  }
  held_ = false;
  try {
    // Closing the session would release it too; unlocking first lets the next run start before
    // this session's end has been processed by the server.
    content::pg_result_ptr res = content::exec_params(session_->connection(), unlock_sql,
                                                      {std::to_string(id_app_), order_id_});
    if (!first_value_is_true(res)) {
      LOG(channel, warning,
          "[" << order_id_ << "] Блокировка заказа не снята : " << failure_text(res));
    }
  } catch (...) {
    // The session is closed right after, which ends the lock in any case.
  }
  session_.reset();
}

} // namespace srv_apps
