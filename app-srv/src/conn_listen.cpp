// The listening session: LISTEN once connected, then wait on the socket with a short time-out so
// that a stop is noticed, and report every batch of announcements as one change.
#include "conn_listen.h"

#include <poll.h>

#include <cerrno>

#include "conn_pg.h"
#include "web/log.h"

namespace content {

namespace {

constexpr const char* log_channel = "orvale";
constexpr web::millis retry_pause{1000};
// How long one wait on the socket lasts: the bound on how late a stop is noticed.
constexpr int poll_timeout_ms = 100;

// The tables the catalogue replies and the key lookup read, each with its enabled trigger.
constexpr int catalogue_table_count = 6;
constexpr const char* armed_tables_sql =
    "SELECT count(DISTINCT c.relname) FROM pg_trigger t JOIN pg_class c ON c.oid = t.tgrelid"
    " WHERE t.tgname = 'orvale_catalogue_changed' AND t.tgenabled <> 'D'"
    " AND c.relname IN ('apptypes', 'azslist', 'links', 'azsconf', 'curprices', 'prodmaps')"
    " AND c.relnamespace IN"
    " (SELECT oid FROM pg_namespace WHERE nspname = ANY (current_schemas(false)))";

// Takes every announcement libpq has read; true when there was one.
bool drain_notifications(PGconn* conn) {
  bool any = false;
  while (PGnotify* n = PQnotifies(conn)) {
    PQfreemem(n);
    any = true;
  }
  return any;
}

} // namespace

change_listener::change_listener(const DBConnection_t& record, web::clock_source& clock,
                                 sink report)
    : record_(record), clock_(clock), report_(std::move(report)),
      thread_([this] { run(); }) {}

change_listener::~change_listener() { stop(); }

void change_listener::stop() {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void change_listener::run() {
  bool was_up = true; // the first failure is logged
  while (!stopping_) {
    const bool came_up = serve_session();
    if (stopping_) {
      return;
    }
    report_(listen_event::down);
    if (came_up || was_up) {
      LOG(log_channel, warning,
          "Нет сеанса ожидания изменений каталога: каталог читается из БД при каждом запросе ("
              << failure_ << ")");
    }
    failure_.clear();
    was_up = came_up;
    pause_before_retry();
  }
}

bool change_listener::serve_session() {
  PGBackend db(record_);
  db.name_sessions(listen_session_name);
  db.quiet_connect_failures(); // retried every second: the loss is logged once, below
  if (db.connect() != CONNECTION_OK) {
    failure_ = db.connect_failure();
    return false;
  }
  if (!start_listening(db)) {
    return false;
  }
  PGconn* conn = native_connection(db);
  LOG(log_channel, info, "Сеанс ожидания изменений каталога открыт");
  report_(listen_event::up);
  while (!stopping_) {
    if (PQsocket(conn) < 0) {
      return true;
    }
    if (!wait_for_traffic(PQsocket(conn))) {
      continue;
    }
    if (PQconsumeInput(conn) == 0 || PQstatus(conn) != CONNECTION_OK) {
      failure_ = one_line(PQerrorMessage(conn));
      return true;
    }
    if (drain_notifications(conn)) {
      report_(listen_event::changed);
    }
  }
  return true;
}

bool change_listener::start_listening(const PGBackend& db) {
  PGconn* conn = native_connection(db);
  // The server's farewell (a terminated backend) would go to stderr; the reason is read from
  // the connection and logged with the loss instead.
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  const std::string listen = std::string("LISTEN ") + catalogue_channel;
  const pg_result_ptr res(PQexec(conn, listen.c_str()));
  if (!reached(res, PGRES_COMMAND_OK)) {
    LOG(log_channel, error,
        "Ошибка подписки на изменения каталога : " << server_text(conn, res.get()));
    return false;
  }
  const pg_result_ptr armed = exec_params(conn, armed_tables_sql, {});
  if (!reached(armed, PGRES_TUPLES_OK) || PQntuples(armed.get()) != 1) {
    LOG(log_channel, error,
        "Ошибка проверки триггеров изменений каталога : " << server_text(conn, armed.get()));
    return false;
  }
  if (std::string(PQgetvalue(armed.get(), 0, 0)) != std::to_string(catalogue_table_count)) {
    if (!triggers_reported_) {
      LOG(log_channel, error,
          "Нет триггеров изменений каталога (" << PQgetvalue(armed.get(), 0, 0) << " из "
                                               << catalogue_table_count
                                               << "): выполните sql/upgrade.sql");
      triggers_reported_ = true;
    }
    return false;
  }
  triggers_reported_ = false;
  return true;
}

bool change_listener::wait_for_traffic(int socket) {
  pollfd pfd{socket, POLLIN, 0};
  const int ready = ::poll(&pfd, 1, poll_timeout_ms);
  return ready > 0 || (ready < 0 && errno != EINTR);
}

void change_listener::pause_before_retry() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, clock_.scaled(retry_pause), [this] { return stopping_.load(); });
}

} // namespace content
