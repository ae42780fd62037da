// What the five station event endpoints share: the three-part credential a station controller
// presents, the lookup of the caller and of the order, the few column writes of the events, and
// the booking of their relays to the aggregator beside those writes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "conn.h"
#include "conn_jobs.h"
#include "job_runner.h"
#include "master.h"

namespace srv_apps {

// "apikey" of a station event: the aggregator application's key, the gateway's own key, the
// station link's key, separated by commas; missing parts are empty, parts after the third are
// ignored. It is the value the gateway itself sends to a station controller.
struct station_credential {
  std::string app_key;
  std::string service_key;
  std::string station_key;

  static station_credential parse(const std::string& apikey);
  bool has_all_parts() const;
};

// The caller as the database knows it.
struct station_caller {
  int id_app = -1;
  int id_shop = -1; // the authenticated station
};

enum class caller_check { known, unknown_application, unknown_station };
caller_check identify_caller(const content::PGBackend& db, const station_credential& credential,
                             station_caller& out);

// One order loaded for an event. With no row for the key the record belongs to no station
// (id_shop -1).
struct loaded_order {
  content::OrderData order;
  int rows = 0;
  int query_status = 0; // the lookup's result status (content::RESULT_STATUS_*), 0 when none ran

  // The lookup itself went wrong (an empty id is not even queried); no row is not a failure.
  bool failed() const;
  bool found() const { return rows > 0; }
};

// getOrder, then the debug line `log_prefix` + "Get existing order Id=..." on "orvale".
loaded_order load_order(content::PGBackend& db, int id_app, const std::string& id,
                        const std::string& log_prefix);

// Status names under which a station's cancellation changes nothing locally, the spellings the
// aggregator and older gateways have stored included.
bool is_finished_status(const std::string& ordstatext);

// The events' writes (see conn_station.h) with the states they move an order to. True when a row
// was changed.
//
// volume, trannum, azstimelast (DD.MM.YYYY HH24:MI:SS), ordstatext "Completed", statusint 3,
// statusconfirmed 0.
[[nodiscard]] bool record_completion(const content::PGBackend& db, int id_app,
                                     const std::string& id, double volume, int trannum,
                                     const std::string& station_time);
[[nodiscard]] bool record_confirmation(const content::PGBackend& db, int id_app,
                                       const std::string& id);
// A completed order keeps the volume of its completion: a progress report arriving after it is
// stale.
[[nodiscard]] bool record_volume(const content::PGBackend& db, int id_app, const std::string& id,
                                 double volume);

// A log text about one order: `text` + " (заказ : 'ID')".
std::string about_order(const std::string& text, const std::string& order_id);

// The base of the five station event endpoints: the steps of the pattern that refuse with a
// status. Refusals are thrown as ExceptionHTTP for the handler's single catch.
class station_event : public master {
public:
  using master::master;

protected:
  // Every part present and the service key the configured one: else 401.
  void _check_credential(const station_credential& credential, const std::string& order_id) const;
  // Opens the request's backend (create_code / connect_code when it cannot) and identifies the
  // application and the station (401 when either is unknown).
  station_caller _identify(const station_credential& credential,
                           std::unique_ptr<content::PGBackend>& db, int create_code,
                           int connect_code, const std::string& order_id);
  // The order belongs to the authenticated station: else 401. An order with no row belongs to
  // none.
  static void _check_station(const loaded_order& lo, const station_caller& caller);
  // The reply to the station: the status alone, sent at once.
  static void _answer(web::context& ctx, int status);

  // Books `relay` in `tx`, which holds the event's own writes, commits, and nudges the runner.
  // False, logged about the order on the channel, when the booking or the commit failed: then
  // nothing of the event stays written and the event was not taken.
  bool _commit_relay(content::transaction& tx, const content::PGBackend& db,
                     const job_booking& relay);
  // The event's write (none when null) and its relay in one transaction. The relay goes whether
  // or not the write changed anything: when it did not, its transaction is dropped, a failed
  // statement's included, and the relay is booked alone.
  bool _write_and_relay(const content::PGBackend& db, const std::function<bool()>& write,
                        const job_booking& relay);
};

} // namespace srv_apps
