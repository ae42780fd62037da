// The station's report that fueling of an order has started: checked against the order, the
// transaction number kept, and relayed to the aggregator, or the order cancelled on both sides
// when the aggregator does not take it.
#pragma once

#include "station_event.h"

namespace srv_apps {

class stat_fueling final : public station_event {
public:
  using station_event::station_event;
  void send_status();
};

} // namespace srv_apps
