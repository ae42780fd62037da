// Copies the current fuel prices of every station from the back-office database into curprices.
#pragma once

#include "sync_run.h"

namespace srv_apps {

class sync_prices final : public sync_endpoint {
public:
  using sync_endpoint::sync_endpoint;
  void get_sync_prices();
  // The texts of this data set's run.
  static const sync_data_set& data_set();

private:
  bool merge(content::PGBackend& local, const std::string& stamp, int loaded) override;
};

} // namespace srv_apps
