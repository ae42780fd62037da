// The station's report of the volume dispensed so far: acknowledged at once, then stored with the
// order and passed to the aggregator in one attempt. Later failures only reach the log.
#pragma once

#include "station_event.h"

namespace srv_apps {

class stat_volume final : public station_event {
public:
  using station_event::station_event;
  void send_status();

private:
  struct report;
  // After the reply: false when the report ends here (the reason is logged).
  bool _record(const report& r, const station_credential& credential);
};

} // namespace srv_apps
