// The root application: the "orvale" settings of one service cycle, the route table of every
// endpoint, and what work after a reply runs on (clock and background executor).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "completion_relay.h"
#include "conn.h"
#include "conn_pool.h"
#include "station_limit.h"
#include "web/clock.h"
#include "web/executor.h"
#include "web/metrics.h"
#include "web/server.h"
#include "web/settings.h"

class orvale {
public:
  // Reads the settings; throws std::runtime_error when "orvale.notifications",
  // "orvale.app_database" or "orvale.velk_database" is missing or not an object.
  // `meter` outlives service cycles so that counters survive a SIGHUP; without one the root keeps
  // its own.
  explicit orvale(std::shared_ptr<const web::settings> cfg,
                  std::shared_ptr<web::metrics> meter = nullptr);
  ~orvale();
  orvale(const orvale&) = delete;
  orvale& operator=(const orvale&) = delete;

  bool can_postpay() const { return postpay_allow_; }
  int max_expiration_time() const { return max_expiration_timeout_; }
  // Null when no upstream URL is configured.
  const char* upstr_url() const { return upstream_url_.empty() ? nullptr : upstream_url_.c_str(); }
  // Certificate checks of outgoing calls, and a private CA bundle for both kinds of peer.
  bool upstream_tls_verify() const { return upstream_tls_verify_; }
  bool station_tls_verify() const { return station_tls_verify_; }
  const std::string& ca_file() const { return ca_file_; }
  void set_notify(bool value, const std::string& name);
  bool is_notify(const std::string& name) const;
  std::string root(const std::string& name) const;
  // The operator's key opens registration, the report and the synchronisations: "orvale.admin_key"
  // when set, else the gateway's own key (which every station controller holds). Never "".
  bool is_operator_key(const std::string& key) const;
  void default_response(web::context& ctx) const;

  const web::settings& settings() const { return *cfg_; }
  std::shared_ptr<const web::route_table> routes() const { return routes_; }
  web::clock_source& clock() { return clock_; }
  web::executor& background() { return *executor_; }
  // The completion relays pending in this service cycle.
  const std::shared_ptr<srv_apps::completion_relays>& completions() const { return completions_; }
  // The slots of synchronous calls to station controllers ("orvale.station_concurrency" per
  // controller, waiting at most "orvale.station_wait").
  srv_apps::station_limiter& station_limits() const { return *station_limits_; }
  const web::executor& background() const { return *executor_; }
  // The label values of the request and outgoing-call metrics.
  static std::vector<std::string> endpoint_names();
  static std::vector<std::string> peer_names();
  const std::shared_ptr<web::metrics>& meter() const { return meter_; }
  // The outgoing-call counters of "aggregator" or "station".
  web::peer_call_counts* peer_calls(std::string_view peer) const { return meter_->peer(peer); }
  // The pool of one of the two records above; null when that record keeps no pool.
  std::shared_ptr<content::connection_pool> pool_for(const content::DBConnection_t& record) const;
  // Ends pauses and drops or finishes background work; waits at most `grace`.
  void shutdown(web::millis grace);

  // Read-only after construction.
  std::string script_name;
  std::string app_key;
  int sync_conf_interval = 10;  // min
  int sync_price_interval = 3;  // min
  int order_lock_wait = 20;     // s an order event waits for the run of an earlier one
  content::DBConnection_t app_database;
  content::DBConnection_t velk_database;

private:
  void read_settings();
  void register_routes(web::route_table& routes);

  std::shared_ptr<const web::settings> cfg_;
  std::shared_ptr<web::metrics> meter_;
  std::string upstream_url_;
  std::string admin_key_;
  int max_expiration_timeout_ = 259200; // s
  bool postpay_allow_ = true;
  bool upstream_tls_verify_ = true;
  bool station_tls_verify_ = false; // controllers commonly present self-signed certificates
  std::string ca_file_;
  std::atomic<bool> notify_recv_{true};
  std::atomic<bool> notify_forward_{false};
  std::atomic<bool> notify_send_{true};
  std::string default_page_;
  web::real_clock clock_;
  std::unique_ptr<web::executor> executor_;
  std::shared_ptr<srv_apps::completion_relays> completions_ =
      std::make_shared<srv_apps::completion_relays>();
  std::shared_ptr<const web::route_table> routes_;
  std::shared_ptr<content::connection_pool> app_pool_;
  std::shared_ptr<content::connection_pool> velk_pool_;
  std::unique_ptr<srv_apps::station_limiter> station_limits_;
};

// The listener options of the "service", "http" and "security" sections.
web::service_options read_service_options(const web::settings& cfg);
