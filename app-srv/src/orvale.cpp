// The root application: settings of one service cycle and the route table.
#include "orvale.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "callback.h"
#include "master.h"
#include "order.h"
#include "outgoing.h"
#include "ping.h"
#include "prices.h"
#include "registration.h"
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

constexpr int default_executor_threads = 16;
constexpr int default_executor_queue = 100000;

// "null" as well as a missing key means "not set": the record keeps its default.
void read_text(const web::json::value& obj, const char* key, std::string& field) {
  std::string v = web::json::get_string(obj, key, "null");
  if (v != "null") {
    field = v;
  }
}

content::DBConnection_t read_database(const web::settings& cfg, const std::string& path,
                                      int default_pool_size, int default_statement_timeout) {
  if (!cfg.has_object(path)) {
    throw std::runtime_error("Ошибка конфигурации: нет объекта \"" + path + "\"");
  }
  const web::json::value obj = cfg.find(path);
  content::DBConnection_t rec;
  read_text(obj, "db_host", rec.host);
  read_text(obj, "db_name", rec.dbname);
  read_text(obj, "db_user", rec.user);
  read_text(obj, "db_pass", rec.password);
  rec.port = web::json::get_int(obj, "db_port", 5432);
  rec.connect_timeout = web::json::get_int(obj, "connect_timeout", 5);
  rec.statement_timeout = web::json::get_int(obj, "statement_timeout", default_statement_timeout);
  rec.pool_size = web::json::get_int(obj, "pool_size", default_pool_size);
  rec.pool_max_idle = web::json::get_int(obj, "pool_max_idle", 300);
  rec.pool_max_lifetime = web::json::get_int(obj, "pool_max_lifetime", 3600);
  return rec;
}

// Registers a route whose endpoint object lives for one request.
template <class Endpoint, void (Endpoint::*Handler)()>
void add_route(web::route_table& routes, orvale& root, const std::string& pattern,
               const std::string& channel, const std::string& label) {
  routes.add(
      pattern,
      [&root, channel](const web::context_ptr& ctx) {
        Endpoint endpoint(root, ctx, channel);
        (endpoint.*Handler)();
      },
      label);
}

} // namespace

orvale::orvale(std::shared_ptr<const web::settings> cfg, std::shared_ptr<web::metrics> meter)
    : cfg_(std::move(cfg)),
      meter_(meter ? std::move(meter)
                   : std::make_shared<web::metrics>(endpoint_names(), peer_names())),
      clock_(cfg_->get("orvale.pause_scale", 1.0)) {
  read_settings();
  executor_ = std::make_unique<web::executor>(
      static_cast<std::size_t>(cfg_->get("orvale.executor_threads", default_executor_threads)),
      static_cast<std::size_t>(cfg_->get("orvale.executor_queue", default_executor_queue)),
      clock_);
  auto routes = std::make_shared<web::route_table>();
  register_routes(*routes);
  routes_ = std::move(routes);
}

orvale::~orvale() { shutdown(web::millis(0)); }

void orvale::read_settings() {
  const web::settings& cfg = *cfg_;
  script_name = cfg.get("orvale.script", "orvale");
  upstream_url_ = cfg.get("orvale.upstream_url", "");
  app_key = cfg.get("orvale.app_key", "");
  admin_key_ = cfg.get("orvale.admin_key", "");
  if (admin_key_.empty()) {
    LOG("orvale", warning,
        "Не задан orvale.admin_key: регистрация, сверка и синхронизации принимают ключ шлюза, "
        "который известен каждому контроллеру АЗС");
  }
  sync_conf_interval = cfg.get("orvale.sync_conf_interval", 10);
  sync_price_interval = cfg.get("orvale.sync_price_interval", 3);
  order_lock_wait = cfg.get("orvale.order_lock_wait", 20);
  postpay_allow_ = cfg.get("orvale.postpay_allow", true);
  max_expiration_timeout_ = cfg.get("orvale.max_expiration_timeout", 259200);
  upstream_tls_verify_ = cfg.get("orvale.upstream_tls_verify", true);
  station_tls_verify_ = cfg.get("orvale.station_tls_verify", false);
  ca_file_ = cfg.get("orvale.ca_file", "");
  station_limits_ = std::make_unique<srv_apps::station_limiter>(
      cfg.get("orvale.station_concurrency", 4),
      std::chrono::milliseconds(
          static_cast<long long>(std::max(0.0, cfg.get("orvale.station_wait", 2.0)) * 1000)));
  srv_apps::warn_unverified_tls(upstream_url_, upstream_tls_verify_, station_tls_verify_);

  if (!cfg.has_object("orvale.notifications")) {
    throw std::runtime_error("Ошибка конфигурации: нет объекта \"orvale.notifications\"");
  }
  notify_recv_ = cfg.get("orvale.notifications.recv", true);
  notify_forward_ = cfg.get("orvale.notifications.forward", false);
  notify_send_ = cfg.get("orvale.notifications.send", true);

  // The local database serves every request; the back-office one only the synchronisations.
  // The back-office database's reads are long copies of whole tables: no time-out unless set.
  app_database = read_database(cfg, "orvale.app_database", 16, 30);
  velk_database = read_database(cfg, "orvale.velk_database", 0, 0);
  if (app_database.pool_size > 0) {
    app_pool_ = std::make_shared<content::connection_pool>(app_database);
  }
  if (velk_database.pool_size > 0) {
    velk_pool_ = std::make_shared<content::connection_pool>(velk_database);
  }
}

void orvale::register_routes(web::route_table& routes) {
  using srv_apps::pending;
  // Registration order decides which route wins; it is the order operators know from the logs.
  add_route<srv_apps::ping, &srv_apps::ping::get_ping>(routes, *this, "^/ping(/?)$", "orvale/ping",
                                                       "ping");
  add_route<srv_apps::prices, &srv_apps::prices::get_prices>(routes, *this, "^/price(/?)$",
                                                             "orvale/price", "price");
  add_route<srv_apps::order, &srv_apps::order::get_order>(routes, *this, "^/order(/?)$",
                                                          "orvale/order", "order");
  add_route<srv_apps::stations, &srv_apps::stations::get_stations>(
      routes, *this, "^/station(/?)$", "orvale/station", "station");
  using route_adder = void (*)(web::route_table&, orvale&, const std::string&, const std::string&,
                               const std::string&);
  struct entry {
    const char* pattern;
    const char* channel;
    const char* label; // in the request metrics
    route_adder add = &add_route<pending, &pending::get_pending>; // until its endpoint is built
  };
  static constexpr entry more_routes[] = {
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
  for (const auto& e : more_routes) {
    e.add(routes, *this, e.pattern, e.channel, e.label);
  }
  routes.add("", [this](const web::context_ptr& ctx) { default_response(*ctx); });
}

std::vector<std::string> orvale::endpoint_names() {
  return {"order",         "price",         "station",     "ping",     "fueling", "completed",
          "canceled",      "volume",        "message",     "callback", "sync_products",
          "sync_stations", "sync_prices",   "register",    "report",   "other"};
}

std::vector<std::string> orvale::peer_names() { return {"aggregator", "station"}; }

std::shared_ptr<content::connection_pool>
orvale::pool_for(const content::DBConnection_t& record) const {
  if (&record == &app_database) {
    return app_pool_;
  }
  if (&record == &velk_database) {
    return velk_pool_;
  }
  return nullptr;
}

void orvale::set_notify(bool value, const std::string& name) {
  if (name == "recv") {
    notify_recv_ = value;
  } else if (name == "send") {
    notify_send_ = value;
  } else if (name == "forward") {
    notify_forward_ = value;
  }
}

bool orvale::is_notify(const std::string& name) const {
  if (name == "recv") {
    return notify_recv_;
  }
  if (name == "send") {
    return notify_send_;
  }
  if (name == "forward") {
    return notify_forward_;
  }
  return false;
}

bool orvale::is_operator_key(const std::string& key) const {
  const std::string& expected = admin_key_.empty() ? app_key : admin_key_;
  if (key.empty() || expected.empty() || key.size() != expected.size()) {
    return false;
  }
  // Every byte compared, so that the time taken tells nothing of how much of the key matched.
  unsigned char diff = 0;
  for (std::size_t i = 0; i < key.size(); ++i) {
    diff |= static_cast<unsigned char>(key[i] ^ expected[i]);
  }
  return diff == 0;
}

std::string orvale::root(const std::string& name) const {
  return script_name + "/" + (name.empty() ? default_page_ : name);
}

void orvale::default_response(web::context& ctx) const {
  ctx.response().status(502);
  ctx.response().body("");
}

void orvale::shutdown(web::millis grace) {
  clock_.interrupt();
  if (executor_) {
    executor_->shutdown(grace);
  }
}

web::service_options read_service_options(const web::settings& cfg) {
  web::service_options o;
  o.ip = cfg.get("service.ip", o.ip);
  o.port = cfg.get("service.port", o.port);
  o.worker_threads = cfg.get("service.worker_threads", o.worker_threads);
  o.max_queued = cfg.get("service.max_queued", o.max_queued);
  o.script = cfg.get("http.script", o.script);
  o.timeout = cfg.get("http.timeout", o.timeout);
  o.request_deadline = cfg.get("http.request_deadline", o.request_deadline);
  o.keep_alive_timeout = cfg.get("http.keep_alive_timeout", o.keep_alive_timeout);
  o.content_length_limit = cfg.get("security.content_length_limit", o.content_length_limit);
  return o;
}
