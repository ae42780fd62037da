// The reference lookups an order's checks make, apart from their operations so that a new
// order's read-ahead (PGBackend::prefetch_order_lookups) sends exactly the same statements.
#pragma once

namespace content::reference_sql {

// The order's session lock, first try (content::lock_order). The two-key form: the application
// id as it is, the order id through hashtext. $1 application id, $2 order id.
inline constexpr const char* try_lock_order =
    "SELECT pg_try_advisory_lock($1::integer, hashtext($2::text))";

// $1 station id.
inline constexpr const char* station =
    "SELECT a.id FROM azslist a WHERE a.id = $1::integer AND a.deleted = 'f'";
// $1 station id.
inline constexpr const char* station_link =
    "SELECT l.id_shop, l.addr, l.port, l.pass, l.ssl::integer "
    "FROM links l WHERE l.id_shop = $1::integer LIMIT 1";
// $1 application id, $2 product map.
inline constexpr const char* product =
    "SELECT m.prodcod FROM prodmaps m WHERE m.id_app = $1::integer AND m.prodmap = $2 LIMIT 1";
// The names stay LIKE patterns, as callers rely on ("Complete%" finds "Completed"), but the
// pattern is bound: it can widen the match, never change the statement. $1 application id,
// $2 name.
inline constexpr const char* order_type =
    "SELECT o.id FROM ordtypes o WHERE o.id_app = $1::integer AND o.sname LIKE $2 LIMIT 1";
inline constexpr const char* status_type =
    "SELECT s.id FROM stattypes s WHERE s.id_app = $1::integer AND s.sname LIKE $2 LIMIT 1";

// A dispenser's state for orders: 0 free, 1 deleted, 2 temporarily blocked (deletion wins). Read
// by a new order's check, and ahead with the order's INSERT. $1 station, $2 product, $3 dispenser.
inline constexpr const char* dispenser_state =
    "SELECT CASE WHEN c.deleted = true THEN 1"
    " ELSE CASE WHEN c.temp_blocked = true THEN 2 ELSE 0 END END AS stat FROM azsconf c"
    " WHERE c.id_shop = $1::integer AND c.prodcod = $2::integer AND c.trk = $3::integer"
    " LIMIT 1";

} // namespace content::reference_sql
