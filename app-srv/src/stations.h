// The aggregator's station configuration: stations, their dispensers and products.
#pragma once

#include <string>

#include "catalogue.h"

namespace srv_apps {

// The one statement of the station configuration (also run by the benchmark).
std::string station_statement(int id_app, const std::string& stations);

class stations final : public catalogue_endpoint {
public:
  using catalogue_endpoint::catalogue_endpoint;
  void get_stations();
};

} // namespace srv_apps
