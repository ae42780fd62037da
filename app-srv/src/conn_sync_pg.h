// The synchronisation's pieces on plain libpq handles: the data sets' tables and statements, the
// merge transaction, the claim and the temporary load. Included by the data layer, its tests and
// the benchmark.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "conn_pg.h"
#include "conn_sync.h"

namespace content {

// Oids of the built-in types the load statements bind (fixed in the server's catalogue).
namespace pg_type {
constexpr Oid boolean = 16;
constexpr Oid int4 = 23;
constexpr Oid text = 25;
constexpr Oid float8 = 701;
constexpr Oid timestamp = 1114;
constexpr Oid numeric = 1700;
} // namespace pg_type

// A data set's tables and statements. Every text is a fixed fragment of the program.
struct sync_tables {
  const char* tablename;       // the syncinfo row
  bool text_null_as_empty;     // a back-office NULL reaches a text column as ""
  const char* load_statement;  // prepared as "LoadTemp"; $1 is the stamp
  std::vector<Oid> load_types; // of $1, $2, ...
  // Parameters ($n) the merge cannot do without (a key, a NOT NULL column): a row with a NULL
  // there is left out of the load, since in the merge it would fail the whole statement.
  std::vector<int> required_params;
  const char* delete_older;     // temporary rows of earlier runs
  const char* delete_own;       // this run's temporary rows
  const char* backoffice_query; // its columns, in order, are $2, $3, ... of the load
};

const sync_tables& tables_of(sync_set set);

// A transaction of a merge on the local connection. The first statement that does not reach its
// expected state is logged at error level with the data set's failure text and rolls the
// transaction back; later statements are then not sent, and commit() reports the failure.
class merge_transaction {
public:
  merge_transaction(PGconn* conn, std::string stamp, const std::string& channel,
                    std::string failure_text);
  ~merge_transaction(); // rolls back what was neither committed nor failed
  merge_transaction(const merge_transaction&) = delete;
  merge_transaction& operator=(const merge_transaction&) = delete;

  // Runs `sql` with $1 = the stamp; null once the transaction has failed.
  pg_result_ptr run(const char* sql, ExecStatusType expected);
  [[nodiscard]] bool commit();
  bool failed() const { return failed_; }

private:
  void fail(const std::string& server_text);

  PGconn* conn_;
  std::string stamp_;
  std::string channel_;
  std::string failure_text_;
  bool open_ = false;
  bool failed_ = false;
};

// The first value of a count a merge returns (sum() over the touched rows): nullopt without a
// row or for NULL or "", -1 when it does not parse as a decimal integer.
std::optional<int> returned_count(const PGresult* res);

// claim_sync_run on a plain connection and a syncinfo row name.
claim_result claim_run(PGconn* conn, const std::string& tablename, int interval, std::string& stamp,
                       std::string& error);

// load_sync_rows on plain handles. A back-office NULL is bound as SQL NULL, or as "" for a text
// parameter when the data set says so.
load_outcome load_temp(PGconn* conn, const PGresult* rows, const std::string& stamp,
                       const sync_tables& set, const std::string& channel);

// A COMMIT of a transaction that had already failed answers with the tag ROLLBACK and no error.
bool commit_checked(PGconn* conn, std::string& error);
void rollback(PGconn* conn);

} // namespace content
