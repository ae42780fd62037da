// The aggregator's price list: current prices per station in the caller's product codes.
#pragma once

#include <string>

#include "catalogue.h"

namespace srv_apps {

class prices final : public catalogue_endpoint {
public:
  using catalogue_endpoint::catalogue_endpoint;
  void get_prices();
};

} // namespace srv_apps
