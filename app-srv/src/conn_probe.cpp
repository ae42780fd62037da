// The readiness probe of a database.
#include "conn_probe.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>

#include "conn_pg.h"
#include "web/log.h"

namespace content {
namespace {

// Waits for the reply of a statement already sent; false at the deadline.
bool wait_result(PGconn* conn, std::chrono::steady_clock::time_point deadline) {
  while (PQisBusy(conn) != 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd pfd{PQsocket(conn), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      return false;
    }
    if (ready > 0 && PQconsumeInput(conn) == 0) {
      return false;
    }
  }
  return true;
}

} // namespace

bool database_answers(const DBConnection_t& record, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  DBConnection_t probe = record;
  probe.connect_timeout =
      static_cast<int>(std::max<std::chrono::seconds::rep>(
          std::chrono::duration_cast<std::chrono::seconds>(limit).count(), 1));
  PGBackend backend(probe); // no pool: a lease could wait for a busy pool, not for the server
  if (backend.connect() != CONNECTION_OK) {
    return false;
  }
  PGconn* conn = native_connection(backend);
  if (PQsendQuery(conn, "SELECT 1") == 0 || !wait_result(conn, deadline)) {
    LOG("Database", warning, "База данных не ответила на проверку готовности");
    return false;
  }
  bool ok = true;
  while (pg_result_ptr res{PQgetResult(conn)}) {
    ok = ok && PQresultStatus(res.get()) == PGRES_TUPLES_OK;
  }
  return ok;
}

} // namespace content
