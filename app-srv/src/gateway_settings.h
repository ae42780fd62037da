// What the gateway reads from its configuration, once per service cycle: typed, with units, and
// read-only afterwards. The root reads it and hands each endpoint the part it needs.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "conn.h"
#include "web/admin.h"
#include "web/log.h"
#include "web/server.h"
#include "web/setting_table.h"
#include "web/settings.h"

namespace srv_apps {

// The "orvale" section.
struct gateway_settings {
  std::string script;       // prefix of the links the service builds
  std::string upstream_url; // "" when no aggregator is configured
  std::string app_key;      // the gateway's own key, which every station controller holds
  std::string admin_key;    // the operator's key; "" falls back to app_key
  std::chrono::minutes sync_conf_interval{10};
  std::chrono::minutes sync_price_interval{3};
  std::chrono::seconds order_lock_wait{20}; // an order event waits for the run of an earlier one
  std::chrono::seconds max_expiration_timeout{259200};
  bool postpay_allow = true;
  bool upstream_tls_verify = true;
  bool station_tls_verify = false; // controllers commonly present self-signed certificates
  std::string ca_file;
  int station_concurrency = 4;
  std::chrono::milliseconds station_wait{2000};
  std::chrono::milliseconds station_keepalive{0};
  double pause_scale = 1.0;
  struct {
    int workers = 16;
    std::chrono::milliseconds lease{60000};
    int per_peer = 4;
    std::chrono::seconds keep_done{86400};
    int pool_size = 16; // the jobs' own sessions to the gateway's database
  } jobs;
  bool catalogue_cache = true; // replies kept until the database announces a change
  int catalogue_cache_mb = 64;
  struct {
    bool recv = true;
    bool forward = false;
    bool send = true;
  } notifications; // at the start of the cycle
  content::DBConnection_t app_database;
  content::DBConnection_t velk_database;

  // The operator's key opens registration, the report and the synchronisations: "admin_key" when
  // set, else the gateway's own key. Compared in constant time; "" never matches.
  bool is_operator_key(std::string_view key) const;
  // The gateway's own key, as station controllers present it; "" never matches.
  bool is_service_key(std::string_view key) const;
};

// Everything one configuration file sets.
struct service_settings {
  web::log_sinks logging;
  web::service_options listener;
  web::admin_options admin;
  std::chrono::seconds shutdown_grace{10};
  gateway_settings gateway;
};

// Every setting the service reads, with its default, unit and meaning.
const web::setting_table& setting_rows();

// "service", "http" and "security": the listener.
web::service_options read_service_options(const web::settings& cfg);

// "logging"; throws std::runtime_error when the level is unknown.
web::log_sinks read_log_settings(const web::settings& cfg);

// Throws std::runtime_error with an operator-readable text when the log level is unknown or one of
// the required objects ("orvale.notifications", "orvale.app_database", "orvale.velk_database") is
// missing.
service_settings read_service_settings(const web::settings& cfg);

// Both keys compared byte by byte over the whole length, so the time taken tells nothing of how
// much matched; "" never matches.
bool same_key(std::string_view given, std::string_view expected);

} // namespace srv_apps
