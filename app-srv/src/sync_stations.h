// Copies the station network's configuration (stations, controller links, dispenser nozzles)
// from the back-office database and marks as deleted the nozzles it no longer lists.
#pragma once

#include "sync_run.h"

namespace srv_apps {

class sync_stations final : public sync_endpoint {
public:
  using sync_endpoint::sync_endpoint;
  void get_sync_stations();
  // The texts of this data set's run.
  static const sync_data_set& data_set();

private:
  bool merge(content::PGBackend& local, const std::string& stamp, int loaded) override;
  void count_disabled(content::PGBackend& local, const std::string& stamp);
};

} // namespace srv_apps
