// What the station endpoints write: a station link's controller key, and the column writes of the
// station events.
#pragma once

#include <string>
#include <vector>

#include "conn.h"

namespace content {

// Stores `key` as the controller key of the station's link: true when the statement ran, with
// `stored` the key now stored ("" when the station has no link row); false with the server's text
// in `failure`.
bool store_station_key(const PGBackend& db, int id_shop, const std::string& key,
                       std::string& stored, std::string& failure);

// The events' writes are each one UPDATE of its own columns only, so that events racing for one
// order cannot undo each other's columns. Each is true when a row was changed; failures are
// logged with the order's id.

// A completion the station reports and the state it moves the order to.
struct station_completion {
  double volume = 0;
  int trannum = 0;
  std::string station_time; // DD.MM.YYYY HH24:MI:SS, the station's clock
  std::string status_name;  // ordstatext
  int statusint = -1;
  int statusconfirmed = 0;
  // Stored internal statuses (-1 for NULL) it may be written from; and one more, `busy_status`,
  // from which it is written only while the order lock is free (no run is forwarding the order).
  std::vector<int> from;
  int busy_status = -1;
};

// volume, trannum, azstimelast, ordstatext, statusint and statusconfirmed, with the state check
// part of the statement so that a run writing at the same moment cannot slip in between.
[[nodiscard]] bool record_completion(const PGBackend& db, int id_app, const std::string& id,
                                     const station_completion& c);
[[nodiscard]] bool record_confirmation(const PGBackend& db, int id_app, const std::string& id,
                                       int statusconfirmed);
// The volume, unless the stored internal status is `final_status`.
[[nodiscard]] bool record_volume(const PGBackend& db, int id_app, const std::string& id,
                                 double volume, int final_status);

// Whether a relay of `kind` for the order is stored and not yet finished (waiting or under way);
// false as well when the query failed.
bool relay_pending(const PGBackend& db, const std::string& kind, int id_app, const std::string& id);

} // namespace content
