// The request flow of the catalogue endpoints.
#include "catalogue.h"

#include "conn_catalogue.h"

#include "str.h"
#include "web/encoding.h"
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

std::unique_ptr<content::PGBackend> catalogue_endpoint::open_plain_reads() {
  std::unique_ptr<content::PGBackend> db =
      open_backend(services.app_db, "Ошибка создания нового объекта БД", "Нет подключения к БД");
  db->promise_plain_reads(); // the key lookup and one SELECT built here
  return db;
}

int catalogue_endpoint::application_of(const content::PGBackend& db, const std::string& apikey) {
  content::AppTypeInfo app;
  app.authAppInfo(db, apikey);
  if (app.id() < 0) {
    throw ExceptionHTTP("", 401);
  }
  return app.id();
}

std::string catalogue_endpoint::checked_list(const std::string& stations,
                                             const std::string& failure_prefix) {
  std::string list;
  if (!station_list(stations, list)) {
    LOG(channel(), debug, failure_prefix << "некорректный список АЗС '" << stations << "'");
    throw ExceptionHTTP("Ошибка получения данных из БД", 404);
  }
  return list;
}

std::string catalogue_endpoint::read_body(const content::PGBackend& db, statement_builder build,
                                          int id_app, const std::string& list,
                                          const std::string& failure_prefix) {
  std::string document;
  std::string failure;
  if (!content::read_catalogue(db, build(id_app, list), document, failure)) {
    LOG(channel(), debug, failure_prefix << failure);
    throw ExceptionHTTP("Ошибка получения данных из БД", 404);
  }
  return reply_body(document);
}

cached_entry_ptr catalogue_endpoint::read_reply(statement_builder build, const std::string& apikey,
                                                const std::string& stations,
                                                const std::string& failure_prefix) {
  const std::unique_ptr<content::PGBackend> db = open_plain_reads();
  const int id_app = application_of(*db, apikey);
  const std::string list = checked_list(stations, failure_prefix);
  return std::make_shared<const cached_entry>(
      cached_entry{read_body(*db, build, id_app, list, failure_prefix), {}});
}

cached_entry_ptr catalogue_endpoint::cached_reply(catalogue_cache& cache, statement_builder build,
                                                  const std::string& apikey,
                                                  const std::string& stations,
                                                  const std::string& failure_prefix) {
  // Keys of the two kinds cannot meet: an endpoint's channel never equals "apikey".
  const cached_entry_ptr app = cache.get("apikey\n" + apikey, [&]() -> cached_entry_ptr {
    const std::unique_ptr<content::PGBackend> db = open_plain_reads();
    return std::make_shared<const cached_entry>(
        cached_entry{std::to_string(application_of(*db, apikey)), {}});
  });
  int id_app = -1;
  if (!app || !str::is_decimal_int(app->body, id_app)) {
    throw ExceptionHTTP("", 401);
  }
  const std::string list = checked_list(stations, failure_prefix);
  // The list as given, not as normalised: a hit costs no parsing beyond the check above.
  const std::string key = channel() + "\n" + app->body + "\n" + stations;
  return cache.get(key, [&]() -> cached_entry_ptr {
    const std::unique_ptr<content::PGBackend> db = open_plain_reads();
    std::string body = read_body(*db, build, id_app, list, failure_prefix);
    std::string gzipped = web::gzip(body);
    return std::make_shared<const cached_entry>(cached_entry{std::move(body), std::move(gzipped)});
  });
}

void catalogue_endpoint::send_reply(const cached_entry& reply) {
  const bool gzip = web::accepts_gzip(request().header("Accept-Encoding"));
  if (!gzip) {
    json_reply_text(reply.body);
  } else {
    json_reply_text(reply.gzipped.empty() ? web::gzip(reply.body) : reply.gzipped);
    response().content_encoding("gzip");
  }
  response().set_header("Vary", "Accept-Encoding");
}

void catalogue_endpoint::serve_catalogue(statement_builder build,
                                         const std::string& failure_prefix) {
  const std::string apikey = param("apikey");
  if (apikey.empty()) {
    response().status(401);
    return;
  }
  cached_entry_ptr reply;
  catalogue_cache* cache = services.catalogue;
  // Backends are closed when these return, before the reply is written.
  if (serve([&] {
        const std::string stations = param("stationId");
        reply = cache != nullptr && cache->serving()
                    ? cached_reply(*cache, build, apikey, stations, failure_prefix)
                    : read_reply(build, apikey, stations, failure_prefix);
      })) {
    send_reply(*reply);
  }
}

} // namespace srv_apps
