// The checks of the station texts that the order persistence writes.
#pragma once

#include <string>

namespace content::order_sql {

// A plain decimal number: an optional '-', digits, optionally '.' and digits; nothing around it.
bool is_decimal_number(const std::string& text);
// DD.MM.YYYY HH24:MI:SS with day, month, hour, minute and second in their ranges.
bool is_station_time(const std::string& text);

} // namespace content::order_sql
