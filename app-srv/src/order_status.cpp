// The status name to internal code mapping.
#include "order_status.h"

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

} // namespace srv_apps
