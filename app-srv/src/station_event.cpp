// The station event pattern: credential, caller, order lookup and the events' column writes.
#include "station_event.h"

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <vector>

#include "conn_station.h"
#include "order_status.h"
#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

std::string part(const std::vector<std::string>& parts, std::size_t i) {
  return i < parts.size() ? parts[i] : std::string();
}

} // namespace

station_credential station_credential::parse(const std::string& apikey) {
  const std::vector<std::string> parts = str::split(apikey, std::string(","));
  return station_credential{part(parts, 0), part(parts, 1), part(parts, 2)};
}

bool station_credential::has_all_parts() const {
  return !app_key.empty() && !service_key.empty() && !station_key.empty();
}

caller_check identify_caller(const content::PGBackend& db, const station_credential& credential,
                             station_caller& out) {
  content::AppTypeInfo app;
  app.authAppInfo(db, credential.app_key);
  if (app.id() < 0) {
    return caller_check::unknown_application;
  }
  content::AzsConnInfo station;
  station.getAzsConnValues(db, credential.station_key);
  if (station.id() < 0) {
    return caller_check::unknown_station;
  }
  out.id_app = app.id();
  out.id_shop = station.id();
  return caller_check::known;
}

bool loaded_order::failed() const {
  return rows < 0 || (rows == 0 && query_status != content::RESULT_STATUS_TUPLES_OK);
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

bool record_completion(const content::PGBackend& db, int id_app, const std::string& id,
                       double volume, int trannum, const std::string& station_time) {
  content::station_completion c;
  c.volume = volume;
  c.trannum = trannum;
  c.station_time = station_time;
  c.status_name = STATUS_COMPLETED;
  c.statusint = INT_STATUS_COMPLETED;
  c.statusconfirmed = CONFIRM_NO;
  c.from = allowed_from(order_actor::station, INT_STATUS_COMPLETED);
  // A run forwarding the order holds its lock; a free lock means the run has ended.
  c.busy_status = INT_STATUS_IN_PROGRESS;
  return content::record_completion(db, id_app, id, c);
}

bool record_confirmation(const content::PGBackend& db, int id_app, const std::string& id) {
  return content::record_confirmation(db, id_app, id, CONFIRM_YES);
}

bool record_volume(const content::PGBackend& db, int id_app, const std::string& id, double volume) {
  return content::record_volume(db, id_app, id, volume, INT_STATUS_COMPLETED);
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
  switch (identify_caller(*db, credential, caller)) {
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

bool station_event::_commit_relay(content::transaction& tx, const content::PGBackend& db,
                                  const job_booking& relay) {
  if (!tx.ok() || !book_job(db, relay, services.clock) || !tx.commit()) {
    LOG(channel(), error, about_order("Ретрансляция не записана", relay.order_id));
    return false;
  }
  services.jobs.nudge();
  return true;
}

bool station_event::_write_and_relay(const content::PGBackend& db,
                                     const std::function<bool()>& write,
                                     const job_booking& relay) {
  std::optional<content::transaction> tx;
  tx.emplace(db);
  if (tx->ok() && write && !write()) {
    tx.reset();
    tx.emplace(db);
  }
  return _commit_relay(*tx, db, relay);
}

} // namespace srv_apps
