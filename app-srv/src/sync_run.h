// The synchronisation run shared by the three reference-data endpoints: the key check, the claim
// of the run in syncinfo, the stamped load of the back-office rows into a temporary table, the
// data set's merge and the bookkeeping around it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <libpq-fe.h>

#include "master.h"

namespace srv_apps {

// Oids of the built-in types the load statements bind (fixed in the server's catalogue).
namespace pg_type {
constexpr Oid boolean = 16;
constexpr Oid int4 = 23;
constexpr Oid text = 25;
constexpr Oid float8 = 701;
constexpr Oid timestamp = 1114;
constexpr Oid numeric = 1700;
} // namespace pg_type

// What tells one data set's run from another's. Every text is a fixed fragment of the program.
struct sync_data_set {
  const char* tablename;       // the syncinfo row
  const char* start_message;   // logged on entry
  const char* load_message;    // logged once the back-office is open
  const char* end_message;     // logged at the very end
  const char* merge_failure;   // logged (error) with the server's text when the merge fails
  bool log_unauthorised;       // the price run refuses a key without a log line
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
  content::pg_result_ptr run(const char* sql, ExecStatusType expected);
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

class sync_endpoint : public master {
public:
  using master::master;

protected:
  // Serves one request of the data set; `interval` is the minimum spacing of runs (minutes).
  void run(const sync_data_set& set, int interval);

  // Merges this run's temporary rows (stamp `stamp`, `loaded` of them) into the live tables.
  // False when the run must stop before marking itself finished; the failure is logged by then.
  virtual bool merge(PGconn* local, const std::string& stamp, int loaded) = 0;

private:
  void finish_run(const sync_data_set& set, content::PGBackend& local,
                  std::unique_ptr<content::PGBackend>& velk, content::pg_result_ptr rows,
                  const std::string& stamp);
};

// The first value of a count a merge returns (sum() over the touched rows): nullopt without a
// row or for NULL or "", -1 when it does not parse as a decimal integer.
std::optional<int> returned_count(const PGresult* res);

enum class claim_result { claimed, refused, failed };

// Claims the run of `tablename` in one statement: the row's stamp becomes the server's time and
// its status -1 only when the previous stamp is older than `interval` minutes (a NULL stamp
// counts as older). Of two runs started at the same moment the second waits for the first's row
// lock and then finds a fresh stamp. `stamp` gets the new stamp, `error` the server's text when
// the statement failed.
claim_result claim_run(PGconn* conn, const std::string& tablename, int interval, std::string& stamp,
                       std::string& error);

struct load_outcome {
  bool ok = false;   // false: the load transaction failed and was rolled back
  int loaded = 0;    // rows of `rows` now in the temporary table
  std::string error; // the server's text when !ok
};

// Loads every row of `rows` through the prepared "LoadTemp" ($1 = stamp, then the row's columns)
// in one transaction. A row that fails is rolled back to its own savepoint and skipped, as is a
// row without one of the data set's required values; the COMMIT counts only when its tag says
// so. A back-office NULL is bound as SQL NULL, or as "" for a text parameter when the data set
// says so.
load_outcome load_temp(PGconn* conn, const PGresult* rows, const std::string& stamp,
                       const sync_data_set& set, const std::string& channel);

} // namespace srv_apps
