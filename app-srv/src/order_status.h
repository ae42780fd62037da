// The two statuses every order carries: the aggregator's status name, resolved per application to
// a status type, and the gateway's own internal code that drives the order through its steps,
// with the flag that says whether the peer acknowledged the latest change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace srv_apps {

// Stored in orders.statusint. Codes 2 and 7 have no name: only the gateway sets them.
enum IntStatusType : std::int32_t {
  INT_STATUS_UNSET = -1,           // no name, or never written
  INT_STATUS_OTHER = 0,            // a name the gateway does not know
  INT_STATUS_CREATED = 1,          // "OrderCreated"; also once the station answered the order
  INT_STATUS_FUELING = 2,          // the dispenser start went to the station
  INT_STATUS_COMPLETED = 3,        // "Completed"
  INT_STATUS_EXPIRE = 4,           // "Expire"
  INT_STATUS_STATION_CANCELED = 5, // "StationCanceled": refused by the station or the gateway
  INT_STATUS_USER_CANCELED = 6,    // "UserCanceled"
  INT_STATUS_IN_PROGRESS = 7,      // being forwarded to the station, no answer recorded yet
};

// Stored in orders.statusconfirmed.
enum StatusConfirmed : std::int32_t {
  CONFIRM_UNSET = -1, // not to be written
  CONFIRM_NO = 0,     // the peer has not acknowledged the latest change yet
  CONFIRM_YES = 1,    // the peer answered HTTP 200
};

// The aggregator's status names that have a code of their own.
inline constexpr const char* STATUS_ORDER_CREATED = "OrderCreated";
inline constexpr const char* STATUS_COMPLETED = "Completed";
inline constexpr const char* STATUS_EXPIRE = "Expire";
inline constexpr const char* STATUS_STATION_CANCELED = "StationCanceled";
inline constexpr const char* STATUS_USER_CANCELED = "UserCanceled";

// Exact and case-sensitive: -1 for "", the code of one of the five names above, 0 otherwise.
IntStatusType _orderStatus_name2code(const std::string& name);

// Who moves an order's internal status: the order's run, or the station controller's events.
enum class order_actor { run, station };

// The stored internal statuses (INT_STATUS_UNSET for NULL) from which `actor` may set `to`; empty
// when it may not set `to` at all. Every write of a status goes through this one table, checked by
// the database in the same statement, so that two writers racing for one order cannot move it
// backwards: a completed or cancelled order is never set back to accepted or fueling, and the run
// never writes over the completion the station reported.
const std::vector<int>& allowed_from(order_actor actor, IntStatusType to);
bool may_move(order_actor actor, int from, IntStatusType to);

} // namespace srv_apps
