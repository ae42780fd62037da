// The station link's key and the station events' column writes.
#include "conn_station.h"

#include "conn_pg.h"
#include "str.h"
#include "web/log.h"

namespace content {
namespace {

// True when the update ran and changed a row.
bool changed_a_row(const PGBackend& db, const char* sql, std::initializer_list<std::string> params,
                   const char* channel, const std::string& id) {
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    return false;
  }
  const pg_result_ptr res = exec_params(conn, sql, params);
  if (!reached(res, PGRES_COMMAND_OK)) {
    LOG(channel, error,
        "Ошибка обновления данных заказа (заказ : '" << id
                                                     << "') : " << server_text(conn, res.get()));
    return false;
  }
  return changed_rows(res.get()) > 0;
}

// A PostgreSQL array literal of integers.
std::string int_array(const std::vector<int>& values) {
  std::string out = "{";
  for (int v : values) {
    out += (out.size() > 1 ? "," : "") + std::to_string(v);
  }
  return out + "}";
}

std::string volume_text(double volume) {
  return str::dbl2str(volume, 4);
}

} // namespace

bool store_station_key(const PGBackend& db, int id_shop, const std::string& key,
                       std::string& stored, std::string& failure) {
  static constexpr const char* sql =
      "UPDATE links set pass = $1 WHERE id_shop = $2::integer RETURNING pass";
  PGconn* conn = native_connection(db);
  const pg_result_ptr res = exec_params(conn, sql, {key, std::to_string(id_shop)});
  if (!reached(res, PGRES_TUPLES_OK)) {
    failure = server_text(conn, res.get());
    return false;
  }
  stored.clear();
  if (PQntuples(res.get()) > 0 && !PQgetisnull(res.get(), 0, 0)) {
    stored = PQgetvalue(res.get(), 0, 0);
  }
  return true;
}

bool record_completion(const PGBackend& db, int id_app, const std::string& id,
                       const station_completion& c) {
  // The advisory key is the order lock's.
  static constexpr const char* sql =
      "UPDATE orders SET volume = $1::numeric, trannum = $2::integer"
      ", azstimelast = to_timestamp($3, 'DD.MM.YYYY HH24:MI:SS')"
      ", ordstatext = $4, statusint = $5::integer, statusconfirmed = $6::integer"
      " WHERE id_app = $7::integer AND id = $8"
      " AND (coalesce(statusint, -1) = ANY ($9::integer[])"
      " OR (statusint = $10::integer AND pg_try_advisory_xact_lock($7::integer, "
      "hashtext($8::text))))";
  return changed_a_row(db, sql,
                       {volume_text(c.volume), std::to_string(c.trannum), c.station_time,
                        c.status_name, std::to_string(c.statusint),
                        std::to_string(c.statusconfirmed), std::to_string(id_app), id,
                        int_array(c.from), std::to_string(c.busy_status)},
                       "Database/Complete order", id);
}

bool record_confirmation(const PGBackend& db, int id_app, const std::string& id,
                         int statusconfirmed) {
  static constexpr const char* sql =
      "UPDATE orders SET statusconfirmed = $1::integer WHERE id_app = $2::integer AND id = $3";
  return changed_a_row(db, sql, {std::to_string(statusconfirmed), std::to_string(id_app), id},
                       "Database/Complete order", id);
}

bool record_volume(const PGBackend& db, int id_app, const std::string& id, double volume,
                   int final_status) {
  static constexpr const char* sql =
      "UPDATE orders SET volume = $1::numeric WHERE id_app = $2::integer AND id = $3"
      " AND statusint IS DISTINCT FROM $4::integer";
  return changed_a_row(
      db, sql, {volume_text(volume), std::to_string(id_app), id, std::to_string(final_status)},
      "Database/Volume order", id);
}

bool relay_pending(const PGBackend& db, const std::string& kind, int id_app,
                   const std::string& id) {
  static constexpr const char* sql =
      "SELECT 1 FROM orvale_jobs WHERE kind = $1 AND id_app = $2::integer AND order_id = $3"
      " AND state IN ('scheduled', 'running') LIMIT 1";
  PGconn* conn = native_connection(db);
  if (conn == nullptr) {
    return false;
  }
  const pg_result_ptr res = exec_params(conn, sql, {kind, std::to_string(id_app), id});
  return reached(res, PGRES_TUPLES_OK) && PQntuples(res.get()) > 0;
}

} // namespace content
