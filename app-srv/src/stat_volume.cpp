// Volume event: the volume column, the single relay booked with it, and the reply that follows
// whatever became of them.
#include "stat_volume.h"

#include <cmath>
#include <memory>
#include <string>

#include "relay_jobs.h"
#include "str.h"
#include "web/log.h"

namespace srv_apps {

struct stat_volume::report {
  std::string order_id;
  std::string litre;
};

void stat_volume::send_status() {
  const web::context_ptr ctx = release_context();
  report r{param("orderid"), param("litre")};
  LOG("orvale", debug, "Get Volume Status Id=" << r.order_id << " Volume=" << r.litre);
  const station_credential credential = station_credential::parse(param("apikey"));
  if (!credential.has_all_parts()) {
    return _answer(*ctx, 401);
  }
  if (!check_service_key(credential.service_key, key_holder::gateway)) {
    LOG("orvale", debug, "Unauthorized request");
    return _answer(*ctx, 401);
  }
  if (r.litre.empty()) {
    return _answer(*ctx, 400);
  }
  _record(r, credential);
  _answer(*ctx, 200);
}

void stat_volume::_record(const report& r, const station_credential& credential) {
  database::open_failure failure = database::open_failure::none;
  const std::unique_ptr<content::PGBackend> db = services.app_db.open(failure);
  if (db == nullptr) {
    LOG("orvale", debug,
        (failure == database::open_failure::create ? "DB Object error" : "DB connection error"));
    return;
  }
  station_caller caller;
  switch (identify_caller(*db, credential, caller)) {
  case caller_check::known:
    break;
  case caller_check::unknown_application:
    LOG("orvale", debug, "AppId not found");
    return;
  case caller_check::unknown_station:
    LOG("orvale", debug, "AZS not authorized");
    return;
  }
  const loaded_order lo = load_order(*db, caller.id_app, r.order_id, "");
  if (lo.failed()) {
    return;
  }
  // Another station's order, or none at all: the station may report only on its own orders.
  if (lo.order.id_shop != caller.id_shop) {
    LOG("orvale", debug, "AZS not authorized");
    return;
  }
  double volume = 0;
  if (str::_stod(r.litre, &volume) != 0 || !std::isfinite(volume)) {
    LOG("orvale", debug, about_order("Volume is not a number: " + r.litre, r.order_id));
    return;
  }
  // A completed order keeps its completion's volume; the report is relayed all the same.
  static_cast<void>(_write_and_relay(
      *db, [&] { return record_volume(*db, caller.id_app, r.order_id, volume); },
      volume_relay(settings, relay_order{caller.id_app, credential.app_key, r.order_id}, r.litre)));
}

} // namespace srv_apps
