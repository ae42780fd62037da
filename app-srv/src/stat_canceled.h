// The station's cancellation of an order: the reason kept with the order unless it is finished
// already, and the cancellation relayed to the aggregator.
#pragma once

#include "station_event.h"

namespace srv_apps {

class stat_canceled final : public station_event {
public:
  using station_event::station_event;
  void send_status();
};

} // namespace srv_apps
