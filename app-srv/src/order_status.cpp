// The status name to internal code mapping.
#include "order_status.h"

#include <algorithm>
#include <array>
#include <utility>

namespace srv_apps {

IntStatusType _orderStatus_name2code(const std::string& name) {
  if (name.empty()) {
    return INT_STATUS_UNSET;
  }
  static constexpr std::array<std::pair<const char*, IntStatusType>, 5> named = {{
      {STATUS_ORDER_CREATED, INT_STATUS_CREATED},
      {STATUS_COMPLETED, INT_STATUS_COMPLETED},
      {STATUS_EXPIRE, INT_STATUS_EXPIRE},
      {STATUS_STATION_CANCELED, INT_STATUS_STATION_CANCELED},
      {STATUS_USER_CANCELED, INT_STATUS_USER_CANCELED},
  }};
  for (const auto& [text, code] : named) {
    if (name == text) {
      return code;
    }
  }
  return INT_STATUS_OTHER;
}

namespace {

constexpr int unset = INT_STATUS_UNSET;
constexpr int other = INT_STATUS_OTHER;
constexpr int created = INT_STATUS_CREATED;
constexpr int fueling = INT_STATUS_FUELING;
constexpr int completed = INT_STATUS_COMPLETED;
constexpr int expired = INT_STATUS_EXPIRE;
constexpr int station_canceled = INT_STATUS_STATION_CANCELED;
constexpr int user_canceled = INT_STATUS_USER_CANCELED;
constexpr int in_progress = INT_STATUS_IN_PROGRESS;

struct transition {
  order_actor actor;
  IntStatusType to;
  std::vector<int> from;
};

const std::vector<transition>& transitions() {
  // "Open": nothing final recorded yet (the station may still be serving the order).
  static const std::vector<transition> table = {
      // A new order's forwarding, the station's answer to it, the dispenser start.
      {order_actor::run, INT_STATUS_IN_PROGRESS, {unset, other, created, in_progress}},
      {order_actor::run, INT_STATUS_CREATED, {in_progress, created}},
      {order_actor::run, INT_STATUS_FUELING, {created, fueling}},
      // The aggregator's own completion and expiry close only an open order.
      {order_actor::run, INT_STATUS_COMPLETED, {unset, other, created, fueling, in_progress}},
      {order_actor::run, INT_STATUS_EXPIRE, {unset, other, created, fueling, in_progress}},
      // A cancellation may restate one (the confirmation write of the same step), never a
      // completion or an expiry.
      {order_actor::run,
       INT_STATUS_STATION_CANCELED,
       {unset, other, created, fueling, in_progress, station_canceled, user_canceled}},
      {order_actor::run,
       INT_STATUS_USER_CANCELED,
       {unset, other, created, fueling, in_progress, station_canceled, user_canceled}},
      // The station reports what it dispensed whatever the run recorded, but not while the run
      // has yet to store the station's answer to the forwarded order (in progress; the writer
      // admits that state only when no run holds the order).
      {order_actor::station,
       INT_STATUS_COMPLETED,
       {unset, other, created, fueling, completed, expired, station_canceled, user_canceled}},
  };
  return table;
}

} // namespace

const std::vector<int>& allowed_from(order_actor actor, IntStatusType to) {
  static const std::vector<int> none;
  for (const transition& t : transitions()) {
    if (t.actor == actor && t.to == to) {
      return t.from;
    }
  }
  return none;
}

bool may_move(order_actor actor, int from, IntStatusType to) {
  const std::vector<int>& states = allowed_from(actor, to);
  return std::find(states.begin(), states.end(), from) != states.end();
}

} // namespace srv_apps
