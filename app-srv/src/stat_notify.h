// A station's free-text message about an order: logged when receiving is switched on, and passed
// to the aggregator when forwarding is switched on too.
#pragma once

#include "station_event.h"

namespace srv_apps {

class stat_notify final : public station_event {
public:
  using station_event::station_event;
  void send_status();
};

} // namespace srv_apps
