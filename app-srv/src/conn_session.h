// What the pool knows of one of its sessions beyond libpq's own state: whether the current lease
// may have left session state behind, and which statements are kept prepared on it. The record
// hangs on the libpq connection itself, so it travels with the connection through the pool and
// goes with it when the connection is closed.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <libpq-events.h>
#include <libpq-fe.h>

#include "conn_pg.h"

namespace content {

class pooled_session {
public:
  // Statements kept prepared at most, and texts remembered as used once, per connection.
  static constexpr std::size_t max_prepared = 64;
  static constexpr std::size_t max_seen_once = 4 * max_prepared;

  // Gives a pooled connection its record, before its first statement; false when libpq refused.
  static bool attach(PGconn* conn);
  // The record of a pooled connection; null for a connection opened for one request only.
  static pooled_session* of(const PGconn* conn);

  pooled_session() = default;
  pooled_session(const pooled_session&) = delete;
  pooled_session& operator=(const pooled_session&) = delete;

  // A new lease: nothing promised, nothing seen yet.
  void begin_lease();
  // The request promises to run nothing but SELECTs without session-level side effects (no
  // set_config, no advisory locks, no temporary tables): a lease that kept the promise, as far
  // as the command tags of its results show, leaves the session as it found it.
  void promise_plain_reads() { plain_reads_ = true; }
  // The lease promises that whatever it does beyond SELECTs stays inside transactions it ends
  // (INSERT, UPDATE, DELETE between BEGIN and COMMIT or ROLLBACK, transaction-level locks and
  // settings only): given back outside a transaction it leaves the session as it found it.
  void promise_transaction_work() { transaction_work_ = true; }
  // A session-level lock the lease takes (a SELECT, so no command tag shows it) and, once the
  // server confirmed it gone, gives up: the lease is clean only with none held.
  void took_session_lock() { ++session_locks_; }
  void released_session_lock() { --session_locks_; }
  // True when the lease may be given back without DISCARD ALL.
  bool clean(const PGconn* conn) const;
  // DISCARD ALL ran: the prepared statements are gone with everything else.
  void discarded();

  // Runs `sql` as the unnamed statement, or, under the promise and once the text is seen again
  // on this connection, as a statement prepared for it. A prepared statement the server no
  // longer accepts is dropped and the text runs unnamed.
  PGresult* exec(PGconn* conn, const char* sql, int count, const char* const* values);

  // For a statement of a pipeline, sent before the pipeline starts: the name of the statement
  // prepared for `sql` under the same rules as exec(), or empty to send it unnamed.
  std::string pipeline_name(PGconn* conn, const std::string& sql, int count);
  // A result of a pipeline that sent prepared statements: if the server refused one of them, the
  // record no longer trusts its list, and the give-back resets the session.
  void saw_pipeline_result(const PGresult* res);

  std::size_t prepared_count() const { return prepared_.size(); }

  // A result read ahead in a pipeline for this lease: the lease's next exec() of the same text
  // with the same values takes it instead of a round trip, once. Gone when the lease ends.
  void keep_read_ahead(std::string sql, std::vector<std::string> values, pg_result_ptr res);
  pg_result_ptr take_read_ahead(const char* sql, int count, const char* const* values);

  // A transaction's opening statements (BEGIN, the order's lock), held back to go out in the
  // round trip of its first statement (exec_pipeline): a transaction costs no round trip of its
  // own, and one that runs nothing sends nothing. Gone when the lease ends.
  void defer_opening(std::vector<piped_statement> statements) { opening_ = std::move(statements); }
  bool opening_deferred() const { return !opening_.empty(); }
  std::vector<piped_statement> take_opening() { return std::exchange(opening_, {}); }

private:
  struct prepared_statement {
    std::string sql;
    std::string name;
  };
  using lru_list = std::list<prepared_statement>; // most recently used first

  static int on_event(PGEventId id, void* info, void* pass_through);
  void saw_result(const PGresult* res);
  // Under a promise and nothing outside it seen yet: statements may be prepared.
  bool promised(const PGconn* conn) const;
  // The prepared statement for `sql`, prepared now if it is due; null to run it unnamed.
  const prepared_statement* statement_for(PGconn* conn, const std::string& sql, int count);
  bool prepare(PGconn* conn, const std::string& sql, const std::string& name, int count);
  void drop(PGconn* conn, lru_list::iterator it);
  void forget_all();

  bool plain_reads_ = false;
  bool transaction_work_ = false;
  bool touched_ = false;  // a result that was not a plain SELECT's
  bool own_work_ = false; // the record's own PREPARE/DEALLOCATE is running
  int session_locks_ = 0;
  unsigned long next_name_ = 0;
  lru_list prepared_;
  std::unordered_map<std::string, lru_list::iterator> by_sql_;
  std::unordered_set<std::string> seen_once_;
  struct read_ahead {
    std::string sql;
    std::vector<std::string> values;
    pg_result_ptr res;
  };
  std::vector<read_ahead> read_ahead_;
  std::vector<piped_statement> opening_;
};

} // namespace content
