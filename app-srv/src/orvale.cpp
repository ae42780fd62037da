// The root application: settings of one service cycle and the route table.
#include "orvale.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "callback.h"
#include "master.h"
#include "order.h"
#include "order_machine.h"
#include "outgoing.h"
#include "ping.h"
#include "prices.h"
#include "registration.h"
#include "relay_jobs.h"
#include "report.h"
#include "stat_canceled.h"
#include "stat_completed.h"
#include "stat_fueling.h"
#include "stat_notify.h"
#include "stat_volume.h"
#include "stations.h"
#include "sync_prices.h"
#include "sync_products.h"
#include "sync_stations.h"
#include "web/log.h"

namespace {

// Registers a route whose endpoint object lives for one request.
template <class Endpoint, void (Endpoint::*Handler)()>
void add_route(web::route_table& routes, srv_apps::endpoint_env env, const std::string& pattern,
               const std::string& channel, const std::string& label) {
  routes.add(
      pattern,
      [env, channel](const web::context_ptr& ctx) {
        Endpoint endpoint(env, ctx, channel);
        (endpoint.*Handler)();
      },
      label);
}

using route_adder = void (*)(web::route_table&, srv_apps::endpoint_env, const std::string&,
                             const std::string&, const std::string&);

struct route_entry {
  const char* pattern;
  const char* channel;
  const char* label; // in the request metrics
  route_adder add;
};

// Registration order decides which route wins; it is the order operators know from the logs.
constexpr route_entry route_entries[] = {
    {"^/ping(/?)$", "orvale/ping", "ping", &add_route<srv_apps::ping, &srv_apps::ping::get_ping>},
    {"^/price(/?)$", "orvale/price", "price",
     &add_route<srv_apps::prices, &srv_apps::prices::get_prices>},
    {"^/order(/?)$", "orvale/order", "order",
     &add_route<srv_apps::order, &srv_apps::order::get_order>},
    {"^/station(/?)$", "orvale/station", "station",
     &add_route<srv_apps::stations, &srv_apps::stations::get_stations>},
    {"^/fueling(/?)$", "orvale/fueling", "fueling",
     &add_route<srv_apps::stat_fueling, &srv_apps::stat_fueling::send_status>},
    {"^/canceled(/?)$", "orvale/canceled", "canceled",
     &add_route<srv_apps::stat_canceled, &srv_apps::stat_canceled::send_status>},
    {"^/completed(/?)$", "orvale/completed", "completed",
     &add_route<srv_apps::stat_completed, &srv_apps::stat_completed::send_status>},
    {"^/volume(/?)$", "orvale/volume", "volume",
     &add_route<srv_apps::stat_volume, &srv_apps::stat_volume::send_status>},
    {"^/message(/?)$", "orvale/message", "message",
     &add_route<srv_apps::stat_notify, &srv_apps::stat_notify::send_status>},
    {"^/sync_prices(/?)$", "orvale/sync_prices", "sync_prices",
     &add_route<srv_apps::sync_prices, &srv_apps::sync_prices::get_sync_prices>},
    {"^/sync_stations(/?)$", "orvale/sync_stations", "sync_stations",
     &add_route<srv_apps::sync_stations, &srv_apps::sync_stations::get_sync_stations>},
    {"^/sync_products(/?)$", "orvale/sync_products", "sync_products",
     &add_route<srv_apps::sync_products, &srv_apps::sync_products::get_sync_products>},
    {"^/callback/prices(/?)$", "orvale/callback/prices", "callback",
     &add_route<srv_apps::callback, &srv_apps::callback::get_callback_prices>},
    {"^/callback/config(/?)$", "orvale/callback", "callback",
     &add_route<srv_apps::callback, &srv_apps::callback::get_callback_config>},
    {"^/callback(/?)$", "orvale/callback", "callback",
     &add_route<srv_apps::callback, &srv_apps::callback::default_response>},
    {"^/cpanel/register(/?)$", "orvale/registration", "register",
     &add_route<srv_apps::registration, &srv_apps::registration::get_registration>},
    {"^/report/main(/?)$", "orvale/report", "report",
     &add_route<srv_apps::report, &srv_apps::report::get_report>},
};

srv_apps::gateway_settings read_gateway_settings(const web::settings& cfg) {
  return srv_apps::read_service_settings(cfg).gateway;
}

std::shared_ptr<content::connection_pool> pool_of(const content::DBConnection_t& record) {
  if (record.pool_size <= 0) {
    return nullptr;
  }
  auto pool = std::make_shared<content::connection_pool>(record);
  // Before the listener takes requests: after a restart under traffic every request would
  // otherwise open a connection of its own at once, and the first ones wait for all of them.
  if (record.pool_open_at_start > 0) {
    const int open = content::PGBackend(record, pool).open_pool_ahead();
    LOG("orvale", info,
        "Соединений с БД открыто заранее: " << open << " [" << record.dbname << "]");
  }
  return pool;
}

srv_apps::database database_of(const content::DBConnection_t& record) {
  return srv_apps::database{record, pool_of(record)};
}

// The jobs' sessions to the gateway's database come from a pool of their own: an order handler
// holds its pooled session, with the order's lock, through its pauses and its station call, and
// with one pool for both, a burst of new orders would keep every job (the dispenser starts of
// the orders before them among them) from the database until the burst had passed.
content::DBConnection_t jobs_record(const srv_apps::gateway_settings& s) {
  content::DBConnection_t record = s.app_database;
  record.pool_size = s.jobs.pool_size;
  record.pool_open_at_start = std::min(record.pool_open_at_start, s.jobs.pool_size);
  return record;
}

// Kept connections: as many idle ones to one controller as calls may be in flight to it. Without
// them only handles are kept, for all controllers together: one for each worker and as many for
// the handlers forwarding orders; a call beyond that sets up a handle of its own, as it would
// without any.
std::size_t station_cache_size(const srv_apps::gateway_settings& s) {
  if (s.station_keepalive.count() > 0) {
    return static_cast<std::size_t>(std::max(0, s.station_concurrency) +
                                    std::max(0, s.jobs.per_peer));
  }
  return 2 * static_cast<std::size_t>(std::max(1, s.jobs.workers));
}

} // namespace

orvale::orvale(const web::settings& cfg, std::shared_ptr<web::metrics> meter)
    : orvale(read_gateway_settings(cfg), std::move(meter)) {}

orvale::orvale(srv_apps::gateway_settings settings, std::shared_ptr<web::metrics> meter)
    : settings_(std::move(settings)),
      meter_(meter ? std::move(meter)
                   : std::make_shared<web::metrics>(endpoint_names(), peer_names())),
      clock_(settings_.pause_scale),
      station_limits_(settings_.station_concurrency, settings_.station_wait),
      station_connections_(station_cache_size(settings_), settings_.station_keepalive,
                           settings_.station_keepalive.count() > 0),
      notifications_(settings_.notifications.recv, settings_.notifications.forward,
                     settings_.notifications.send),
      // The local database serves every request; the back-office one only the synchronisations.
      app_db_(database_of(settings_.app_database)),
      backoffice_db_(database_of(settings_.velk_database)),
      jobs_db_(database_of(jobs_record(settings_))),
      jobs_(std::make_unique<srv_apps::job_runner>(
          srv_apps::job_runner_settings{settings_.jobs.workers, settings_.jobs.lease,
                                        settings_.jobs.per_peer, settings_.jobs.keep_done, ""},
          jobs_db_, clock_)),
      aggregator_(settings_.upstream_url,
                  srv_apps::tls_settings{settings_.upstream_tls_verify, settings_.ca_file},
                  meter_->peer("aggregator")),
      relay_upstream_(aggregator_),
      stations_(settings_.app_key,
                srv_apps::tls_settings{settings_.station_tls_verify, settings_.ca_file},
                &station_limits_, meter_->peer("station"), &station_connections_),
      services_{clock_,         app_db_, backoffice_db_, aggregator_, relay_upstream_, stations_,
                notifications_, *meter_, *jobs_,         nullptr,     &jobs_db_} {
  if (settings_.admin_key.empty()) {
    LOG("orvale", warning,
        "Не задан orvale.admin_key: регистрация, сверка и синхронизации принимают ключ шлюза, "
        "который известен каждому контроллеру АЗС");
  }
  srv_apps::warn_unverified_tls(settings_.upstream_url, settings_.upstream_tls_verify,
                                settings_.station_tls_verify);
  if (settings_.catalogue_cache) {
    start_catalogue_cache();
  }
  auto routes = std::make_shared<web::route_table>();
  register_routes(*routes);
  routes_ = std::move(routes);
  register_job_handlers();
  jobs_->start();
}

// Every kind of stored job this build runs; a kind booked by another build waits for it.
void orvale::register_job_handlers() {
  const srv_apps::endpoint_env env{settings_, services_};
  srv_apps::register_order_jobs(*jobs_, env);
  srv_apps::register_relay_jobs(*jobs_, env);
}

orvale::~orvale() {
  shutdown(web::millis(0));
}

void orvale::start_catalogue_cache() {
  constexpr std::size_t megabyte = 1024 * 1024;
  catalogue_ = std::make_unique<srv_apps::catalogue_cache>(
      static_cast<std::size_t>(settings_.catalogue_cache_mb) * megabyte);
  srv_apps::catalogue_cache& cache = *catalogue_;
  catalogue_listener_ = std::make_unique<content::change_listener>(
      settings_.app_database, clock_, [&cache](content::listen_event event, const std::vector<std::string>&) {
        switch (event) {
        case content::listen_event::up:
          cache.listening(true);
          break;
        case content::listen_event::down:
          cache.listening(false);
          break;
        case content::listen_event::changed:
          cache.changed();
          break;
        }
      });
  services_.catalogue = catalogue_.get();
}

void orvale::register_routes(web::route_table& routes) {
  const srv_apps::endpoint_env env{settings_, services_};
  for (const auto& r : route_entries) {
    r.add(routes, env, r.pattern, r.channel, r.label);
  }
  // Paths of no endpoint: 502 with no body.
  routes.add("", [](const web::context_ptr& ctx) {
    ctx->response().status(502);
    ctx->response().body("");
  });
}

std::vector<std::string> orvale::endpoint_names() {
  return {"order",       "price",    "station", "ping",     "fueling",       "completed",
          "canceled",    "volume",   "message", "callback", "sync_products", "sync_stations",
          "sync_prices", "register", "report",  "other"};
}

std::vector<std::string> orvale::peer_names() {
  return {"aggregator", "station"};
}

std::string orvale::root(const std::string& name) const {
  return settings_.script + "/" + name;
}

void orvale::shutdown(web::millis grace) {
  clock_.interrupt();
  if (catalogue_listener_) {
    catalogue_listener_->stop();
  }
  if (jobs_) {
    jobs_->shutdown(grace);
  }
}
