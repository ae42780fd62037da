// Price lists pushed by station controllers, and the two fixed answers beside them.
#pragma once

#include <string>

#include "master.h"

namespace srv_apps {

class callback final : public master {
public:
  using master::master;
  void get_callback_prices();
  void get_callback_config();
  void default_response();

private:
  // The station id of the link whose key is exactly `pass`; -1 when there is none.
  static int station_by_key(const content::PGBackend& db, const std::string& pass);
  // Writes the items of `list`; returns how many prices were written.
  int write_prices(content::PGBackend& db, const web::json::array& list,
                   const std::string& station_key, int station);
};

} // namespace srv_apps
