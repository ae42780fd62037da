// The price list endpoint.
#include "prices.h"

#include "conn_catalogue.h"
#include "web/log.h"

namespace srv_apps {

void prices::get_prices() {
  LOG(channel(), info, "Запрос списка цен");
  serve_catalogue(&content::price_statement, "Ошибка запроса на получение цен из БД : ");
}

} // namespace srv_apps
