// The root application: reads the settings of one service cycle, owns the services built from
// them, and mounts every endpoint with the two. Only the process entry includes this header.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "catalogue_cache.h"
#include "conn_listen.h"
#include "gateway_services.h"
#include "gateway_settings.h"
#include "station_limit.h"
#include "web/clock.h"
#include "job_runner.h"
#include "web/metrics.h"
#include "web/server.h"
#include "web/settings.h"

class orvale {
public:
  // Reads the "orvale" section; throws std::runtime_error when "orvale.notifications",
  // "orvale.app_database" or "orvale.velk_database" is missing or not an object.
  // `meter` outlives service cycles so that counters survive a SIGHUP; without one the root keeps
  // its own.
  explicit orvale(const web::settings& cfg, std::shared_ptr<web::metrics> meter = nullptr);
  explicit orvale(const std::shared_ptr<const web::settings>& cfg,
                  std::shared_ptr<web::metrics> meter = nullptr)
      : orvale(*cfg, std::move(meter)) {}
  orvale(srv_apps::gateway_settings settings, std::shared_ptr<web::metrics> meter);
  ~orvale();
  orvale(const orvale&) = delete;
  orvale& operator=(const orvale&) = delete;

  const srv_apps::gateway_settings& settings() const { return settings_; }
  srv_apps::gateway_services& services() { return services_; }
  std::shared_ptr<const web::route_table> routes() const { return routes_; }
  // A link below the script name ("orvale/price"); "" names the default page.
  std::string root(const std::string& name) const;
  // The label values of the request and outgoing-call metrics.
  static std::vector<std::string> endpoint_names();
  static std::vector<std::string> peer_names();
  const std::shared_ptr<web::metrics>& meter() const { return meter_; }
  // Ends pauses, puts back the jobs claimed but not started, and gives running ones at most
  // `grace`.
  void shutdown(web::millis grace);

private:
  void register_routes(web::route_table& routes);
  void start_catalogue_cache();
  void register_job_handlers();

  const srv_apps::gateway_settings settings_;
  std::shared_ptr<web::metrics> meter_;
  web::real_clock clock_;
  srv_apps::station_limiter station_limits_;
  srv_apps::connection_cache station_connections_;
  srv_apps::notification_switches notifications_;
  const srv_apps::database app_db_;
  const srv_apps::database backoffice_db_;
  const srv_apps::database jobs_db_; // the gateway's database, with a pool of the jobs' own
  std::unique_ptr<srv_apps::job_runner> jobs_;
  const srv_apps::order_upstream aggregator_;
  const srv_apps::station_upstream relay_upstream_;
  const srv_apps::order_station stations_;
  srv_apps::gateway_services services_;
  std::shared_ptr<const web::route_table> routes_;
  // The listener reports into the cache, so it goes first.
  std::unique_ptr<srv_apps::catalogue_cache> catalogue_;
  std::unique_ptr<content::change_listener> catalogue_listener_;
};
