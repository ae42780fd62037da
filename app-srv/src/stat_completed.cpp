// Completion event: the station's values, the order's new columns, and the relay that retries
// until the aggregator confirms or the order's lifetime ends.
#include "stat_completed.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "order_status.h"
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

// One relay per order: a repeated report while it is pending only hands it the newer values.
// The limit is the order's lifetime in real seconds; only the pauses between tries are scaled.
void start_relay(gateway_services& services, const gateway_settings& settings, int id_app,
                 const std::string& apikey, const completion& c, const std::string& channel) {
  const std::shared_ptr<completion_relays> pending = services.completions;
  const std::string key = std::to_string(id_app) + "/" + c.order_id;
  if (!pending->begin(key, completion_values{c.litre, c.extended_order_id, c.extended_date})) {
    LOG(channel, info,
        about_order("Повторное завершение: ожидающая ретрансляция передаст новые данные",
                    c.order_id));
    return;
  }
  const relay_context rc = relay_context::from(services);
  const web::millis limit = settings.max_expiration_timeout;
  auto sent = std::make_shared<completion_relays::version>(0);
  relay::start(
      rc.runner, relay_subject{c.order_id, "Completed"},
      std::make_unique<completion_schedule>(limit),
      [upstream = rc.upstream, apikey, id = c.order_id, pending, key, sent] {
        const auto [values, version] = pending->current(key);
        *sent = version;
        return upstream.upstream_completed(apikey, id, values.extended_order_id,
                                           values.extended_date, values.litre);
      },
      // The connection is opened again only for the aggregator's confirmation.
      [&services, &settings, id_app, apikey, c, channel, pending, key, sent](long result, int) {
        if (result != 200) {
          pending->drop(key);
          return;
        }
        if (!pending->end_after(key, *sent)) {
          // A newer report arrived while this try was under way: it goes out next.
          const completion_values v = pending->current(key).first;
          pending->drop(key);
          completion latest = c;
          latest.litre = v.litre;
          latest.extended_order_id = v.extended_order_id;
          latest.extended_date = v.extended_date;
          start_relay(services, settings, id_app, apikey, latest, channel);
          return;
        }
        if (auto db = open_background_backend(services.app_db, channel)) {
          if (!record_confirmation(*db, id_app, c.order_id)) {
            LOG(channel, error, about_order("Подтверждение завершения не записано", c.order_id));
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
  station_caller caller;
  const bool taken = serve([&] {
    std::unique_ptr<content::PGBackend> db;
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
    // What was not recorded here must not be reported upstream as completed. An order still in
    // progress is refused only while a run is forwarding it; one whose run ended without
    // recording the station's answer (a failed write, a crash) takes the completion.
    if (!record_completion(*db, caller.id_app, c.order_id, c.volume, c.trannum, c.extended_date)) {
      if (lo.order.statusint == INT_STATUS_IN_PROGRESS) {
        throw ExceptionHTTP(about_order("Заказ еще передается на АЗС", c.order_id), 504);
      }
      throw ExceptionHTTP(about_order("Ошибка записи завершения заказа", c.order_id), 400);
    }
  });
  if (!taken) {
    return;
  }
  _answer(*ctx, 200);
  start_relay(services, settings, caller.id_app, credential.app_key, c, channel());
}

} // namespace srv_apps
