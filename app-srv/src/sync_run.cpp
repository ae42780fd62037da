// The synchronisation run: from the key check to the cleanup of the run's temporary rows.
#include "sync_run.h"

#include <algorithm>
#include <string_view>

#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

// libpq keeps the reason on the result, or on the connection when there is no result at all.
std::string server_text(PGconn* conn, const PGresult* res) {
  std::string text = content::one_line(PQresultErrorMessage(res));
  if (text.empty()) {
    text = content::one_line(PQerrorMessage(conn));
  }
  return text;
}

content::pg_result_ptr exec_stamped(PGconn* conn, const char* sql, const std::string& stamp) {
  const Oid types[] = {pg_type::timestamp};
  const char* values[] = {stamp.c_str()};
  return content::pg_result_ptr(PQexecParams(conn, sql, 1, types, values, nullptr, nullptr, 0));
}

bool reached(const content::pg_result_ptr& res, ExecStatusType expected) {
  return res && PQresultStatus(res.get()) == expected;
}

// A COMMIT of a transaction that had already failed answers with the tag ROLLBACK and no error.
bool commit_checked(PGconn* conn, std::string& error) {
  content::pg_result_ptr res(PQexec(conn, "COMMIT;"));
  if (!reached(res, PGRES_COMMAND_OK)) {
    error = server_text(conn, res.get());
    return false;
  }
  if (std::string_view(PQcmdStatus(res.get())) != "COMMIT") {
    error = "COMMIT завершён откатом транзакции (" + std::string(PQcmdStatus(res.get())) + ")";
    return false;
  }
  return true;
}

void rollback(PGconn* conn) {
  content::pg_result_ptr res(PQexec(conn, "ROLLBACK;"));
}

std::string status_statement(const sync_data_set& set) {
  return std::string("UPDATE syncinfo set syncdate = $1, status=$2 WHERE tablename='") +
         set.tablename + "';";
}

// The "stamp, status" update of the syncinfo row; the server's text, empty on success.
std::string set_status(PGconn* conn, const sync_data_set& set, const std::string& stamp,
                       const char* status) {
  const Oid types[] = {pg_type::timestamp, pg_type::int4};
  const char* values[] = {stamp.c_str(), status};
  const std::string sql = status_statement(set);
  content::pg_result_ptr res(
      PQexecParams(conn, sql.c_str(), 2, types, values, nullptr, nullptr, 0));
  return reached(res, PGRES_COMMAND_OK) ? std::string() : server_text(conn, res.get());
}

void reply_started(web::context& ctx) {
  web::response& r = ctx.response();
  r.status(200);
  r.content_type("application/json");
  r.content_encoding("utf-8");
  r.content_language("ru");
  ctx.complete_response();
}

void reply_status(web::context& ctx, int code) {
  ctx.response() = web::response();
  ctx.response().status(code);
  ctx.complete_response();
}

} // namespace

// --- merge transactions -------------------------------------------------------------------------

merge_transaction::merge_transaction(PGconn* conn, std::string stamp, const std::string& channel,
                                     std::string failure_text)
    : conn_(conn), stamp_(std::move(stamp)), channel_(channel),
      failure_text_(std::move(failure_text)) {
  content::pg_result_ptr res(PQexec(conn_, "BEGIN;"));
  if (!reached(res, PGRES_COMMAND_OK)) {
    fail(server_text(conn_, res.get()));
    return;
  }
  open_ = true;
}

merge_transaction::~merge_transaction() {
  if (open_) {
    rollback(conn_);
  }
}

content::pg_result_ptr merge_transaction::run(const char* sql, ExecStatusType expected) {
  if (failed_) {
    return nullptr;
  }
  content::pg_result_ptr res = exec_stamped(conn_, sql, stamp_);
  if (!reached(res, expected)) {
    fail(server_text(conn_, res.get()));
    return nullptr;
  }
  return res;
}

bool merge_transaction::commit() {
  if (failed_) {
    return false;
  }
  std::string error;
  open_ = false;
  if (!commit_checked(conn_, error)) {
    fail(error);
    return false;
  }
  return true;
}

void merge_transaction::fail(const std::string& server_text) {
  failed_ = true;
  if (open_ || PQtransactionStatus(conn_) != PQTRANS_IDLE) {
    rollback(conn_); // a failed COMMIT has ended the transaction already
  }
  open_ = false;
  LOG(channel_, error, failure_text_ << " : " << server_text);
}

// --- the run's pieces ---------------------------------------------------------------------------

std::optional<int> returned_count(const PGresult* res) {
  if (res == nullptr || PQntuples(res) < 1 || PQnfields(res) < 1 || PQgetisnull(res, 0, 0)) {
    return std::nullopt;
  }
  const std::string text = PQgetvalue(res, 0, 0);
  if (text.empty()) {
    return std::nullopt;
  }
  int count = 0;
  if (str::_stoi(text, &count) != 0) {
    return -1;
  }
  return count;
}

claim_result claim_run(PGconn* conn, const std::string& tablename, int interval, std::string& stamp,
                       std::string& error) {
  // The guard and the mark "loading" in one statement: a plain SELECT followed by an UPDATE lets
  // two runs started together both pass before either has written its stamp.
  const std::string sql =
      "UPDATE syncinfo set syncdate = now()::timestamp without time zone, status=-1"
      " WHERE tablename=$1 AND (now() - COALESCE(syncdate, now() - interval '" +
      std::to_string(interval + 1) + " minute')) > interval '" + std::to_string(interval) +
      " minute' RETURNING syncdate::text as timeget";
  content::pg_result_ptr res = content::exec_params(conn, sql.c_str(), {tablename});
  if (!reached(res, PGRES_TUPLES_OK)) {
    error = server_text(conn, res.get());
    return claim_result::failed;
  }
  if (PQntuples(res.get()) < 1 || PQgetisnull(res.get(), 0, 0)) {
    return claim_result::refused;
  }
  stamp = PQgetvalue(res.get(), 0, 0);
  return claim_result::claimed;
}

// --- the temporary load -------------------------------------------------------------------------

namespace {

// Rows sent ahead before their results are read. Their results (about 100 bytes a row) must fit
// in the socket buffers while the next window is written, or both ends would wait on each other.
constexpr std::size_t window_rows = 128;

// Pipelined: each row is "SAVEPOINT, EXECUTE LoadTemp, RELEASE", a window of rows goes out before
// any result is read, so the savepoint that keeps a bad row from aborting the whole transaction
// costs no extra exchange with the server. After a failed row the rest of its window was refused
// by the server; it is rolled back to the row's savepoint and the window restarts after it.
class temp_loader {
public:
  temp_loader(PGconn* conn, const PGresult* rows, const std::string& stamp,
              const sync_data_set& set, const std::string& channel)
      : conn_(conn), rows_(rows), stamp_(stamp), set_(set), channel_(channel) {}

  load_outcome run();

private:
  // The rows worth sending: a row without a value the merge cannot do without is left out here,
  // since in the merge it would fail the whole statement.
  void select_rows();
  // Sends the rows at positions [from, to) of sendable_ and a sync; false when the connection
  // refused to take them.
  bool send_window(std::size_t from, std::size_t to);
  bool send_row(int row);
  // Reads the window's results, counting the rows loaded; returns the position of the first row
  // that failed, `to` when none did, or nullopt when the transaction is lost (error_ set).
  std::optional<std::size_t> read_window(std::size_t from, std::size_t to);
  ExecStatusType next_result(std::string* error);
  bool skip_to_sync();
  bool undo_row();

  PGconn* conn_;
  const PGresult* rows_;
  const std::string& stamp_;
  const sync_data_set& set_;
  const std::string& channel_;
  std::vector<int> sendable_;
  int loaded_ = 0;
  std::string error_;
  std::vector<const char*> values_;
};

bool send_plain(PGconn* conn, const char* sql) {
  return PQsendQueryParams(conn, sql, 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
}

void temp_loader::select_rows() {
  const int total = PQntuples(rows_);
  sendable_.reserve(static_cast<std::size_t>(total));
  for (int row = 0; row < total; ++row) {
    bool complete = true;
    for (int param : set_.required_params) {
      if (PQgetisnull(rows_, row, param - 2)) {
        LOG(channel_, debug, "Строка " << row + 1 << " не загружена : нет значения $" << param);
        complete = false;
        break;
      }
    }
    if (complete) {
      sendable_.push_back(row);
    }
  }
}

bool temp_loader::send_row(int row) {
  const std::size_t params = set_.load_types.size();
  values_.assign(params, nullptr);
  values_[0] = stamp_.c_str();
  for (std::size_t p = 1; p < params; ++p) {
    const int column = static_cast<int>(p) - 1;
    if (!PQgetisnull(rows_, row, column)) {
      values_[p] = PQgetvalue(rows_, row, column);
    } else if (set_.text_null_as_empty && set_.load_types[p] == pg_type::text) {
      values_[p] = "";
    }
  }
  return send_plain(conn_, "SAVEPOINT load_row") &&
         PQsendQueryPrepared(conn_, "LoadTemp", static_cast<int>(params), values_.data(), nullptr,
                             nullptr, 0) == 1 &&
         send_plain(conn_, "RELEASE SAVEPOINT load_row");
}

bool temp_loader::send_window(std::size_t from, std::size_t to) {
  for (std::size_t pos = from; pos < to; ++pos) {
    if (!send_row(sendable_[pos])) {
      error_ = server_text(conn_, nullptr);
      return false;
    }
  }
  if (PQpipelineSync(conn_) != 1) {
    error_ = server_text(conn_, nullptr);
    return false;
  }
  return true;
}

// The status of the next command's result; the null that closes each command is consumed. A
// connection that has nothing more to give reads as a fatal error.
ExecStatusType temp_loader::next_result(std::string* error) {
  content::pg_result_ptr res(PQgetResult(conn_));
  if (!res) {
    if (error != nullptr) {
      *error = server_text(conn_, nullptr);
    }
    return PGRES_FATAL_ERROR;
  }
  const ExecStatusType status = PQresultStatus(res.get());
  if (status != PGRES_PIPELINE_SYNC) {
    content::pg_result_ptr end(PQgetResult(conn_));
  }
  if (status == PGRES_FATAL_ERROR && error != nullptr) {
    *error = server_text(conn_, res.get());
  }
  return status;
}

// Reads what is left up to and including the window's sync; false when the connection is gone.
// One null closes each command, so two in a row mean nothing is pending any more.
bool temp_loader::skip_to_sync() {
  int nulls = 0;
  while (PQstatus(conn_) == CONNECTION_OK && nulls < 2) {
    content::pg_result_ptr res(PQgetResult(conn_));
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

std::optional<std::size_t> temp_loader::read_window(std::size_t from, std::size_t to) {
  for (std::size_t pos = from; pos < to; ++pos) {
    std::string row_error;
    const ExecStatusType savepoint = next_result(&error_);
    const ExecStatusType insert = next_result(&row_error);
    const ExecStatusType release = next_result(&error_);
    if (savepoint != PGRES_COMMAND_OK) {
      skip_to_sync();
      return std::nullopt;
    }
    if (insert != PGRES_COMMAND_OK) {
      LOG(channel_, debug, "Строка " << sendable_[pos] + 1 << " не загружена : " << row_error);
      return skip_to_sync() ? std::optional(pos) : std::nullopt;
    }
    if (release != PGRES_COMMAND_OK) {
      skip_to_sync();
      return std::nullopt;
    }
    ++loaded_;
  }
  return skip_to_sync() ? std::optional(to) : std::nullopt;
}

bool temp_loader::undo_row() {
  if (!send_plain(conn_, "ROLLBACK TO SAVEPOINT load_row") ||
      !send_plain(conn_, "RELEASE SAVEPOINT load_row") || PQpipelineSync(conn_) != 1) {
    error_ = server_text(conn_, nullptr);
    return false;
  }
  const bool undone = next_result(&error_) == PGRES_COMMAND_OK;
  const bool released = next_result(&error_) == PGRES_COMMAND_OK;
  return skip_to_sync() && undone && released;
}

load_outcome temp_loader::run() {
  load_outcome out;
  if (PQntuples(rows_) > 0 && PQnfields(rows_) + 1 != static_cast<int>(set_.load_types.size())) {
    out.error = "число столбцов (" + std::to_string(PQnfields(rows_)) +
                ") не соответствует загрузке (" + std::to_string(set_.load_types.size() - 1) + ")";
    return out;
  }
  content::pg_result_ptr begun(PQexec(conn_, "BEGIN;"));
  if (!reached(begun, PGRES_COMMAND_OK)) {
    out.error = server_text(conn_, begun.get());
    return out;
  }
  select_rows();
  const std::size_t total = sendable_.size();
  bool intact = total == 0 || PQenterPipelineMode(conn_) == 1;
  for (std::size_t next = 0; intact && next < total;) {
    const std::size_t to = std::min(next + window_rows, total);
    const std::optional<std::size_t> stop =
        send_window(next, to) ? read_window(next, to) : std::nullopt;
    if (!stop) {
      intact = false;
    } else if (*stop < to) {
      intact = undo_row();
      next = *stop + 1;
    } else {
      next = to;
    }
  }
  if (total > 0 && PQexitPipelineMode(conn_) != 1) {
    intact = false;
  }
  if (!intact) {
    out.error = error_.empty() ? server_text(conn_, nullptr) : error_;
    rollback(conn_);
    return out;
  }
  if (!commit_checked(conn_, out.error)) {
    return out;
  }
  out.ok = true;
  out.loaded = loaded_;
  return out;
}

} // namespace

load_outcome load_temp(PGconn* conn, const PGresult* rows, const std::string& stamp,
                       const sync_data_set& set, const std::string& channel) {
  return temp_loader(conn, rows, stamp, set, channel).run();
}

// --- the run ------------------------------------------------------------------------------------

void sync_endpoint::run(const sync_data_set& set, int interval) {
  LOG(channel(), info, set.start_message);
  std::string key;
  if (request().method() == "POST") {
    key = request().form_value("key");
  }
  web::context_ptr ctx = release_context();
  std::unique_ptr<content::PGBackend> local;
  std::unique_ptr<content::PGBackend> velk;
  try {
    if (!check_service_key(key, key_holder::operator_)) {
      throw ExceptionHTTP(set.log_unauthorised ? "Ошибка авторизации" : "", 401);
    }
    local = open_backend(services.app_db, "Нет подключения к локальной БД",
                         "Нет подключения к локальной БД", 406, 406);
    PGconn* conn = local->connection();
    std::string stamp;
    std::string error;
    switch (claim_run(conn, set.tablename, interval, stamp, error)) {
    case claim_result::failed:
      LOG(channel(), debug, error);
      throw ExceptionHTTP("", 504);
    case claim_result::refused:
      LOG(channel(), warning,
          "Ограничение по интервалу между синхронизациями [ " << interval << " мин. ]");
      throw ExceptionHTTP("", 504);
    case claim_result::claimed:
      break;
    }
    content::pg_result_ptr prepared(PQprepare(conn, "LoadTemp", set.load_statement,
                                              static_cast<int>(set.load_types.size()),
                                              set.load_types.data()));
    if (!reached(prepared, PGRES_COMMAND_OK)) {
      LOG(channel(), debug, server_text(conn, prepared.get()));
      throw ExceptionHTTP("", 500);
    }
    prepared.reset();
    velk = open_backend(services.backoffice_db, "Нет подключения к БД ВЕЛК", "Нет подключения к БД ВЕЛК",
                        406, 406);
    LOG(channel(), info, set.load_message);
    exec_stamped(conn, set.delete_older, stamp); // leftovers: a failure here costs nothing yet
    LOG(channel(), info, "Очистка временных таблиц");
    content::pg_result_ptr rows(PQexec(velk->connection(), set.backoffice_query));
    if (!reached(rows, PGRES_TUPLES_OK)) {
      LOG(channel(), debug, server_text(velk->connection(), rows.get()));
      throw ExceptionHTTP("", 404);
    }
    LOG(channel(), info, "Получено " << PQntuples(rows.get()) << " записей из БД ВЕЛК");
    reply_started(*ctx);
    finish_run(set, *local, velk, std::move(rows), stamp);
    local.reset();
  } catch (const ExceptionHTTP& e) {
    if (*e.what() != '\0') {
      LOG(channel(), error, e.what());
    }
    velk.reset();
    local.reset();
    if (!ctx->completed()) {
      reply_status(*ctx, e.response_code());
    }
  }
}

void sync_endpoint::finish_run(const sync_data_set& set, content::PGBackend& local,
                               std::unique_ptr<content::PGBackend>& velk,
                               content::pg_result_ptr rows, const std::string& stamp) {
  PGconn* conn = local.connection();
  LOG(channel(), info, "Загрузка даных во временные таблицы");
  const load_outcome load = load_temp(conn, rows.get(), stamp, set, channel());
  const int received = PQntuples(rows.get());
  rows.reset();
  velk.reset();
  if (!load.ok) {
    // The syncinfo row keeps status -1: the next run after the interval loads afresh.
    LOG(channel(), error, "Ошибка загрузки данных во временные таблицы : " << load.error);
    return;
  }
  LOG(channel(), info, "Загружено " << load.loaded << " записей из " << received << " полученных");
  if (!merge(conn, stamp, load.loaded)) {
    return;
  }
  // Statements run outside LOG: its message is not built at all when the level is off.
  const std::string status_error = set_status(conn, set, stamp, "1");
  LOG(channel(), warning, "статус синхронизации :" << status_error);
  content::pg_result_ptr cleaned = exec_stamped(conn, set.delete_own, stamp);
  LOG(channel(), warning,
      "Очистка временных таблиц : " << (reached(cleaned, PGRES_COMMAND_OK)
                                            ? std::string()
                                            : server_text(conn, cleaned.get())));
  LOG(channel(), info, set.end_message);
}

} // namespace srv_apps
