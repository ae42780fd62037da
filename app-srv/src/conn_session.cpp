// The pool's record of one session: the command tags a lease produced, and the statements kept
// prepared across leases.
#include "conn_session.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "conn_pg.h"
#include "conn_reference_sql.h"
#include "web/log.h"

namespace content {
namespace {

// The commands a transaction's work answers with, none of which outlives its transaction.
bool transaction_scoped(const PGresult* res, const char* tag) {
  if (PQresultStatus(res) != PGRES_COMMAND_OK && PQresultStatus(res) != PGRES_TUPLES_OK) {
    return false;
  }
  for (const char* scoped : {"BEGIN", "COMMIT", "ROLLBACK", "INSERT", "UPDATE", "DELETE"}) {
    if (std::strncmp(tag, scoped, std::strlen(scoped)) == 0) {
      return true;
    }
  }
  return false;
}

constexpr const char* event_name = "orvale pooled session";

// The server dropped or refused a prepared statement that the record still lists: a name it does
// not know (26000), or a plan whose result type changed under it (0A000).
bool statement_gone(const PGresult* res) {
  const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
  return state != nullptr && (std::strcmp(state, "26000") == 0 || std::strcmp(state, "0A000") == 0);
}

bool succeeded(const PGresult* res) {
  const auto st = PQresultStatus(res);
  return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

} // namespace

int pooled_session::on_event(PGEventId id, void* info, void* /*pass_through*/) {
  switch (id) {
  case PGEVT_REGISTER: {
    auto* e = static_cast<PGEventRegister*>(info);
    auto record = std::make_unique<pooled_session>();
    if (PQsetInstanceData(e->conn, on_event, record.get()) == 0) {
      return 0;
    }
    record.release(); // libpq holds it now; PGEVT_CONNDESTROY takes it back
    return 1;
  }
  case PGEVT_CONNDESTROY: {
    auto* e = static_cast<PGEventConnDestroy*>(info);
    std::unique_ptr<pooled_session> record(
        static_cast<pooled_session*>(PQinstanceData(e->conn, on_event)));
    return 1;
  }
  case PGEVT_CONNRESET: {
    auto* e = static_cast<PGEventConnReset*>(info);
    if (auto* record = static_cast<pooled_session*>(PQinstanceData(e->conn, on_event))) {
      record->forget_all(); // a new server session: no statement survived
      record->read_ahead_.clear();
      record->opening_.clear();
      record->touched_ = true;
    }
    return 1;
  }
  case PGEVT_RESULTCREATE: {
    auto* e = static_cast<PGEventResultCreate*>(info);
    if (auto* record = static_cast<pooled_session*>(PQinstanceData(e->conn, on_event))) {
      record->saw_result(e->result);
    }
    return 1;
  }
  default:
    return 1;
  }
}

bool pooled_session::attach(PGconn* conn) {
  return conn != nullptr && PQregisterEventProc(conn, on_event, event_name, nullptr) == 1 &&
         of(conn) != nullptr;
}

pooled_session* pooled_session::of(const PGconn* conn) {
  if (conn == nullptr) {
    return nullptr;
  }
  return static_cast<pooled_session*>(PQinstanceData(conn, on_event));
}

void pooled_session::begin_lease() {
  read_ahead_.clear();
  opening_.clear();
  plain_reads_ = false;
  transaction_work_ = false;
  touched_ = false;
  session_locks_ = 0;
}

void pooled_session::saw_result(const PGresult* res) {
  if (own_work_) {
    return;
  }
  // Only a SELECT's tag proves nothing but reading happened at the top level; SET, PREPARE,
  // DECLARE, LISTEN, CREATE, BEGIN and failures all may leave state behind.
  if (PQresultStatus(res) == PGRES_PIPELINE_SYNC) {
    return; // a pipeline's end, no command of its own
  }
  const char* tag = PQcmdStatus(const_cast<PGresult*>(res)); // libpq's signature lacks const
  if (PQresultStatus(res) == PGRES_TUPLES_OK && std::strncmp(tag, "SELECT", 6) == 0) {
    return;
  }
  if (transaction_work_ && transaction_scoped(res, tag)) {
    return;
  }
  touched_ = true;
}

bool pooled_session::promised(const PGconn* conn) const {
  if (touched_) {
    return false;
  }
  // Plain reads run outside transactions; transaction work prepares inside its own.
  return transaction_work_ || (plain_reads_ && PQtransactionStatus(conn) == PQTRANS_IDLE);
}

bool pooled_session::clean(const PGconn* conn) const {
  // An order's lock taken in a read-ahead that the lock's first try never took is held without
  // being counted.
  const bool lock_read_ahead =
      std::any_of(read_ahead_.begin(), read_ahead_.end(),
                  [](const read_ahead& r) { return r.sql == reference_sql::try_lock_order; });
  return (plain_reads_ || transaction_work_) && !touched_ && session_locks_ == 0 &&
         !lock_read_ahead && PQtransactionStatus(conn) == PQTRANS_IDLE;
}

void pooled_session::discarded() {
  forget_all();
}

void pooled_session::forget_all() {
  prepared_.clear();
  by_sql_.clear();
  seen_once_.clear();
}

bool pooled_session::prepare(PGconn* conn, const std::string& sql, const std::string& name,
                             int count) {
  own_work_ = true;
  const pg_result_ptr res(PQprepare(conn, name.c_str(), sql.c_str(), count, nullptr));
  own_work_ = false;
  if (res == nullptr || !succeeded(res.get())) {
    // The text will fail the same way unnamed and report it there.
    touched_ = true;
    return false;
  }
  return true;
}

void pooled_session::drop(PGconn* conn, lru_list::iterator it) {
  own_work_ = true;
  const std::string sql = "DEALLOCATE " + it->name;
  const pg_result_ptr res(PQexec(conn, sql.c_str()));
  own_work_ = false;
  if (res == nullptr || !succeeded(res.get())) {
    touched_ = true; // the give-back resets the session and the list with it
  }
  by_sql_.erase(it->sql);
  prepared_.erase(it);
}

const pooled_session::prepared_statement*
pooled_session::statement_for(PGconn* conn, const std::string& sql, int count) {
  if (const auto found = by_sql_.find(sql); found != by_sql_.end()) {
    prepared_.splice(prepared_.begin(), prepared_, found->second);
    return &prepared_.front();
  }
  // A text used once may never come again (a station list of its own): preparing it would cost
  // a round trip for nothing. The second use on this connection prepares it.
  if (seen_once_.erase(sql) == 0) {
    if (seen_once_.size() >= max_seen_once) {
      seen_once_.clear();
    }
    seen_once_.insert(sql);
    return nullptr;
  }
  if (prepared_.size() >= max_prepared) {
    drop(conn, std::prev(prepared_.end()));
    if (touched_) {
      return nullptr;
    }
  }
  const std::string name = "orvale_" + std::to_string(++next_name_);
  if (!prepare(conn, sql, name, count)) {
    return nullptr;
  }
  prepared_.push_front(prepared_statement{sql, name});
  by_sql_.emplace(sql, prepared_.begin());
  return &prepared_.front();
}

std::string pooled_session::pipeline_name(PGconn* conn, const std::string& sql, int count) {
  if (!promised(conn)) {
    return {};
  }
  const prepared_statement* st = statement_for(conn, sql, count);
  return st != nullptr ? st->name : std::string();
}

void pooled_session::saw_pipeline_result(const PGresult* res) {
  if (res == nullptr || !statement_gone(res)) {
    return;
  }
  LOG("Database", warning, "Подготовленный запрос конвейера отклонён сервером");
  forget_all();
  touched_ = true;
}

void pooled_session::keep_read_ahead(std::string sql, std::vector<std::string> values,
                                     pg_result_ptr res) {
  read_ahead_.push_back(read_ahead{std::move(sql), std::move(values), std::move(res)});
}

pg_result_ptr pooled_session::take_read_ahead(const char* sql, int count,
                                              const char* const* values) {
  const auto same = [&](const read_ahead& r) {
    if (r.sql != sql || static_cast<int>(r.values.size()) != count) {
      return false;
    }
    for (int i = 0; i < count; ++i) {
      if (values[i] == nullptr || r.values[i] != values[i]) {
        return false;
      }
    }
    return true;
  };
  const auto found = std::find_if(read_ahead_.begin(), read_ahead_.end(), same);
  if (found == read_ahead_.end()) {
    return nullptr;
  }
  pg_result_ptr res = std::move(found->res);
  read_ahead_.erase(found);
  return res;
}

PGresult* pooled_session::exec(PGconn* conn, const char* sql, int count,
                               const char* const* values) {
  if (promised(conn)) { // prepared statements outlive only leases that go back unreset
    const std::string text = sql;
    if (const prepared_statement* st = statement_for(conn, text, count)) {
      PGresult* res = PQexecPrepared(conn, st->name.c_str(), count, values, nullptr, nullptr, 0);
      if (res == nullptr || !statement_gone(res) || PQtransactionStatus(conn) != PQTRANS_IDLE) {
        return res;
      }
      LOG("Database", debug,
          "Подготовленный запрос " << st->name << " отклонён сервером, выполняется заново");
      PQclear(res);
      const auto it = by_sql_.find(text);
      drop(conn, it->second);
    }
  }
  return PQexecParams(conn, sql, count, nullptr, values, nullptr, nullptr, 0);
}

} // namespace content
