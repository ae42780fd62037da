// Cancellation event: checks, the reason and end time, and the cancellation relay booked with
// them.
#include "stat_canceled.h"

#include <memory>
#include <string>

#include "relay_jobs.h"
#include "web/log.h"

namespace srv_apps {

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
    const bool closes = !is_finished_status(lo.order.ordstatext);
    const relay_order order{caller.id_app, credential.app_key, order_id};
    if (!_write_and_relay(
            *db,
            [&] {
              return !closes ||
                     db->cancel_order(caller.id_app, order_id, reason, lo.order.ordstatext) ==
                         content::RESULT_STATUS_COMMAND_OK;
            },
            cancel_relay(settings, order, reason))) {
      throw ExceptionHTTP("", 500);
    }
  });
  if (taken) {
    _answer(*ctx, 200);
  }
}

} // namespace srv_apps
