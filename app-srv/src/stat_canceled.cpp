// Cancellation event: checks, the reason and end time, and the cancellation relay.
#include "stat_canceled.h"

#include <memory>
#include <string>

#include "web/log.h"

namespace srv_apps {
namespace {

constexpr int cancel_tries = 10;
constexpr web::millis cancel_pause{5000};

} // namespace

void stat_canceled::send_status() {
  const web::context_ptr ctx = release_context();
  const std::string order_id = param("orderId");
  const std::string reason = param("reason");
  const station_credential credential = station_credential::parse(param("apikey"));
  const bool taken = serve([&] {
    std::unique_ptr<content::PGBackend> db;
    _check_credential(credential, order_id);
    const station_caller caller = _identify(credential, db, 500, 500, order_id);
    const loaded_order lo = load_order(*db, caller.id_app, order_id, "");
    if (!lo.found()) {
      throw ExceptionHTTP(about_order("Заказ не найден", order_id), 400);
    }
    _check_station(lo, caller);
    // The status type stays the one of the order's present status name.
    if (!is_finished_status(lo.order.ordstatext)) {
      db->cancel_order(caller.id_app, order_id, reason, lo.order.ordstatext);
    }
  });
  if (!taken) {
    return;
  }
  _answer(*ctx, 200);
  const relay_context rc = relay_context::from(services);
  relay::start(rc.runner, relay_subject{order_id, "Canceled"},
               std::make_unique<fixed_retries>(cancel_tries, cancel_pause),
               [upstream = rc.upstream, apikey = credential.app_key, order_id, reason] {
                 return upstream.upstream_cancel(apikey, order_id, reason);
               });
}

} // namespace srv_apps
