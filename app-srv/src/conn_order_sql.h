// The SQL texts of the order persistence, apart from the backend so that tests can hold each text
// to its template.
#pragma once

#include <string>
#include <vector>

#include "conn.h"
#include "conn_order.h"
#include "conn_pg.h"

namespace content::order_sql {

// The order's internal status ($1 application id, $2 order id), -1 for NULL.
inline constexpr const char* read_status =
    "SELECT coalesce(statusint, -1) FROM orders WHERE id_app = $1::integer AND id = $2";

// Every text goes between single quotes through PQescapeStringConn on `conn` (so with the
// server's standard_conforming_strings a quote is doubled and nothing else changes); numbers are
// rendered by the order rules (decimal, 4 decimals for money and volumes).
std::string select_order(PGconn* conn, int id_app, const std::string& id);
std::string insert_order(PGconn* conn, const OrderData& d);
std::string update_order(PGconn* conn, const OrderData& d);
std::string cancel_order(PGconn* conn, int id_app, const std::string& id, const std::string& reason,
                         int status);
std::string set_transact(PGconn* conn, int id_app, const std::string& id, int trannum);
std::string check_order(PGconn* conn, int id_app, const std::string& id);
// The columns `d` sets, no key and no errcode, on the row whose internal status is one of `from`
// (-1 for NULL); "" when `d` sets no column.
std::string update_order_step(PGconn* conn, const OrderData& d, const std::vector<int>& from);

} // namespace content::order_sql
