// What the endpoints work with, built once per service cycle by the root: the clock and the
// stored jobs' runner, the two databases with their pools, and the prebuilt clients of the
// aggregator and the station controllers.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "catalogue_cache.h"
#include "gateway_settings.h"
#include "job_runner.h"
#include "conn.h"
#include "conn_pool.h"
#include "order_station.h"
#include "order_upstream.h"
#include "station_upstream.h"
#include "web/clock.h"
#include "web/metrics.h"

namespace srv_apps {

// The switches of the station controllers' free-text messages: read at the start of a cycle,
// switchable while it runs.
class notification_switches {
public:
  notification_switches(bool recv, bool forward, bool send)
      : recv_(recv), forward_(forward), send_(send) {}
  // "recv", "forward" or "send"; any other name is off and cannot be switched.
  bool is_on(const std::string& name) const;
  void set(bool value, const std::string& name);

private:
  std::atomic<bool> recv_;
  std::atomic<bool> forward_;
  std::atomic<bool> send_;
};

// One database: its record and, when the record keeps one, its pool.
struct database {
  content::DBConnection_t record;
  std::shared_ptr<content::connection_pool> pool;

  // A backend with an open connection (leased from the pool when there is one); null when it
  // could not be created or connected, `failure` then holds which of the two.
  enum class open_failure { none, create, connect };
  std::unique_ptr<content::PGBackend> open(open_failure& failure) const;
};

struct gateway_services {
  web::clock_source& clock;
  const database& app_db;
  const database& backoffice_db;
  const order_upstream& aggregator;
  const station_upstream& relay_upstream; // the aggregator as the station events' relays call it
  const order_station& stations;
  notification_switches& notifications;
  web::metrics& meter;
  // The stored jobs: book_job() inside the state change's transaction, then nudge().
  job_runner& jobs;
  // Null when "orvale.catalogue_cache" is off.
  catalogue_cache* catalogue = nullptr;
  // The gateway's database as the jobs reach it, for the pool's figures.
  const database* jobs_db = nullptr;
};

// What the root mounts an endpoint with; both outlive every request of the service cycle and
// every piece of work booked in it.
struct endpoint_env {
  const gateway_settings& settings;
  gateway_services& services;
};

} // namespace srv_apps
