// The relays' retry schedules.
#include "relay.h"

namespace srv_apps {
namespace {

constexpr web::millis short_pause{10000};
constexpr web::millis minute{60000};
constexpr int tries_per_step = 10;

} // namespace

relay_schedule relay_schedule::fixed(int max_tries, web::millis pause) {
  return relay_schedule(false, max_tries, pause, web::millis(0));
}

relay_schedule relay_schedule::completion(web::millis limit) {
  return relay_schedule(true, 0, short_pause, limit);
}

bool relay_schedule::may_try(int tries_done, web::millis age) const {
  return by_age_ ? age < limit_ : tries_done < max_tries_;
}

web::millis relay_schedule::pause_after(int tries_done) const {
  if (!by_age_ || tries_done <= 0 || tries_done % tries_per_step != 0) {
    return pause_;
  }
  return minute * (tries_done / tries_per_step + 1);
}

} // namespace srv_apps
