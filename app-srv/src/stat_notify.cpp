// Message relay: the switches, the checks, the log line and the single relay.
#include "stat_notify.h"

#include <memory>
#include <string>

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
  station_caller caller;
  const bool taken = serve([&] {
    std::unique_ptr<content::PGBackend> db;
    _check_credential(credential, order_id);
    caller = _identify(credential, db, 500, 500, order_id);
  });
  if (!taken) {
    return;
  }
  LOG(channel(), info,
      "Получено сообщение от АЗС N" << caller.id_shop << " Заказ : " << order_id
                                    << " Сообщение : " << msg);
  _answer(*ctx, 200);
  if (!services.notifications.is_on("forward")) {
    return;
  }
  LOG(channel(), info, "Перенаправление сообщения от АЗС");
  const relay_context rc = relay_context::from(services);
  relay::start(rc.runner, relay_subject{order_id, "Notify", channel()},
               std::make_unique<fixed_retries>(1, web::millis(0)),
               [upstream = rc.upstream, apikey = credential.app_key, order_id, msg] {
                 return upstream.upstream_notify(apikey, order_id, msg);
               });
}

} // namespace srv_apps
