// The station's report that an order is finished: volume, transaction number and time recorded
// with the order, and the completion relayed to the aggregator for as long as the order may live.
#pragma once

#include "station_event.h"

namespace srv_apps {

class stat_completed final : public station_event {
public:
  using station_event::station_event;
  void send_status();
};

} // namespace srv_apps
