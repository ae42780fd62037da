// The request flow of the catalogue endpoints.
#include "catalogue.h"

#include "conn_catalogue.h"

#include "str.h"
#include "web/log.h"

namespace srv_apps {

bool station_list(const std::string& text, std::string& out) {
  out.clear();
  if (str::trim(text).empty()) {
    return true;
  }
  for (const auto& item : str::split(text, std::string(","))) {
    int id = 0;
    if (!str::is_decimal_int(item, id)) {
      out.clear();
      return false;
    }
    if (!out.empty()) {
      out += ',';
    }
    out += std::to_string(id);
  }
  return true;
}

namespace {

// The document written again in the canonical form; the empty array when nothing matched (NULL
// aggregate) or the text does not parse.
std::string reply_body(const std::string& document) {
  std::string body;
  if (!web::json::canonicalize(document, body)) {
    return "[]";
  }
  return body;
}

} // namespace

std::string catalogue_endpoint::read_reply(statement_builder build, const std::string& apikey,
                                           const std::string& stations,
                                           const std::string& failure_prefix) {
  std::unique_ptr<content::PGBackend> db =
      open_backend(services.app_db, "Ошибка создания нового объекта БД", "Нет подключения к БД");
  db->promise_plain_reads(); // the key lookup and one SELECT built here
  content::AppTypeInfo app;
  app.authAppInfo(*db, apikey);
  if (app.id() < 0) {
    throw ExceptionHTTP("", 401);
  }
  std::string list;
  if (!station_list(stations, list)) {
    LOG(channel(), debug, failure_prefix << "некорректный список АЗС '" << stations << "'");
    throw ExceptionHTTP("Ошибка получения данных из БД", 404);
  }
  std::string document;
  std::string failure;
  if (!content::read_catalogue(*db, build(app.id(), list), document, failure)) {
    LOG(channel(), debug, failure_prefix << failure);
    throw ExceptionHTTP("Ошибка получения данных из БД", 404);
  }
  return reply_body(document);
}

void catalogue_endpoint::serve_catalogue(statement_builder build,
                                         const std::string& failure_prefix) {
  const std::string apikey = param("apikey");
  if (apikey.empty()) {
    response().status(401);
    return;
  }
  std::string body;
  // The backend is closed when read_reply returns, before the reply is written.
  if (serve([&] { body = read_reply(build, apikey, param("stationId"), failure_prefix); })) {
    json_reply_text(std::move(body));
  }
}

} // namespace srv_apps
