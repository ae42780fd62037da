// Completion event: the station's values, the order's new columns, and the relay that retries
// until the aggregator confirms or the order's lifetime ends.
#include "stat_completed.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "order_status.h"
#include "orvale.h"
#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

struct completion {
  std::string order_id;
  std::string litre;             // as the station sent it; relayed unchanged
  std::string extended_order_id; // likewise
  std::string extended_date;     // likewise
  double volume = 0;             // the leading number of litre
  int trannum = 0;               // the leading number of extended_order_id
};

// Every value present and both numbers readable: a value that cannot be stored is refused
// before the database is touched, like a missing one.
bool read_numbers(completion& c) {
  if (c.litre.empty() || c.extended_date.empty() || c.extended_order_id.empty()) {
    return false;
  }
  double volume = 0;
  int trannum = 0;
  if (str::_stod(c.litre, &volume) != 0 || !std::isfinite(volume) ||
      str::_stoi(c.extended_order_id, &trannum) != 0) {
    return false;
  }
  c.volume = volume;
  c.trannum = trannum;
  return true;
}

void start_relay(orvale& root, int id_app, const std::string& apikey, const completion& c,
                 const std::string& channel) {
  const relay_context rc = relay_context::from_root(root);
  const web::millis limit = rc.runner->scaled(std::chrono::seconds(root.max_expiration_time()));
  relay::start(
      rc.runner, relay_subject{c.order_id, "Completed"},
      std::make_unique<completion_schedule>(limit),
      [upstream = rc.upstream, apikey, c] {
        return upstream.upstream_completed(apikey, c.order_id, c.extended_order_id, c.extended_date,
                                           c.litre);
      },
      // The connection is opened again only for the aggregator's confirmation.
      [&root, id_app, id = c.order_id, channel](long result, int) {
        if (result != 200) {
          return;
        }
        if (auto db = open_background_backend(root, channel)) {
          if (!record_confirmation(db->connection(), id_app, id)) {
            LOG(channel, error, about_order("Подтверждение завершения не записано", id));
          }
        }
      });
}

} // namespace

void stat_completed::send_status() {
  const web::context_ptr ctx = release_context();
  completion c;
  c.order_id = param("orderId");
  c.litre = param("litre");
  c.extended_order_id = param("extendedOrderId");
  c.extended_date = param("extendedDate");
  const station_credential credential = station_credential::parse(param("apikey"));
  std::unique_ptr<content::PGBackend> db;
  station_caller caller;
  try {
    _check_credential(credential, c.order_id);
    if (!read_numbers(c)) {
      throw ExceptionHTTP(about_order("Неверные данные завершения заказа", c.order_id), 400);
    }
    caller = _identify(credential, db, 412, 406, c.order_id);
    const loaded_order lo = load_order(*db, caller.id_app, c.order_id, "STATUS \"Completed\" : ");
    if (lo.failed()) {
      throw ExceptionHTTP(about_order("Ошибка получения данных заказа", c.order_id), 404);
    }
    if (!lo.found()) {
      throw ExceptionHTTP(about_order("Заказ не найден", c.order_id), 404);
    }
    _check_station(lo, caller);
    if (lo.order.statusint == INT_STATUS_IN_PROGRESS) {
      throw ExceptionHTTP(about_order("Заказ еще передается на АЗС", c.order_id), 504);
    }
    // What was not recorded here must not be reported upstream as completed.
    if (!record_completion(db->connection(), caller.id_app, c.order_id, c.volume, c.trannum,
                           c.extended_date)) {
      throw ExceptionHTTP(about_order("Ошибка записи завершения заказа", c.order_id), 400);
    }
  } catch (const ExceptionHTTP& e) {
    fail(e, db);
    return;
  }
  db.reset();
  _answer(*ctx, 200);
  start_relay(root, caller.id_app, credential.app_key, c, channel());
}

} // namespace srv_apps
