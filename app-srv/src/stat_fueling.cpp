// Fueling event: checks, the transaction number, and the fueling relay booked with it (the relay
// falls back to a cancellation on both sides, see relay_jobs).
#include "stat_fueling.h"

#include <memory>
#include <string>

#include "conn_jobs.h"
#include "order_status.h"
#include "relay_jobs.h"
#include "web/log.h"

namespace srv_apps {

void stat_fueling::send_status() {
  const web::context_ptr ctx = release_context();
  const std::string order_id = param("orderId");
  const std::string extended_order_id = param("extendedOrderId");
  const station_credential credential = station_credential::parse(param("apikey"));
  const bool taken = serve([&] {
    std::unique_ptr<content::PGBackend> db;
    _check_credential(credential, order_id);
    const station_caller caller = _identify(credential, db, 500, 500, order_id);
    const loaded_order lo = load_order(*db, caller.id_app, order_id, "STATUS \"Fueling\" : ");
    if (lo.failed()) {
      throw ExceptionHTTP(about_order("Ошибка получения данных заказа", order_id), 404);
    }
    _check_station(lo, caller);
    if (lo.order.statusint != INT_STATUS_IN_PROGRESS) {
      throw ExceptionHTTP(about_order("Заказ не в обработке", order_id), 504);
    }
    const bool keeps_transaction =
        lo.order.ordstatext == STATUS_ORDER_CREATED && !extended_order_id.empty();
    const relay_order order{caller.id_app, credential.app_key, order_id};
    if (!_write_and_relay(
            *db,
            [&] {
              return !keeps_transaction ||
                     db->set_transact(caller.id_app, order_id, extended_order_id) ==
                         content::RESULT_STATUS_COMMAND_OK;
            },
            fueling_relay(settings, order))) {
      throw ExceptionHTTP("", 500);
    }
  });
  if (taken) {
    _answer(*ctx, 200);
  }
}

} // namespace srv_apps
