// The synchronisation run shared by the three reference-data endpoints: the key check, the claim
// of the run, the load of the back-office rows, the data set's merge and the bookkeeping around
// it (the statements are the data layer's, conn_sync.h).
#pragma once

#include <string>

#include "conn_sync.h"
#include "master.h"

namespace srv_apps {

// What tells one data set's run from another's. Every text is a fixed fragment of the program.
struct sync_data_set {
  content::sync_set tables;  // the data set's tables and statements
  const char* start_message; // logged on entry
  const char* load_message;  // logged once the back-office is open
  const char* end_message;   // logged at the very end
  const char* merge_failure; // logged (error) with the server's text when the merge fails
  bool log_unauthorised;     // the price run refuses a key without a log line
};

class sync_endpoint : public master {
public:
  using master::master;

protected:
  // Serves one request of the data set; `interval` is the minimum spacing of runs (minutes).
  void run(const sync_data_set& set, int interval);

  // Merges this run's temporary rows (stamp `stamp`, `loaded` of them) into the live tables.
  // False when the run must stop before marking itself finished; the failure is logged by then.
  virtual bool merge(content::PGBackend& local, const std::string& stamp, int loaded) = 0;

private:
  void finish_run(const sync_data_set& set, content::PGBackend& local,
                  std::unique_ptr<content::PGBackend>& velk, content::backoffice_rows rows,
                  const std::string& stamp);
};

} // namespace srv_apps
