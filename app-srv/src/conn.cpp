// The PostgreSQL backend core and the application and station lookups.
#include "conn.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <string>
#include <vector>

#include "conn_pg.h"
#include "conn_pool.h"
#include "conn_reference_sql.h"
#include "conn_session.h"
#include "str.h"
#include "web/log.h"

static_assert(content::CONNECTION_STATUS_OK == CONNECTION_OK);
static_assert(content::RESULT_STATUS_COMMAND_OK == PGRES_COMMAND_OK);
static_assert(content::RESULT_STATUS_TUPLES_OK == PGRES_TUPLES_OK);
static_assert(content::RESULT_STATUS_FATAL_ERROR == PGRES_FATAL_ERROR);

namespace content {
namespace {

DBConnection_t normalised(const DBConnection_t& record) {
  DBConnection_t p;
  if (!record.host.empty()) {
    p.host = record.host;
  }
  if (!record.dbname.empty()) {
    p.dbname = record.dbname;
  }
  if (!record.user.empty()) {
    p.user = record.user;
  }
  if (!record.password.empty()) {
    p.password = record.password;
  }
  p.port = record.port != 0 ? record.port : 5432;
  p.connect_timeout = record.connect_timeout >= 1 ? record.connect_timeout : 5;
  p.statement_timeout = record.statement_timeout > 0 ? record.statement_timeout : 0;
  p.pool_size = record.pool_size;
  p.pool_max_idle = record.pool_max_idle;
  p.pool_max_lifetime = record.pool_max_lifetime;
  p.pool_open_at_start = record.pool_open_at_start;
  return p;
}

// A value inside a libpq connection text: single quotes, with quote and backslash escaped.
std::string quoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  out += '\'';
  return out;
}

// A peer that vanished without a reset (host gone, cable cut) is found within about a minute
// instead of the kernel's quarter of an hour: idle 30 s, then 3 probes 10 s apart.
constexpr const char* keepalive_keys[] = {"keepalives", "keepalives_idle", "keepalives_interval",
                                          "keepalives_count"};
constexpr const char* keepalive_values[] = {"1", "30", "10", "3"};

} // namespace

void pg_conn_close::operator()(pg_conn* conn) const noexcept {
  PQfinish(conn);
}

PGconn* native_connection(const PGBackend& backend) {
  return backend.conn_.get();
}

std::string one_line(const char* text) {
  std::string s = text != nullptr ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) {
    s.pop_back();
  }
  for (char& c : s) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  return s;
}

std::string server_text(PGconn* conn, const PGresult* res) {
  std::string text = one_line(PQresultErrorMessage(res));
  if (text.empty()) {
    text = one_line(PQerrorMessage(conn));
  }
  return text;
}

bool reached(const pg_result_ptr& res, ExecStatusType expected) {
  return res && PQresultStatus(res.get()) == expected;
}

int changed_rows(const PGresult* res) {
  int rows = 0;
  return str::_stoi(PQcmdTuples(const_cast<PGresult*>(res)), &rows) == 0 ? rows : 0;
}

pg_result_ptr first_result(PGconn* conn, std::vector<pg_result_ptr> results) {
  if (results.empty()) {
    return pg_result_ptr(PQmakeEmptyPGresult(conn, PGRES_FATAL_ERROR));
  }
  return std::move(results.front());
}

pg_result_ptr exec_params(PGconn* conn, const char* sql,
                          std::initializer_list<std::string> params) {
  // libpq reads a text parameter up to its first NUL: "key\0x" would be looked up as "key".
  for (const auto& p : params) {
    if (p.find('\0') != std::string::npos) {
      LOG("Database", error, "Значение параметра запроса содержит нулевой байт");
      return pg_result_ptr(PQmakeEmptyPGresult(conn, PGRES_FATAL_ERROR));
    }
  }
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& p : params) {
    values.push_back(p.c_str());
  }
  const int count = static_cast<int>(values.size());
  if (pooled_session* session = pooled_session::of(conn)) {
    if (pg_result_ptr ahead = session->take_read_ahead(sql, count, values.data())) {
      return ahead;
    }
    if (session->opening_deferred()) {
      return first_result(conn, exec_pipeline(conn, {{sql, {params.begin(), params.end()}}}));
    }
    return pg_result_ptr(session->exec(conn, sql, count, values.data()));
  }
  return pg_result_ptr(PQexecParams(conn, sql, count, nullptr, values.data(), nullptr, nullptr, 0));
}

namespace {

bool send_piped(PGconn* conn, const piped_statement& st, const std::string& name) {
  std::vector<const char*> values;
  values.reserve(st.params.size());
  for (const auto& p : st.params) {
    if (p && p->find('\0') != std::string::npos) {
      LOG("Database", error, "Значение параметра запроса содержит нулевой байт");
      return false;
    }
    values.push_back(p ? p->c_str() : nullptr);
  }
  const int count = static_cast<int>(values.size());
  if (!name.empty()) {
    return PQsendQueryPrepared(conn, name.c_str(), count, values.data(), nullptr, nullptr, 0) == 1;
  }
  return PQsendQueryParams(conn, st.sql, count, nullptr, values.data(), nullptr, nullptr, 0) == 1;
}

// On a pooled session the statements with parameters go prepared, as the session's single
// statements do: a job's end is planned once per session instead of at every end. Preparing
// needs its own round trip, so it happens before the pipeline starts.
std::vector<std::string> pipeline_names(PGconn* conn, const std::vector<piped_statement>& statements) {
  std::vector<std::string> names(statements.size());
  pooled_session* session = pooled_session::of(conn);
  for (std::size_t i = 0; session != nullptr && i < statements.size(); ++i) {
    if (!statements[i].params.empty()) {
      names[i] = session->pipeline_name(conn, statements[i].sql,
                                        static_cast<int>(statements[i].params.size()));
    }
  }
  return names;
}

} // namespace

// One null closes each command: two in a row mean nothing is pending any more.
bool skip_to_sync(PGconn* conn) {
  int nulls = 0;
  while (PQstatus(conn) == CONNECTION_OK && nulls < 2) {
    pg_result_ptr res(PQgetResult(conn));
    if (!res) {
      ++nulls;
      continue;
    }
    nulls = 0;
    if (PQresultStatus(res.get()) == PGRES_PIPELINE_SYNC) {
      return true;
    }
  }
  return false;
}

namespace {

std::vector<pg_result_ptr> send_pipeline(PGconn* conn,
                                         const std::vector<piped_statement>& statements) {
  std::vector<pg_result_ptr> results;
  const std::vector<std::string> names = pipeline_names(conn, statements);
  if (PQenterPipelineMode(conn) != 1) {
    return results;
  }
  std::size_t sent = 0;
  while (sent < statements.size() && send_piped(conn, statements[sent], names[sent])) {
    ++sent;
  }
  const bool synced = PQpipelineSync(conn) == 1;
  bool intact = sent == statements.size() && synced;
  for (std::size_t i = 0; intact && i < sent; ++i) {
    pg_result_ptr res(PQgetResult(conn));
    if (!res) {
      intact = false;
      break;
    }
    pg_result_ptr end(PQgetResult(conn)); // the null that closes the command
    if (pooled_session* session = pooled_session::of(conn); session != nullptr && !names[i].empty()) {
      session->saw_pipeline_result(res.get());
    }
    results.push_back(std::move(res));
  }
  // Whatever is left is read, even of a pipeline not sent whole, before pipeline mode can end.
  if ((synced && !skip_to_sync(conn)) || PQexitPipelineMode(conn) != 1) {
    intact = false;
  }
  if (!intact) {
    results.clear();
  }
  return results;
}

// A held-back opening that failed aborts the rest of its pipeline: the caller's statements then
// fail as aborted, and this says why.
void log_failed_opening(PGconn* conn, const std::vector<piped_statement>& statements,
                        std::size_t opening, const std::vector<pg_result_ptr>& results) {
  for (std::size_t i = 0; i < opening && i < results.size(); ++i) {
    const bool command = statements[i].params.empty(); // BEGIN
    if (!reached(results[i], command ? PGRES_COMMAND_OK : PGRES_TUPLES_OK)) {
      LOG("Database", error,
          "Ошибка БД (" << (command ? statements[i].sql : "блокировка заказа")
                        << ") : " << server_text(conn, results[i].get()));
      return;
    }
  }
}

} // namespace

std::vector<pg_result_ptr> exec_pipeline(PGconn* conn,
                                         const std::vector<piped_statement>& statements) {
  if (conn == nullptr) {
    return {};
  }
  pooled_session* session = pooled_session::of(conn);
  if (session == nullptr || !session->opening_deferred()) {
    return send_pipeline(conn, statements);
  }
  std::vector<piped_statement> all = session->take_opening();
  const std::size_t opening = all.size();
  all.insert(all.end(), statements.begin(), statements.end());
  std::vector<pg_result_ptr> results = send_pipeline(conn, all);
  if (results.empty()) {
    return results;
  }
  log_failed_opening(conn, all, opening, results);
  results.erase(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(opening));
  return results;
}

// Startup options of every session: UTC (see conn.h), and the record's statement time-out, which
// the server then keeps as the session default, so a pooled session's reset keeps it too.
std::string PGBackend::session_options() const {
  return "-c TimeZone=UTC -c statement_timeout=" + std::to_string(params_.statement_timeout * 1000);
}

PGBackend::PGBackend() = default;

PGBackend::PGBackend(const DBConnection_t& record, std::shared_ptr<connection_pool> pool)
    : params_(normalised(record)), pool_(std::move(pool)) {}

PGBackend::~PGBackend() {
  finish();
}

void PGBackend::set_dbconn(const DBConnection_t& record) {
  params_ = normalised(record);
}

std::string PGBackend::connStr() const {
  std::vector<std::string> items;
  if (!params_.user.empty()) {
    items.push_back("user=" + params_.user);
  }
  if (!params_.password.empty()) {
    items.push_back("password=***");
  }
  if (!params_.dbname.empty()) {
    items.push_back("dbname=" + params_.dbname);
  }
  if (!params_.host.empty()) {
    items.push_back("host=" + params_.host);
  }
  if (params_.port != 0) {
    items.push_back("port=" + std::to_string(params_.port));
  }
  if (params_.connect_timeout != 0) {
    items.push_back("connect_timeout=" + std::to_string(params_.connect_timeout));
  }
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) {
      out += ' ';
    }
    out += item;
  }
  return out;
}

std::string PGBackend::conninfo() const {
  std::string out = "host=" + quoted(params_.host) + " port=" + std::to_string(params_.port) +
                    " connect_timeout=" + std::to_string(params_.connect_timeout);
  if (!params_.user.empty()) {
    out += " user=" + quoted(params_.user);
  }
  if (!params_.password.empty()) {
    out += " password=" + quoted(params_.password);
  }
  if (!params_.dbname.empty()) {
    out += " dbname=" + quoted(params_.dbname);
  }
  return out;
}

int PGBackend::connect_with(const char* const* keywords, const char* const* values) {
  if (conn_) {
    return PQstatus(conn_.get()); // a broken connection is reported, not repaired
  }
  if (pool_ && pool_->size() > 0 && !opening_for_pool_) {
    // A failed lease must not turn into a session beside the pool: pool_size is the bound.
    LOG("Database", error, "Нет соединения с БД из пула");
    return CONNECTION_BAD;
  }
  std::vector<const char*> k;
  std::vector<const char*> v;
  for (; *keywords != nullptr; ++keywords, ++values) {
    k.push_back(*keywords);
    v.push_back(*values);
  }
  k.insert(k.end(), std::begin(keepalive_keys), std::end(keepalive_keys));
  v.insert(v.end(), std::begin(keepalive_values), std::end(keepalive_values));
  k.push_back(nullptr);
  v.push_back(nullptr);
  conn_.reset(PQconnectStartParams(k.data(), v.data(), 0));
  if (!conn_) {
    report_connect_failure("out of memory");
    return CONNECTION_BAD;
  }
  std::string failure;
  if (!poll_connection(failure)) {
    report_connect_failure(failure);
    conn_.reset();
    return CONNECTION_BAD;
  }
  return PQstatus(conn_.get());
}

void PGBackend::report_connect_failure(const std::string& reason) {
  connect_failure_ = reason;
  if (!quiet_connect_failures_) {
    LOG("Database", error, "Ошибка соединения с БД : " << reason);
  }
}

// Drives a started connection to its end within the record's time-out. libpq's own
// connect_timeout rounds a 1 s setting up to 2 s per attempt; this keeps the setting exact.
bool PGBackend::poll_connection(std::string& failure) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(params_.connect_timeout);
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (PQstatus(conn_.get()) != CONNECTION_BAD) {
    if (state == PGRES_POLLING_OK) {
      return true;
    }
    if (state == PGRES_POLLING_FAILED) {
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      failure = "timeout expired";
      return false;
    }
    pollfd pfd{PQsocket(conn_.get()),
               static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      failure = std::strerror(errno);
      return false;
    }
    if (ready > 0) {
      state = PQconnectPoll(conn_.get());
    }
  }
  failure = one_line(PQerrorMessage(conn_.get()));
  return false;
}

int PGBackend::connect(const std::string& text) {
  if (conn_) {
    return PQstatus(conn_.get());
  }
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, c_free<PQconninfoFree>> parsed(
      PQconninfoParse(text.c_str(), &error));
  if (!parsed) {
    LOG("Database", error, "Ошибка соединения с БД : " << one_line(error));
    PQfreemem(error);
    return CONNECTION_BAD;
  }
  std::vector<std::string> keys;
  std::vector<std::string> vals;
  bool has_timeout = false;
  std::string options;
  for (PQconninfoOption* o = parsed.get(); o->keyword != nullptr; ++o) {
    if (o->val == nullptr) {
      continue;
    }
    const std::string key = o->keyword;
    if (key == "options") {
      options = o->val;
      continue;
    }
    has_timeout = has_timeout || key == "connect_timeout";
    keys.push_back(key);
    vals.emplace_back(o->val);
  }
  if (!has_timeout) {
    keys.emplace_back("connect_timeout");
    vals.push_back(std::to_string(params_.connect_timeout));
  }
  keys.emplace_back("options");
  vals.push_back(options.empty() ? session_options() : options + " " + session_options());
  keys.emplace_back("application_name");
  vals.push_back(application_name_);
  std::vector<const char*> k;
  std::vector<const char*> v;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    k.push_back(keys[i].c_str());
    v.push_back(vals[i].c_str());
  }
  k.push_back(nullptr);
  v.push_back(nullptr);
  return connect_with(k.data(), v.data());
}

int PGBackend::connect() {
  const std::string port = std::to_string(params_.port);
  const std::string timeout = std::to_string(params_.connect_timeout);
  const std::string options = session_options();
  std::vector<const char*> k = {"host", "port", "connect_timeout", "options", "application_name"};
  std::vector<const char*> v = {params_.host.c_str(), port.c_str(), timeout.c_str(),
                                options.c_str(), application_name_.c_str()};
  if (!params_.dbname.empty()) {
    k.push_back("dbname");
    v.push_back(params_.dbname.c_str());
  }
  if (!params_.user.empty()) {
    k.push_back("user");
    v.push_back(params_.user.c_str());
  }
  if (!params_.password.empty()) {
    k.push_back("password");
    v.push_back(params_.password.c_str());
  }
  k.push_back(nullptr);
  v.push_back(nullptr);
  return connect_with(k.data(), v.data());
}

int PGBackend::open_direct() {
  connect(conninfo());
  return connect();
}

int PGBackend::open() {
  if (!pool_ || pool_->size() == 0 || conn_) {
    return open_direct();
  }
  pg_conn_ptr leased;
  const bool ok = pool_->lease(leased, opened_, [this] { return open_for_pool(); });
  if (!ok) {
    return CONNECTION_BAD;
  }
  conn_ = std::move(leased);
  leased_ = true;
  return PQstatus(conn_.get());
}

pg_conn_ptr PGBackend::open_for_pool() {
  opening_for_pool_ = true;
  const int status = open_direct();
  opening_for_pool_ = false;
  if (status != CONNECTION_OK) {
    conn_.reset();
    return nullptr;
  }
  return std::move(conn_);
}

int PGBackend::open_pool_ahead() {
  if (!pool_ || conn_) {
    return 0;
  }
  return pool_->open_ahead(params_.pool_open_at_start, [this] { return open_for_pool(); });
}

int PGBackend::reconnect() {
  finish();
  return connect();
}

void PGBackend::promise_plain_reads() {
  if (pooled_session* session = leased_ ? pooled_session::of(conn_.get()) : nullptr) {
    session->promise_plain_reads();
  }
}

void PGBackend::promise_transaction_work() {
  if (pooled_session* session = leased_ ? pooled_session::of(conn_.get()) : nullptr) {
    session->promise_transaction_work();
  }
}

void PGBackend::took_session_lock() {
  if (pooled_session* session = leased_ ? pooled_session::of(conn_.get()) : nullptr) {
    session->took_session_lock();
  }
}

void PGBackend::released_session_lock() {
  if (pooled_session* session = leased_ ? pooled_session::of(conn_.get()) : nullptr) {
    session->released_session_lock();
  }
}

void PGBackend::finish() {
  status_type_ids_.clear();
  apps_by_key_.clear();
  if (leased_ && pool_) {
    leased_ = false;
    pool_->give_back(std::move(conn_), opened_);
    return;
  }
  conn_.reset();
}

std::string PGBackend::_get_fvalue(const pg_result* result, const std::string& field, int row) {
  if (result == nullptr || field.empty()) {
    return "";
  }
  if (PQresultStatus(result) != PGRES_TUPLES_OK) {
    LOG("Database", debug,
        "Ошибка получение значения поля : " << one_line(PQresultErrorMessage(result)));
    return "";
  }
  if (row < 0 || row >= PQntuples(result)) {
    return "";
  }
  const int column = PQfnumber(result, field.c_str());
  if (column < 0 || PQgetisnull(result, row, column)) {
    return "";
  }
  return PQgetvalue(result, row, column);
}

// --- applications -------------------------------------------------------------------------------

void AppTypeInfo::fill(const PGBackend& db, const char* sql, const std::string& value,
                       const char* error_text) {
  pg_result_ptr res = exec_params(native_connection(db), sql, {value});
  if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
    LOG("Database", debug, error_text << one_line(PQresultErrorMessage(res.get())));
    return;
  }
  for (int row = 0; row < PQntuples(res.get()); ++row) {
    if (!PQgetisnull(res.get(), row, 0) && *PQgetvalue(res.get(), row, 0) != '\0') {
      id_ = std::atoi(PQgetvalue(res.get(), row, 0));
    }
    if (!PQgetisnull(res.get(), row, 1)) {
      sname_ = PQgetvalue(res.get(), row, 1);
    }
    if (!PQgetisnull(res.get(), row, 2)) {
      key_ = PQgetvalue(res.get(), row, 2);
    }
    if (!PQgetisnull(res.get(), row, 3)) {
      description_ = PQgetvalue(res.get(), row, 3);
    }
  }
}

void AppTypeInfo::authAppInfo(const PGBackend& db, const std::string& key) {
  if (!db.connected() || key.empty()) {
    return;
  }
  if (const auto known = db.apps_by_key_.find(key); known != db.apps_by_key_.end()) {
    *this = known->second;
    return;
  }
  static constexpr const char* sql =
      "SELECT id, sname, key, description FROM apptypes WHERE key=$1 LIMIT 1";
  fill(db, sql, key, "Ошибка запроса данных приложения : ");
  if (id_ >= 0) {
    db.apps_by_key_.insert_or_assign(key, *this);
  }
}

void PGBackend::know_caller(const std::string& key, int id_app) const {
  AppTypeInfo app;
  app.id_ = id_app;
  app.key_ = key;
  apps_by_key_.insert_or_assign(key, std::move(app));
}

void AppTypeInfo::getAppTypeValues(const PGBackend& db, const std::string& sname) {
  if (!db.connected() || sname.empty()) {
    return;
  }
  static constexpr const char* sql =
      "SELECT id, sname, key, description FROM apptypes WHERE sname=upper($1) LIMIT 1";
  fill(db, sql, sname, "Ошибка запроса данных приложения (по имени) : ");
}

void AppTypeInfo::getAppTypeValues(const PGBackend& db, int id) {
  if (!db.connected()) {
    return;
  }
  static constexpr const char* sql =
      "SELECT id, sname, key, description FROM apptypes WHERE id=$1::integer LIMIT 1";
  fill(db, sql, std::to_string(id), "Ошибка запроса данных приложения (по id) : ");
}

// --- station links ------------------------------------------------------------------------------

void AzsConnInfo::fill(const PGBackend& db, const char* sql, const std::string& value,
                       const char* channel) {
  pg_result_ptr res = exec_params(native_connection(db), sql, {value});
  if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
    LOG(channel, debug,
        "Ошибка запроса данных АЗС : " << one_line(PQresultErrorMessage(res.get())));
    return;
  }
  for (int row = 0; row < PQntuples(res.get()); ++row) {
    auto text = [&](int col) -> const char* {
      return PQgetisnull(res.get(), row, col) ? nullptr : PQgetvalue(res.get(), row, col);
    };
    if (const char* v = text(0); v != nullptr && *v != '\0') {
      id_ = std::atoi(v);
    }
    if (const char* v = text(1)) {
      addr_ = v;
    }
    if (const char* v = text(2); v != nullptr && *v != '\0') {
      port_ = std::atoi(v);
    }
    if (const char* v = text(3)) {
      key_ = v;
    }
    if (const char* v = text(4)) {
      ssl_ = *v != '\0' && std::atoi(v) != 0;
    }
  }
}

void AzsConnInfo::getAzsConnValues(const PGBackend& db, const std::string& pass) {
  if (!db.connected() || pass.empty()) {
    return;
  }
  // Exact match: with LIKE a presented key "%" would open some station, and prefix probes such
  // as "a%" would recover any station's key one character at a time.
  static constexpr const char* sql = "SELECT l.id_shop, l.addr, l.port, l.pass, l.ssl::integer "
                                     "FROM links l WHERE l.pass = $1 LIMIT 1";
  fill(db, sql, pass, "Database");
}

void AzsConnInfo::getAzsConnValues(const PGBackend& db, int id_shop) {
  if (!db.connected()) {
    return;
  }
  fill(db, reference_sql::station_link, std::to_string(id_shop), "Database/AZS link");
}

std::string AzsConnInfo::endpoint_str() const {
  if (id_ < 0 || addr_.empty()) {
    return "";
  }
  std::string url = ssl_ ? "https://" : "http://";
  url += addr_;
  if (port_ != 0) {
    url += ':';
    url += std::to_string(port_);
  }
  url += "/api/azstank";
  return url;
}

} // namespace content
