// Completion event: the station's values, the order's new columns, and the relay booked with
// them that retries until the aggregator confirms or the order's lifetime ends.
#include "stat_completed.h"

#include <cmath>
#include <memory>
#include <string>

#include "conn_jobs.h"
#include "conn_station.h"
#include "order_status.h"
#include "relay_jobs.h"
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

} // namespace

void stat_completed::send_status() {
  const web::context_ptr ctx = release_context();
  completion c;
  c.order_id = param("orderId");
  c.litre = param("litre");
  c.extended_order_id = param("extendedOrderId");
  c.extended_date = param("extendedDate");
  const station_credential credential = station_credential::parse(param("apikey"));
  bool repeated = false;
  const bool taken = serve([&] {
    std::unique_ptr<content::PGBackend> db;
    _check_credential(credential, c.order_id);
    if (!read_numbers(c)) {
      throw ExceptionHTTP(about_order("Неверные данные завершения заказа", c.order_id), 400);
    }
    const station_caller caller = _identify(credential, db, 412, 406, c.order_id);
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
    content::transaction tx(*db);
    if (!tx.ok() ||
        !record_completion(*db, caller.id_app, c.order_id, c.volume, c.trannum, c.extended_date)) {
      if (tx.ok() && lo.order.statusint == INT_STATUS_IN_PROGRESS) {
        throw ExceptionHTTP(about_order("Заказ еще передается на АЗС", c.order_id), 504);
      }
      throw ExceptionHTTP(about_order("Ошибка записи завершения заказа", c.order_id), 400);
    }
    // Repeated while its relay waits, the completion hands that relay the newer values; while
    // a try is under way they follow it in a relay of their own.
    repeated = content::relay_pending(*db, relay_kind::completed, caller.id_app, c.order_id);
    const relay_order order{caller.id_app, credential.app_key, c.order_id};
    if (!_commit_relay(
            tx, *db,
            completion_relay(settings, order,
                             completion_values{c.litre, c.extended_order_id, c.extended_date}))) {
      throw ExceptionHTTP("", 400);
    }
  });
  if (taken && repeated) {
    LOG(channel(), info,
        about_order("Повторное завершение: ожидающая ретрансляция передаст новые данные",
                    c.order_id));
  }
  if (taken) {
    _answer(*ctx, 200);
  }
}

} // namespace srv_apps
