// The station event pattern: credential, caller, order lookup and the events' column writes.
#include "station_event.h"

#include <array>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <vector>

#include "order_status.h"
#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

std::string part(const std::vector<std::string>& parts, std::size_t i) {
  return i < parts.size() ? parts[i] : std::string();
}

// True when the update ran and changed a row.
bool changed_a_row(PGconn* conn, const char* sql, std::initializer_list<std::string> params,
                   const char* channel, const std::string& id) {
  if (conn == nullptr) {
    return false;
  }
  const content::pg_result_ptr res = content::exec_params(conn, sql, params);
  if (!res || PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
    LOG(channel, error,
        "Ошибка обновления данных заказа (заказ : '"
            << id << "') : "
            << content::one_line(res ? PQresultErrorMessage(res.get()) : PQerrorMessage(conn)));
    return false;
  }
  int rows = 0;
  return str::_stoi(PQcmdTuples(res.get()), &rows) == 0 && rows > 0;
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

station_credential station_credential::parse(const std::string& apikey) {
  const std::vector<std::string> parts = str::split(apikey, std::string(","));
  return station_credential{part(parts, 0), part(parts, 1), part(parts, 2)};
}

bool station_credential::has_all_parts() const {
  return !app_key.empty() && !service_key.empty() && !station_key.empty();
}

caller_check identify_caller(PGconn* conn, const station_credential& credential,
                             station_caller& out) {
  content::AppTypeInfo app;
  app.authAppInfo(conn, credential.app_key);
  if (app.id() < 0) {
    return caller_check::unknown_application;
  }
  content::AzsConnInfo station;
  station.getAzsConnValues(conn, credential.station_key);
  if (station.id() < 0) {
    return caller_check::unknown_station;
  }
  out.id_app = app.id();
  out.id_shop = station.id();
  return caller_check::known;
}

bool loaded_order::failed() const {
  return rows < 0 || (rows == 0 && query_status != PGRES_TUPLES_OK);
}

loaded_order load_order(content::PGBackend& db, int id_app, const std::string& id,
                        const std::string& log_prefix) {
  loaded_order out;
  out.rows = db.getOrder(id_app, id, out.order, out.query_status);
  LOG("orvale", debug,
      log_prefix << "Get existing order Id=" << out.order.id << " result=" << out.rows
                 << " status=" << out.query_status);
  return out;
}

bool is_finished_status(const std::string& ordstatext) {
  static constexpr std::array<const char*, 5> finished = {
      STATUS_STATION_CANCELED, "StaionCanceled", STATUS_USER_CANCELED, STATUS_EXPIRE, "Expired"};
  for (const char* name : finished) {
    if (ordstatext == name) {
      return true;
    }
  }
  return false;
}

bool record_completion(PGconn* conn, int id_app, const std::string& id, double volume, int trannum,
                       const std::string& station_time) {
  // The state check is part of the statement, so a run writing at the same moment cannot slip
  // in between. The advisory key is the order lock's: free means no run is forwarding the order.
  static constexpr const char* sql =
      "UPDATE orders SET volume = $1::numeric, trannum = $2::integer"
      ", azstimelast = to_timestamp($3, 'DD.MM.YYYY HH24:MI:SS')"
      ", ordstatext = $4, statusint = $5::integer, statusconfirmed = $6::integer"
      " WHERE id_app = $7::integer AND id = $8"
      " AND (coalesce(statusint, -1) = ANY ($9::integer[])"
      " OR (statusint = $10::integer AND pg_try_advisory_xact_lock($7::integer, "
      "hashtext($8::text))))";
  return changed_a_row(conn, sql,
                       {volume_text(volume), std::to_string(trannum), station_time,
                        STATUS_COMPLETED, std::to_string(INT_STATUS_COMPLETED),
                        std::to_string(CONFIRM_NO), std::to_string(id_app), id,
                        int_array(allowed_from(order_actor::station, INT_STATUS_COMPLETED)),
                        std::to_string(INT_STATUS_IN_PROGRESS)},
                       "Database/Complete order", id);
}

bool record_confirmation(PGconn* conn, int id_app, const std::string& id) {
  static constexpr const char* sql =
      "UPDATE orders SET statusconfirmed = $1::integer WHERE id_app = $2::integer AND id = $3";
  return changed_a_row(conn, sql, {std::to_string(CONFIRM_YES), std::to_string(id_app), id},
                       "Database/Complete order", id);
}

bool record_volume(PGconn* conn, int id_app, const std::string& id, double volume) {
  static constexpr const char* sql =
      "UPDATE orders SET volume = $1::numeric WHERE id_app = $2::integer AND id = $3"
      " AND statusint IS DISTINCT FROM $4::integer";
  return changed_a_row(
      conn, sql,
      {volume_text(volume), std::to_string(id_app), id, std::to_string(INT_STATUS_COMPLETED)},
      "Database/Volume order", id);
}

std::unique_ptr<content::PGBackend> open_background_backend(const database& db,
                                                            const std::string& channel) {
  database::open_failure failure = database::open_failure::none;
  std::unique_ptr<content::PGBackend> backend = db.open(failure);
  if (failure == database::open_failure::create) {
    LOG(channel, error, "Ошибка создания нового объекта БД");
  } else if (backend == nullptr) {
    LOG(channel, error, "Нет подключения к БД");
  }
  return backend;
}

relay_context relay_context::from(gateway_services& services) {
  return relay_context{std::make_shared<executor_runner>(services.background),
                       services.relay_upstream};
}

std::string about_order(const std::string& text, const std::string& order_id) {
  return text + " (заказ : '" + order_id + "')";
}

void station_event::_check_credential(const station_credential& credential,
                                      const std::string& order_id) const {
  if (!credential.has_all_parts() || !check_service_key(credential.service_key, key_holder::gateway)) {
    throw ExceptionHTTP(about_order("Ошибка авторизации АЗС", order_id), 401);
  }
}

station_caller station_event::_identify(const station_credential& credential,
                                        std::unique_ptr<content::PGBackend>& db, int create_code,
                                        int connect_code, const std::string& order_id) {
  db = open_backend(services.app_db, about_order("Ошибка создания нового объекта БД", order_id),
                    about_order("Нет подключения к БД", order_id), create_code, connect_code);
  station_caller caller;
  switch (identify_caller(db->connection(), credential, caller)) {
  case caller_check::known:
    break;
  case caller_check::unknown_application:
    throw ExceptionHTTP(about_order("Приложение не найдено", order_id), 401);
  case caller_check::unknown_station:
    throw ExceptionHTTP(about_order("АЗС не авторизована", order_id), 401);
  }
  return caller;
}

void station_event::_check_station(const loaded_order& lo, const station_caller& caller) {
  if (lo.order.id_shop != caller.id_shop) {
    throw ExceptionHTTP(
        about_order("Заказ не принадлежит АЗС N" + std::to_string(caller.id_shop), lo.order.id),
        401);
  }
}

void station_event::_answer(web::context& ctx, int status) {
  ctx.response().status(status);
  ctx.complete_response();
}

} // namespace srv_apps
