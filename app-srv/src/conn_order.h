// The SQL texts of the order persistence and the checks of the station texts they carry, apart
// from the backend so that tests can hold each text to its template.
#pragma once

#include <string>
#include <vector>

#include <libpq-fe.h>

#include "conn.h"

namespace content::order_sql {

// Every text goes between single quotes through PQescapeStringConn on `conn` (so with the
// server's standard_conforming_strings a quote is doubled and nothing else changes); numbers are
// rendered by the order rules (decimal, 4 decimals for money and volumes).
std::string select_order(PGconn* conn, int id_app, const std::string& id);
std::string insert_order(PGconn* conn, const OrderData& d);
std::string update_order(PGconn* conn, const OrderData& d);
std::string cancel_order(PGconn* conn, int id_app, const std::string& id, const std::string& reason,
                         int status);
// `volume` and `time` are put in as they are: callers check them first.
std::string complete_order(PGconn* conn, int id_app, const std::string& id,
                           const std::string& volume, int trannum, const std::string& time,
                           int status);
std::string upd_volume(PGconn* conn, int id_app, const std::string& id, const std::string& volume,
                       int trannum);
std::string set_transact(PGconn* conn, int id_app, const std::string& id, int trannum);
std::string check_order(PGconn* conn, int id_app, const std::string& id);
// The columns `d` sets, no key and no errcode, on the row whose internal status is one of `from`
// (-1 for NULL); "" when `d` sets no column.
std::string update_order_step(PGconn* conn, const OrderData& d, const std::vector<int>& from);

// A plain decimal number: an optional '-', digits, optionally '.' and digits; nothing around it.
bool is_decimal_number(const std::string& text);
// DD.MM.YYYY HH24:MI:SS with day, month, hour, minute and second in their ranges.
bool is_station_time(const std::string& text);

} // namespace content::order_sql
