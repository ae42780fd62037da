// The aggregator's order API as the station event relay calls it: the station's values go on as
// the station sent them (the reason unencoded, the litres as text), unlike the order endpoint's
// calls to the same paths.
#pragma once

#include <string>

#include "order_upstream.h"

namespace srv_apps {

// Each call is one POST and returns the result code of perform_call (503 without an upstream
// URL, 500, 502, or the aggregator's HTTP status); none throws. Values are passed through
// form_escape.
class station_upstream {
public:
  explicit station_upstream(order_upstream upstream) : upstream_(std::move(upstream)) {}

  long upstream_fueling(const std::string& apikey, const std::string& order_id) const;
  long upstream_cancel(const std::string& apikey, const std::string& order_id,
                       const std::string& reason) const;
  long upstream_completed(const std::string& apikey, const std::string& order_id,
                          const std::string& extended_order_id, const std::string& extended_date,
                          const std::string& litre) const;
  // 3 s limits, the message's lines on "orvale/message".
  long upstream_volume(const std::string& apikey, const std::string& order_id,
                       const std::string& litre) const;
  long upstream_notify(const std::string& apikey, const std::string& order_id,
                       const std::string& msg) const;

private:
  order_upstream upstream_;
};

} // namespace srv_apps
