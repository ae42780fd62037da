// The completion relays pending in this process, one per order: the root owns them so that a
// repeated completion finds the relay its first report started.
#pragma once

#include <string>

#include "relay.h"

namespace srv_apps {

// The station's values as the aggregator receives them, exactly as the station sent them.
struct completion_values {
  std::string litre;
  std::string extended_order_id;
  std::string extended_date;
};

using completion_relays = pending_relays<completion_values>;

} // namespace srv_apps
