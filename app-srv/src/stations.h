// The aggregator's station configuration: stations, their dispensers and products.
#pragma once

#include <string>

#include "catalogue.h"

namespace srv_apps {

class stations final : public catalogue_endpoint {
public:
  using catalogue_endpoint::catalogue_endpoint;
  void get_stations();
};

} // namespace srv_apps
