// The connection pool.
#include "conn_pool.h"

#include <poll.h>

#include <algorithm>

#include "conn_pg.h"
#include "conn_session.h"
#include "web/log.h"

namespace content {

connection_pool::connection_pool(const DBConnection_t& record)
    : size_(record.pool_size > 0 ? record.pool_size : 0),
      wait_(record.connect_timeout >= 1 ? record.connect_timeout : 5),
      max_idle_(record.pool_max_idle > 0 ? record.pool_max_idle : 0),
      max_lifetime_(record.pool_max_lifetime > 0 ? record.pool_max_lifetime : 0) {}

connection_pool::~connection_pool() = default;

bool still_alive(PGconn* conn) {
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK ||
      PQtransactionStatus(conn) != PQTRANS_IDLE) {
    return false;
  }
  // An idle session (no LISTEN) has nothing to say: anything readable is the server's goodbye
  // (a FATAL message, then end of file), which libpq may not have seen to its end yet.
  pollfd pfd{PQsocket(conn), POLLIN, 0};
  return ::poll(&pfd, 1, 0) == 0;
}

void connection_pool::begin_lease(PGconn* conn) {
  if (pooled_session* session = pooled_session::of(conn)) {
    session->begin_lease();
  }
}

void connection_pool::attach_session(PGconn* conn) {
  if (!pooled_session::attach(conn)) {
    LOG("Database", warning,
        "Соединение с БД без учёта состояния сеанса: сброс после каждого запроса");
  }
}

bool connection_pool::expired(const idle_entry& e, clock::time_point now) const {
  return (max_idle_.count() > 0 && now - e.returned > max_idle_) ||
         (max_lifetime_.count() > 0 && now - e.opened > max_lifetime_);
}

bool connection_pool::lease(pg_conn_ptr& conn, clock::time_point& opened,
                            const std::function<pg_conn_ptr()>& open_new) {
  const auto deadline = clock::now() + wait_;
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    while (!idle_.empty()) {
      idle_entry e = std::move(idle_.back());
      idle_.pop_back();
      if (!expired(e, clock::now()) && still_alive(e.conn.get())) {
        begin_lease(e.conn.get());
        conn = std::move(e.conn);
        opened = e.opened;
        return true;
      }
      --open_;
      lock.unlock();
      e.conn.reset(); // closing may touch the network: not under the lock
      lock.lock();
    }
    if (open_ < size_) {
      ++open_;
      lock.unlock();
      pg_conn_ptr fresh = open_new();
      if (!fresh) {
        lock.lock();
        --open_;
        returned_.notify_one();
        return false; // the connect errors are logged already
      }
      attach_session(fresh.get());
      begin_lease(fresh.get());
      conn = std::move(fresh);
      opened = clock::now();
      return true;
    }
    if (returned_.wait_until(lock, deadline) == std::cv_status::timeout && idle_.empty() &&
        open_ >= size_) {
      LOG("Database", error,
          "Ошибка соединения с БД : нет свободного соединения (занято " << open_ << ")");
      return false;
    }
  }
}

void connection_pool::give_back(pg_conn_ptr conn, clock::time_point opened) {
  if (!conn) {
    return;
  }
  bool reusable = PQstatus(conn.get()) == CONNECTION_OK;
  if (reusable) {
    switch (PQtransactionStatus(conn.get())) {
    case PQTRANS_IDLE:
      break;
    case PQTRANS_INTRANS:
    case PQTRANS_INERROR: {
      pg_result_ptr res(PQexec(conn.get(), "ROLLBACK"));
      reusable = res && PQresultStatus(res.get()) == PGRES_COMMAND_OK;
      break;
    }
    default: // a query still running, or the state is unknown
      reusable = false;
    }
  }
  pooled_session* session = pooled_session::of(conn.get());
  if (reusable && (session == nullptr || !session->clean(conn.get()))) {
    // Prepared statements, session settings, temporary tables and locks of the last request go;
    // the UTC zone was a connection option and survives.
    pg_result_ptr res(PQexec(conn.get(), "DISCARD ALL"));
    reusable = res && PQresultStatus(res.get()) == PGRES_COMMAND_OK;
    if (session != nullptr) {
      session->discarded();
    }
  }
  const auto now = clock::now();
  if (reusable && max_lifetime_.count() > 0 && now - opened > max_lifetime_) {
    reusable = false;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (reusable) {
    idle_.push_back(idle_entry{std::move(conn), opened, now});
  } else {
    --open_;
    lock.unlock();
    conn.reset();
    lock.lock();
  }
  returned_.notify_one();
}

int connection_pool::open_ahead(int count, const std::function<pg_conn_ptr()>& open_new) {
  std::unique_lock<std::mutex> lock(mu_);
  while (open_ < std::min(count, size_)) {
    ++open_; // counted while it opens, so that leases meanwhile keep to the size
    lock.unlock();
    pg_conn_ptr fresh = open_new();
    if (fresh) {
      attach_session(fresh.get());
    }
    lock.lock();
    if (!fresh) {
      --open_;
      returned_.notify_one();
      break; // the connect error is logged already; the rest open as requests need them
    }
    const auto now = clock::now();
    idle_.push_back(idle_entry{std::move(fresh), now, now});
    returned_.notify_one();
  }
  return open_;
}

int connection_pool::open_connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_;
}

int connection_pool::idle_connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(idle_.size());
}

} // namespace content
