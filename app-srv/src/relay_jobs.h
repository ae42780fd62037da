// The station events' relays to the aggregator as stored jobs: what an event books beside its own
// write, and the handlers that make one try per run by the relay's schedule.
#pragma once

#include <string>

#include "gateway_services.h"
#include "gateway_settings.h"
#include "job_runner.h"

namespace srv_apps {

// The kinds as the job view shows them.
namespace relay_kind {
inline constexpr const char* fueling = "fueling";
inline constexpr const char* canceled = "canceled";
inline constexpr const char* completed = "completed";
inline constexpr const char* volume = "volume";
inline constexpr const char* notify = "notify";
} // namespace relay_kind

// Whom a relay reports for: the application (its id and the key the station presented) and the
// order.
struct relay_order {
  int id_app = -1;
  std::string apikey;
  std::string order_id;
};

// The station's completion values as the aggregator receives them, exactly as the station sent
// them.
struct completion_values {
  std::string litre;
  std::string extended_order_id;
  std::string extended_date;
};

job_booking fueling_relay(const gateway_settings& settings, const relay_order& order);
// The cancellation the station reports.
job_booking cancel_relay(const gateway_settings& settings, const relay_order& order,
                         const std::string& reason);
// One per order: a completion repeated while its relay waits hands it the newer values.
job_booking completion_relay(const gateway_settings& settings, const relay_order& order,
                             const completion_values& values);
job_booking volume_relay(const gateway_settings& settings, const relay_order& order,
                         const std::string& litre);
job_booking notify_relay(const gateway_settings& settings, const relay_order& order,
                         const std::string& msg);

// The handlers of the five kinds; the root calls it once, before the runner starts.
void register_relay_jobs(job_runner& jobs, endpoint_env env);

} // namespace srv_apps
