// Dispenser availability and lock: the request checks, the call to the station controller and
// the translation of its answer.
#include "ping.h"

#include <cmath>
#include <exception>
#include <utility>

#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

constexpr long bad_request_status = 400; // of a sender given a link without endpoint

constexpr int state_free = 3;
constexpr int state_nozzle_taken = 2;

const char* lock_word(lock_command command) {
  switch (command) {
  case lock_command::set_lock:
    return "setLock";
  case lock_command::reset_lock:
    return "resetLock";
  case lock_command::none:
    break;
  }
  return "";
}

bool is_transaction_status(long status) {
  return status == 410 || status == 411;
}

std::string status_word(const station_answer& answer) {
  if (!answer.Status.empty()) {
    return answer.Status;
  }
  if (answer.statId == state_free) {
    return "Free";
  }
  if (answer.statId == state_nozzle_taken) {
    return "TakenRefuelingNozzle";
  }
  return "Unknown";
}

// Halves away from zero; a value too large to scale stays as it is.
double rounded(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  const double scaled = value * scale;
  if (!std::isfinite(scaled)) {
    return value;
  }
  return std::round(scaled) / scale;
}

// The aggregator has always been given these amounts as a value rounded to 3 (or 2) places and
// then printed with 2, so 10.4449 litres become 10.45, not 10.44: keep both steps.
double transaction_amount(double value, int decimals) {
  double printed = 0;
  if (str::_stod(str::dbl2str(rounded(value, decimals), 2), &printed) != 0) {
    return 0;
  }
  return printed;
}

std::string lock_description(const station_answer& answer, lock_command command) {
  const bool reset = command == lock_command::reset_lock;
  const bool done = reset ? answer.blocked != 1 : answer.blocked != 0;
  std::string text = answer.Description;
  if (!text.empty()) {
    text += " ";
  }
  text += "(Команда ";
  text += reset ? "сброса " : "установки ";
  text += "блокировки ТРК ";
  if (!done) {
    text += "не";
  }
  text += "выполнена)";
  return text;
}

} // namespace

lock_command lock_command_of(const std::string& word) {
  if (word == "setLock") {
    return lock_command::set_lock;
  }
  if (word == "resetLock") {
    return lock_command::reset_lock;
  }
  return lock_command::none;
}

bool read_station_answer(const std::string& body, station_answer& out) {
  web::json::value doc;
  if (body.empty() || !web::json::parse(body, doc) || web::json::is_null(doc)) {
    return false;
  }
  station_answer a;
  a.statId = web::json::get_int(doc, "statId", a.statId);
  a.Status = web::json::get_string(doc, "Status", a.Status);
  a.Description = web::json::get_string(doc, "Description", a.Description);
  a.prodcod = web::json::get_int(doc, "prodcod", a.prodcod);
  a.Litre = web::json::get_double(doc, "Litre", a.Litre);
  a.Sum = web::json::get_double(doc, "Sum", a.Sum);
  a.ExtendedId = web::json::get_string(doc, "ExtendedId", a.ExtendedId);
  a.blocked = web::json::get_int(doc, "blocked", a.blocked);
  out = std::move(a);
  return true;
}

web::json::value ping_reply(long status, const station_answer& answer, const std::string& fuel_id,
                            lock_command command) {
  web::json::object_ptr reply = web::json::make_object();
  if (status == 200) {
    reply->set("Status", status_word(answer));
    if (!fuel_id.empty()) {
      reply->set("FuelId", fuel_id);
    }
  } else if (is_transaction_status(status)) {
    if (!answer.ExtendedId.empty() && !fuel_id.empty()) {
      reply->set("Litre", transaction_amount(answer.Litre, 3));
      reply->set("Sum", transaction_amount(answer.Sum, 2));
      reply->set("FuelId", fuel_id);
      reply->set("ExtendedId", answer.ExtendedId);
    }
  } else if (!answer.Description.empty()) {
    reply->set("Description", answer.Description);
  }
  if (command != lock_command::none) {
    reply->set("Description", lock_description(answer, command));
  }
  if (reply->size() == 0) {
    return web::json::value();
  }
  return reply;
}

void ping::get_ping() {
  const web::context_ptr ctx = release_context();
  LOG(channel(), info, "запрос на проверку доступности ТРК на АЗС");
  const parameters p = _read_parameters();
  if (p.command != lock_command::none) {
    LOG(channel(), info,
        "Передача команды на " << (p.command == lock_command::reset_lock ? "раз" : "")
                               << "блокировку ТРК на АЗС");
  }
  checked c;
  // The check's backend is closed when it returns: the controller may take up to 10 s, and no
  // pooled connection waits with it.
  if (!serve([&] { c = _check(p); })) {
    return;
  }

  std::string body;
  const long status = p.command == lock_command::none
                          ? fwd_ping(c.link, p.apikey, c.column, body)
                          : fwd_lock(c.link, p.apikey, c.column, p.command, body);
  LOG(channel(), debug,
      "Получен ответ на проверку доступности ТРК АЗС='"
          << p.stationId << "' ТРК='" << p.columnId << "' HTTP='" << status << "' Data : '" << body
          << "'");

  web::json::value reply;
  station_answer answer;
  if (read_station_answer(body, answer)) {
    reply = ping_reply(status, answer, _fuel_id(status, answer, c.id_app), p.command);
  }
  _reply(*ctx, status, reply);
}

ping::parameters ping::_read_parameters() const {
  parameters p;
  p.apikey = param("apikey");
  p.stationId = param("stationId");
  p.columnId = param("columnId");
  p.command = lock_command_of(param("__lock"));
  return p;
}

ping::checked ping::_check(const parameters& p) {
  if (p.stationId.empty() || p.columnId.empty()) {
    throw ExceptionHTTP("Не верно заданы параметры запроса", 400);
  }
  if (p.apikey.empty()) {
    throw ExceptionHTTP("Ошибка авторизации", 400);
  }
  const std::unique_ptr<content::PGBackend> db =
      open_backend(services.app_db, "Не определена БД", "Отсутствует соединение с БД", 500, 502);
  checked c;
  content::AppTypeInfo app;
  app.authAppInfo(*db, p.apikey);
  if (app.id() < 0) {
    throw ExceptionHTTP("Ошибка авторизации приложения", 400);
  }
  c.id_app = app.id();
  // Binds only texts that are decimal integers: nothing else of the request reaches SQL.
  if (!db->check_azs_conf(p.stationId, p.columnId)) {
    throw ExceptionHTTP(
        "Ошибка проверки конфигурации для АЗС '" + p.stationId + "' ТРК='" + p.columnId + "'", 400);
  }
  if (str::_stoi(p.stationId, &c.station) != 0) {
    throw ExceptionHTTP("Неправильно задан идентификатор АЗС", 400);
  }
  if (str::_stoi(p.columnId, &c.column) != 0) {
    throw ExceptionHTTP("Неправильно задан идентификатор ТРК", 400);
  }
  if (c.station < 1 || c.column < 1) {
    throw ExceptionHTTP("Неправильно определены значения для АЗС/ТРК", 400);
  }
  c.link.getAzsConnValues(*db, c.station);
  if (c.link.id() < 0 || c.link.endpoint_str().empty()) {
    throw ExceptionHTTP("Отсутствует информация для соединения с АЗС '" + p.stationId + "'", 400);
  }
  return c;
}

// Only a reply that names the product needs the mapping, so the database is asked again only
// then; without it the product is left out, as for a product the application has no code for.
std::string ping::_fuel_id(long status, const station_answer& answer, int id_app) {
  const bool named = status == 200 || (is_transaction_status(status) && !answer.ExtendedId.empty());
  if (!named) {
    return "";
  }
  database::open_failure failure = database::open_failure::none;
  const std::unique_ptr<content::PGBackend> db = services.app_db.open(failure);
  if (db == nullptr) {
    LOG(channel(), error,
        (failure == database::open_failure::create ? "Не определена БД"
                                                   : "Отсутствует соединение с БД"));
    return "";
  }
  return db->getProductMap(id_app, answer.prodcod);
}

void ping::_reply(web::context& ctx, long status, const web::json::value& body) {
  web::response& r = ctx.response();
  r.content_encoding("utf-8");
  r.content_language("ru");
  if (!web::json::is_null(body)) {
    r.content_type("application/json");
    r.body(web::json::write(body));
  }
  r.status(static_cast<int>(status));
  ctx.complete_response();
}

long ping::fwd_ping(const station_link& link, const std::string& apikey, int columnId,
                    std::string& answer) const {
  return _send(link, apikey, columnId, "", answer);
}

long ping::fwd_lock(const station_link& link, const std::string& apikey, int columnId,
                    lock_command command, std::string& answer) const {
  return _send(link, apikey, columnId, std::string("&__lock=") + lock_word(command), answer);
}

// The controllers read a form body whose credential is the aggregator's key, the gateway's and
// the station's, sent as they are (the controllers decode nothing).
long ping::_send(const station_link& link, const std::string& apikey, int columnId,
                 const std::string& extra, std::string& answer) const {
  answer.clear();
  if (link.endpoint.empty()) {
    return bad_request_status;
  }
  try {
    const order_station& station = services.stations;
    const station_limiter::slot slot = station.reserve(link);
    if (!slot) {
      return transfer_failure_status;
    }
    outgoing_request rq = station.request(link, "/ping");
    rq.body = "apikey=" + station.credential(apikey, link) +
              "&columnId=" + std::to_string(columnId) + extra;
    rq.headers = {"Content-language: ru", "charsets: utf-8"};
    call_texts silent; // every text empty: the handler logs the outcome itself
    outgoing_result out = perform_call(rq, silent);
    answer = std::move(out.reply);
    return out.status;
  } catch (const std::exception&) {
    return client_failure_status; // out of memory while building the request: nothing was sent
  }
}

} // namespace srv_apps
