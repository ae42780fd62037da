// The listening session: LISTEN once connected, then wait on the socket with a short time-out so
// that a stop is noticed, and report every batch of announcements as one change.
#include "conn_listen.h"

#include <poll.h>

#include <algorithm>
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

// Takes every announcement libpq has read; their payloads, each once.
std::vector<std::string> drain_notifications(PGconn* conn) {
  std::vector<std::string> payloads;
  while (PGnotify* n = PQnotifies(conn)) {
    std::string payload = n->extra != nullptr ? n->extra : "";
    PQfreemem(n);
    if (std::find(payloads.begin(), payloads.end(), payload) == payloads.end()) {
      payloads.push_back(std::move(payload));
    }
  }
  return payloads;
}

} // namespace

listen_target listen_target::catalogue() {
  listen_target t{catalogue_channel, listen_session_name, content::log_channel};
  t.armed_sql = armed_tables_sql;
  t.armed_count = catalogue_table_count;
  t.opened_text = "Сеанс ожидания изменений каталога открыт";
  t.lost_text =
      "Нет сеанса ожидания изменений каталога: каталог читается из БД при каждом запросе";
  t.listen_failed_text = "Ошибка подписки на изменения каталога";
  t.unarmed_text = "Нет триггеров изменений каталога";
  return t;
}

change_listener::change_listener(const DBConnection_t& record, web::clock_source& clock,
                                 sink report, listen_target target)
    : record_(record), target_(target), clock_(clock), report_(std::move(report)),
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
    report_(listen_event::down, {});
    if (came_up || was_up) {
      LOG(target_.log_channel, warning, target_.lost_text << " (" << failure_ << ")");
    }
    failure_.clear();
    was_up = came_up;
    pause_before_retry();
  }
}

bool change_listener::serve_session() {
  PGBackend db(record_);
  db.name_sessions(target_.session_name);
  db.quiet_connect_failures(); // retried every second: the loss is logged once, below
  if (db.connect() != CONNECTION_OK) {
    failure_ = db.connect_failure();
    return false;
  }
  if (!start_listening(db)) {
    return false;
  }
  PGconn* conn = native_connection(db);
  LOG(target_.log_channel, info, target_.opened_text);
  report_(listen_event::up, {});
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
    if (const std::vector<std::string> payloads = drain_notifications(conn); !payloads.empty()) {
      report_(listen_event::changed, payloads);
    }
  }
  return true;
}

bool change_listener::start_listening(const PGBackend& db) {
  PGconn* conn = native_connection(db);
  // The server's farewell (a terminated backend) would go to stderr; the reason is read from
  // the connection and logged with the loss instead.
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  const std::string listen = std::string("LISTEN ") + target_.channel;
  const pg_result_ptr res(PQexec(conn, listen.c_str()));
  if (!reached(res, PGRES_COMMAND_OK)) {
    LOG(target_.log_channel, error, target_.listen_failed_text << " : " << server_text(conn, res.get()));
    return false;
  }
  if (target_.armed_sql == nullptr) {
    return true;
  }
  const pg_result_ptr armed = exec_params(conn, target_.armed_sql, {});
  if (!reached(armed, PGRES_TUPLES_OK) || PQntuples(armed.get()) != 1) {
    LOG(target_.log_channel, error,
        "Ошибка проверки триггеров изменений каталога : " << server_text(conn, armed.get()));
    return false;
  }
  if (std::string(PQgetvalue(armed.get(), 0, 0)) != std::to_string(target_.armed_count)) {
    if (!triggers_reported_) {
      LOG(target_.log_channel, error,
          target_.unarmed_text << " (" << PQgetvalue(armed.get(), 0, 0) << " из "
                               << target_.armed_count
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
