// Message relay: the switches, the checks, the log line and the single relay.
#include "stat_notify.h"

#include <memory>
#include <string>

#include "relay_jobs.h"
#include "web/log.h"

namespace srv_apps {

void stat_notify::send_status() {
  const web::context_ptr ctx = release_context();
  const std::string order_id = param("orderid");
  const std::string msg = param("msg");
  const station_credential credential = station_credential::parse(param("apikey"));
  if (!services.notifications.is_on("recv")) {
    return _answer(*ctx, 403);
  }
  const bool taken = serve([&] {
    std::unique_ptr<content::PGBackend> db;
    _check_credential(credential, order_id);
    const station_caller caller = _identify(credential, db, 500, 500, order_id);
    LOG(channel(), info,
        "Получено сообщение от АЗС N" << caller.id_shop << " Заказ : " << order_id
                                      << " Сообщение : " << msg);
    if (!services.notifications.is_on("forward")) {
      return;
    }
    LOG(channel(), info, "Перенаправление сообщения от АЗС");
    if (!_write_and_relay(*db, nullptr,
                          notify_relay(settings,
                                       relay_order{caller.id_app, credential.app_key, order_id},
                                       msg))) {
      throw ExceptionHTTP("", 500);
    }
  });
  if (taken) {
    _answer(*ctx, 200);
  }
}

} // namespace srv_apps
