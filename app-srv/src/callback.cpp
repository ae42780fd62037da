// The station price callback: a controller pushes the current prices of its stations.
#include "callback.h"

#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

struct price_item {
  std::string id; // the controller key of the station the price belongs to
  int product = -1;
  double price = 0;
};

// Members of another type than expected count as missing.
price_item read_item(const web::json::value& element) {
  price_item item;
  item.id = web::json::get_string(element, "Id", "");
  item.product = web::json::get_int(element, "Product", -1);
  item.price = web::json::get_double(element, "Price", 0);
  return item;
}

} // namespace

int callback::station_by_key(const content::PGBackend& db, const std::string& pass) {
  content::AzsConnInfo link;
  link.getAzsConnValues(db, pass);
  // The lookup already compares exactly; checking the key it found again keeps that a property
  // of this endpoint rather than of the query.
  if (link.id() < 1 || link.key().empty() || link.key() != pass) {
    return -1;
  }
  return link.id();
}

int callback::write_prices(content::PGBackend& db, const web::json::array& list,
                           const std::string& station_key, int station) {
  std::string cached_key = station_key;
  int cached_station = station;
  int written = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const web::json::value element = list.get(static_cast<unsigned>(i));
    if (!web::json::is_object(element)) {
      continue;
    }
    const price_item item = read_item(element);
    if (item.id.empty()) {
      continue;
    }
    if (item.id != cached_key) {
      const int found = station_by_key(db, item.id);
      if (found < 0) {
        continue;
      }
      cached_key = item.id;
      cached_station = found;
    }
    int status = 0;
    const int result =
        db.setPrice(cached_station, item.product, item.price, status, content::QUERY_UPSERT);
    if (status != content::RESULT_STATUS_COMMAND_OK) {
      LOG(channel(), error,
          "Не удалось обновить цену для АЗС=\"" << cached_station << "\" Продукт=\"" << item.product
                                                << "\" [ status = " << status << " ]");
      continue;
    }
    written += result == 1 ? 1 : 0;
  }
  return written;
}

void callback::get_callback_prices() {
  LOG(channel(), info, "Получены данные обновления прайслиста от АЗС");
  const std::string apikey = request().query_value("apikey");
  web::json::value body;
  bool parsed = true;
  if (request().method() == "POST") {
    parsed = web::json::parse(request().raw_body(), body);
  }
  web::context_ptr ctx = release_context();
  serve([&] {
    if (!parsed) {
      throw ExceptionHTTP("Ошибка обработки данных прайслиста", 500);
    }
    const std::vector<std::string> parts = str::split(apikey, std::string(","));
    if (apikey.empty() || !check_service_key(parts[0], key_holder::gateway) || parts.size() < 2 ||
        parts[1].empty()) {
      throw ExceptionHTTP("Ошибка авторизации", 401);
    }
    if (web::json::is_null(body)) {
      throw ExceptionHTTP("Неверные данные блока обновления прайслиста", 400);
    }
    if (!web::json::is_array(body)) {
      throw ExceptionHTTP("Неверный формат блока данных обновления прайслиста", 400);
    }
    const auto db = open_backend(services.app_db, "Отсутствует соединение с БД",
                                 "Отсутствует соединение с БД", 406, 406);
    const std::string& station_key = parts[1];
    const int station = station_by_key(*db, station_key);
    if (station < 0) {
      throw ExceptionHTTP("Ошибка авторизации АЗС", 401);
    }
    answer_status(*ctx, 200);
    const auto list = web::json::as_array(body);
    const int written = write_prices(*db, *list, station_key, station);
    LOG(channel(), info,
        "Результат обновления цен обработано " << written << " из " << list->size() << " записей");
  });
}

void callback::get_callback_config() {
  response().status(200);
}

void callback::default_response() {
  response().status(503);
}

} // namespace srv_apps
