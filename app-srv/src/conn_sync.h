// The reference-data synchronisation's statements: the claim of a run in syncinfo, the stamped
// load of the back-office rows into a temporary table, the data sets' merges and the bookkeeping
// around them. A data set is named by `sync_set`; its tables and statements live here.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "conn.h"

namespace content {

enum class sync_set { prices, products, stations };

enum class claim_result { claimed, refused, failed };

// The back-office's rows for one run, as read; their values stay inside the data layer.
class backoffice_rows {
public:
  backoffice_rows();
  ~backoffice_rows();
  backoffice_rows(backoffice_rows&&) noexcept;
  backoffice_rows& operator=(backoffice_rows&&) noexcept;

  int count() const;
  const pg_result* result() const { return res_.get(); }
  void reset(pg_result* res);

private:
  struct result_free {
    void operator()(pg_result* res) const noexcept;
  };
  std::unique_ptr<pg_result, result_free> res_;
};

struct load_outcome {
  bool ok = false;   // false: the load transaction failed and was rolled back
  int loaded = 0;    // rows now in the temporary table
  std::string error; // the server's text when !ok
};

// Claims the run of the data set in one statement: the syncinfo row's stamp becomes the server's
// time and its status -1 only when the previous stamp is older than `interval` minutes (a NULL
// stamp counts as older). Of two runs started at the same moment the second waits for the
// first's row lock and then finds a fresh stamp. `stamp` gets the new stamp, `error` the
// server's text when the statement failed.
claim_result claim_sync_run(const PGBackend& local, sync_set set, int interval, std::string& stamp,
                            std::string& error);
// Prepares the data set's load statement on the local session; false with the server's text.
bool prepare_sync_load(const PGBackend& local, sync_set set, std::string& error);
// Temporary rows of earlier runs; a failure here costs nothing yet and is not reported.
void delete_older_loads(const PGBackend& local, sync_set set, const std::string& stamp);
// The data set's rows from the back-office database; false with the server's text.
bool read_backoffice(const PGBackend& office, sync_set set, backoffice_rows& rows,
                     std::string& error);
// Loads every row through the prepared statement ($1 = stamp, then the row's columns) in one
// transaction. A row that fails is rolled back to its own savepoint and skipped, as is a row
// without one of the data set's required values; the COMMIT counts only when its tag says so.
load_outcome load_sync_rows(const PGBackend& local, const backoffice_rows& rows,
                            const std::string& stamp, sync_set set, const std::string& channel);
// The "stamp, status" update of the syncinfo row, and the removal of this run's temporary rows:
// the server's text, empty on success.
std::string set_sync_status(const PGBackend& local, sync_set set, const std::string& stamp,
                            const char* status);
std::string delete_own_loads(const PGBackend& local, sync_set set, const std::string& stamp);

// The merges of this run's temporary rows (stamp `stamp`) into the live tables, each in its own
// transaction; a failure is logged on `channel` at error level with `failure_text` and the
// server's text. The price merge gives the number of prices inserted or replaced (nullopt when
// it failed); the station merge marks the nozzles the run no longer lists as deleted.
std::optional<int> merge_prices(const PGBackend& local, const std::string& stamp,
                                const std::string& channel, const std::string& failure_text);
bool merge_products(const PGBackend& local, const std::string& stamp, const std::string& channel,
                    const std::string& failure_text);
bool merge_stations(const PGBackend& local, const std::string& stamp, const std::string& channel,
                    const std::string& failure_text);
// Runs the nozzle disabling once more, for its count only (nullopt when it failed or counted
// nothing).
std::optional<int> count_disabled_nozzles(const PGBackend& local, const std::string& stamp,
                                          const std::string& channel,
                                          const std::string& failure_text);

} // namespace content
