// The temporary load of the back-office rows, pipelined with a savepoint per row.
#include <algorithm>

#include "conn_sync_pg.h"
#include "web/log.h"

namespace content {
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
  temp_loader(PGconn* conn, const PGresult* rows, const std::string& stamp, const sync_tables& set,
              const std::string& channel)
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
  bool undo_row();

  PGconn* conn_;
  const PGresult* rows_;
  const std::string& stamp_;
  const sync_tables& set_;
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
  pg_result_ptr res(PQgetResult(conn_));
  if (!res) {
    if (error != nullptr) {
      *error = server_text(conn_, nullptr);
    }
    return PGRES_FATAL_ERROR;
  }
  const ExecStatusType status = PQresultStatus(res.get());
  if (status != PGRES_PIPELINE_SYNC) {
    pg_result_ptr end(PQgetResult(conn_));
  }
  if (status == PGRES_FATAL_ERROR && error != nullptr) {
    *error = server_text(conn_, res.get());
  }
  return status;
}

std::optional<std::size_t> temp_loader::read_window(std::size_t from, std::size_t to) {
  for (std::size_t pos = from; pos < to; ++pos) {
    std::string row_error;
    const ExecStatusType savepoint = next_result(&error_);
    const ExecStatusType insert = next_result(&row_error);
    const ExecStatusType release = next_result(&error_);
    if (savepoint != PGRES_COMMAND_OK) {
      skip_to_sync(conn_);
      return std::nullopt;
    }
    if (insert != PGRES_COMMAND_OK) {
      LOG(channel_, debug, "Строка " << sendable_[pos] + 1 << " не загружена : " << row_error);
      return skip_to_sync(conn_) ? std::optional(pos) : std::nullopt;
    }
    if (release != PGRES_COMMAND_OK) {
      skip_to_sync(conn_);
      return std::nullopt;
    }
    ++loaded_;
  }
  return skip_to_sync(conn_) ? std::optional(to) : std::nullopt;
}

bool temp_loader::undo_row() {
  if (!send_plain(conn_, "ROLLBACK TO SAVEPOINT load_row") ||
      !send_plain(conn_, "RELEASE SAVEPOINT load_row") || PQpipelineSync(conn_) != 1) {
    error_ = server_text(conn_, nullptr);
    return false;
  }
  const bool undone = next_result(&error_) == PGRES_COMMAND_OK;
  const bool released = next_result(&error_) == PGRES_COMMAND_OK;
  return skip_to_sync(conn_) && undone && released;
}

load_outcome temp_loader::run() {
  load_outcome out;
  if (PQntuples(rows_) > 0 && PQnfields(rows_) + 1 != static_cast<int>(set_.load_types.size())) {
    out.error = "число столбцов (" + std::to_string(PQnfields(rows_)) +
                ") не соответствует загрузке (" + std::to_string(set_.load_types.size() - 1) + ")";
    return out;
  }
  pg_result_ptr begun(PQexec(conn_, "BEGIN;"));
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
                       const sync_tables& set, const std::string& channel) {
  return temp_loader(conn, rows, stamp, set, channel).run();
}

} // namespace content
