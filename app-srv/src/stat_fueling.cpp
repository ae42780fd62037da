// Fueling event: checks, transaction number, and the fueling relay with its fallback to a
// cancellation.
#include "stat_fueling.h"

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "order_status.h"
#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* not_agreed = "Заказ не согласован";
constexpr int cancel_tries = 10;
constexpr web::millis cancel_pause{10000};

struct fueling_relay {
  gateway_services& services;
  relay_context rc;
  int id_app;
  std::string apikey;
  std::string order_id;
  std::string channel;
};

// The aggregator did not take the start of fueling: the order is closed here and the
// cancellation reported instead.
void cancel_on_both_sides(const fueling_relay& f) {
  if (auto db = open_background_backend(f.services.app_db, f.channel)) {
    db->cancel_order(f.id_app, f.order_id, not_agreed, STATUS_STATION_CANCELED);
  }
  const station_upstream upstream = f.rc.upstream;
  relay::start(f.rc.runner, relay_subject{f.order_id, "Canceled"},
               std::make_unique<fixed_retries>(cancel_tries, cancel_pause),
               [upstream, apikey = f.apikey, id = f.order_id] {
                 return upstream.upstream_cancel(apikey, id, not_agreed);
               });
}

void start_relay(const fueling_relay& f) {
  relay::start(
      f.rc.runner, relay_subject{f.order_id, "Fueling"},
      std::make_unique<fixed_retries>(1, web::millis(0)),
      [upstream = f.rc.upstream, apikey = f.apikey, id = f.order_id] {
        return upstream.upstream_fueling(apikey, id);
      },
      [f](long result, int) {
        if (result != 200) {
          cancel_on_both_sides(f);
        }
      });
}

} // namespace

void stat_fueling::send_status() {
  const web::context_ptr ctx = release_context();
  const std::string order_id = param("orderId");
  const std::string extended_order_id = param("extendedOrderId");
  const station_credential credential = station_credential::parse(param("apikey"));
  station_caller caller;
  const bool taken = serve([&] {
    std::unique_ptr<content::PGBackend> db;
    _check_credential(credential, order_id);
    caller = _identify(credential, db, 500, 500, order_id);
    const loaded_order lo = load_order(*db, caller.id_app, order_id, "STATUS \"Fueling\" : ");
    if (lo.failed()) {
      throw ExceptionHTTP(about_order("Ошибка получения данных заказа", order_id), 404);
    }
    _check_station(lo, caller);
    if (lo.order.statusint != INT_STATUS_IN_PROGRESS) {
      throw ExceptionHTTP(about_order("Заказ не в обработке", order_id), 504);
    }
    if (lo.order.ordstatext == STATUS_ORDER_CREATED && !extended_order_id.empty()) {
      db->set_transact(caller.id_app, order_id, extended_order_id);
    }
  });
  if (!taken) {
    return;
  }
  _answer(*ctx, 200);
  start_relay(fueling_relay{services, relay_context::from(services), caller.id_app,
                            credential.app_key, order_id, channel()});
}

} // namespace srv_apps
