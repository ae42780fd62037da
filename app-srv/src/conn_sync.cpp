// The synchronisation's bookkeeping: claim, load preparation, merge transactions, status.
#include "conn_sync_pg.h"

#include <string_view>

#include "str.h"
#include "web/log.h"

namespace content {
namespace {

pg_result_ptr exec_stamped(PGconn* conn, const char* sql, const std::string& stamp) {
  const Oid types[] = {pg_type::timestamp};
  const char* values[] = {stamp.c_str()};
  return pg_result_ptr(PQexecParams(conn, sql, 1, types, values, nullptr, nullptr, 0));
}

std::string status_statement(const sync_tables& set) {
  return std::string("UPDATE syncinfo set syncdate = $1, status=$2 WHERE tablename='") +
         set.tablename + "';";
}

// The "stamp, status" update of the syncinfo row; the server's text, empty on success.
std::string set_status(PGconn* conn, const sync_tables& set, const std::string& stamp,
                       const char* status) {
  const Oid types[] = {pg_type::timestamp, pg_type::int4};
  const char* values[] = {stamp.c_str(), status};
  const std::string sql = status_statement(set);
  pg_result_ptr res(PQexecParams(conn, sql.c_str(), 2, types, values, nullptr, nullptr, 0));
  return reached(res, PGRES_COMMAND_OK) ? std::string() : server_text(conn, res.get());
}

} // namespace

bool commit_checked(PGconn* conn, std::string& error) {
  pg_result_ptr res(PQexec(conn, "COMMIT;"));
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
  pg_result_ptr res(PQexec(conn, "ROLLBACK;"));
}

// --- merge transactions -------------------------------------------------------------------------

merge_transaction::merge_transaction(PGconn* conn, std::string stamp, const std::string& channel,
                                     std::string failure_text)
    : conn_(conn), stamp_(std::move(stamp)), channel_(channel),
      failure_text_(std::move(failure_text)) {
  pg_result_ptr res(PQexec(conn_, "BEGIN;"));
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

pg_result_ptr merge_transaction::run(const char* sql, ExecStatusType expected) {
  if (failed_) {
    return nullptr;
  }
  pg_result_ptr res = exec_stamped(conn_, sql, stamp_);
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
  pg_result_ptr res = exec_params(conn, sql.c_str(), {tablename});
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

// --- the operations on backends ----------------------------------------------------------------

backoffice_rows::backoffice_rows() = default;
backoffice_rows::~backoffice_rows() = default;
backoffice_rows::backoffice_rows(backoffice_rows&&) noexcept = default;
backoffice_rows& backoffice_rows::operator=(backoffice_rows&&) noexcept = default;

void backoffice_rows::result_free::operator()(pg_result* res) const noexcept {
  PQclear(res);
}

int backoffice_rows::count() const {
  return PQntuples(res_.get());
}

void backoffice_rows::reset(pg_result* res) {
  res_.reset(res);
}

claim_result claim_sync_run(const PGBackend& local, sync_set set, int interval, std::string& stamp,
                            std::string& error) {
  return claim_run(native_connection(local), tables_of(set).tablename, interval, stamp, error);
}

bool prepare_sync_load(const PGBackend& local, sync_set set, std::string& error) {
  PGconn* conn = native_connection(local);
  const sync_tables& t = tables_of(set);
  const pg_result_ptr prepared(PQprepare(conn, "LoadTemp", t.load_statement,
                                         static_cast<int>(t.load_types.size()),
                                         t.load_types.data()));
  if (!reached(prepared, PGRES_COMMAND_OK)) {
    error = server_text(conn, prepared.get());
    return false;
  }
  return true;
}

void delete_older_loads(const PGBackend& local, sync_set set, const std::string& stamp) {
  exec_stamped(native_connection(local), tables_of(set).delete_older, stamp);
}

bool read_backoffice(const PGBackend& office, sync_set set, backoffice_rows& rows,
                     std::string& error) {
  PGconn* conn = native_connection(office);
  pg_result_ptr res(PQexec(conn, tables_of(set).backoffice_query));
  if (!reached(res, PGRES_TUPLES_OK)) {
    error = server_text(conn, res.get());
    return false;
  }
  rows.reset(res.release());
  return true;
}

load_outcome load_sync_rows(const PGBackend& local, const backoffice_rows& rows,
                            const std::string& stamp, sync_set set, const std::string& channel) {
  return load_temp(native_connection(local), rows.result(), stamp, tables_of(set), channel);
}

std::string set_sync_status(const PGBackend& local, sync_set set, const std::string& stamp,
                            const char* status) {
  return set_status(native_connection(local), tables_of(set), stamp, status);
}

std::string delete_own_loads(const PGBackend& local, sync_set set, const std::string& stamp) {
  PGconn* conn = native_connection(local);
  const pg_result_ptr cleaned = exec_stamped(conn, tables_of(set).delete_own, stamp);
  return reached(cleaned, PGRES_COMMAND_OK) ? std::string() : server_text(conn, cleaned.get());
}

} // namespace content
