// The station's report of the volume dispensed so far: stored with the order and its relay to the
// aggregator (one attempt) booked, then acknowledged. Past the credential and the value, every
// report is acknowledged: what goes wrong with it only reaches the log.
#pragma once

#include "station_event.h"

namespace srv_apps {

class stat_volume final : public station_event {
public:
  using station_event::station_event;
  void send_status();

private:
  struct report;
  // The volume and its relay; what ends the report early is logged.
  void _record(const report& r, const station_credential& credential);
};

} // namespace srv_apps
