// The settings table and the typed settings read through it.
#include "gateway_settings.h"

#include <algorithm>
#include <stdexcept>

namespace srv_apps {
namespace {

using web::setting_kind;
using web::setting_row;

// The keys of one database object; the two objects differ only in two defaults.
void add_database_rows(std::vector<setting_row>& rows, const std::string& object,
                       int pool_size, int statement_timeout) {
  const std::string p = object + ".";
  rows.insert(rows.end(), {
    {p + "db_host", setting_kind::text, std::string("localhost"), "", "server host; \"null\" keeps the default"},
    {p + "db_port", setting_kind::integer, 5432, "", "server port"},
    {p + "db_name", setting_kind::text, std::string(), "", "database name"},
    {p + "db_user", setting_kind::text, std::string(), "", "user name"},
    {p + "db_pass", setting_kind::text, std::string(), "", "password"},
    {p + "connect_timeout", setting_kind::integer, 5, "s", "connecting, and waiting for a pooled connection"},
    {p + "statement_timeout", setting_kind::integer, statement_timeout, "s", "the server cancels a longer statement; 0: no limit"},
    {p + "pool_size", setting_kind::integer, pool_size, "", "connections kept for reuse, the most open at once; 0: one per request"},
    {p + "pool_max_idle", setting_kind::integer, 300, "s", "an unused pooled connection is closed after it"},
    {p + "pool_max_lifetime", setting_kind::integer, 3600, "s", "a pooled connection is replaced after it"},
    {p + "pool_open_at_start", setting_kind::integer, 0, "", "pooled connections opened before requests are taken (at most pool_size); 0: as requests need them"},
  });
}

std::vector<setting_row> make_rows() {
  // clang-format off
  std::vector<setting_row> rows = {
    {"service.ip", setting_kind::text, std::string("127.0.0.1"), "", "address of the HTTP listener"},
    {"service.port", setting_kind::integer, 8080, "", "port of the HTTP listener"},
    {"service.worker_threads", setting_kind::integer, 128, "", "requests handled at once"},
    {"service.max_queued", setting_kind::integer, 256, "", "accepted connections waiting for a worker"},
    {"service.shutdown_grace", setting_kind::integer, 10, "s", "running requests and background work may finish on SIGHUP, SIGTERM, SIGINT"},
    {"admin.ip", setting_kind::text, std::string("127.0.0.1"), "", "address of the operators' listener"},
    {"admin.port", setting_kind::integer, 0, "", "port of the operators' listener; 0: none"},
    {"http.script", setting_kind::text, std::string("/orvale"), "", "the path every endpoint lives below"},
    {"http.timeout", setting_kind::integer, 30, "s", "longest a reply may take to send, or a detached handler to answer"},
    {"http.request_deadline", setting_kind::integer, 30, "s", "the whole request must arrive within it, else 408"},
    {"http.keep_alive_timeout", setting_kind::integer, 5, "s", "an idle kept-alive connection is closed after it"},
    {"security.content_length_limit", setting_kind::integer, 1024, "KB", "larger request bodies are answered 413"},
    {"logging.level", setting_kind::text, std::string("error"), "", "critical, error, warning, notice, info or debug"},
    {"logging.stderr", setting_kind::boolean, std::monostate{}, "", "default: true when neither a file nor syslog is configured"},
    {"logging.file.name", setting_kind::text, std::string(), "", "log file; \"\": none"},
    {"logging.file.append", setting_kind::boolean, true, "", "false empties the file at each start"},
    {"logging.file.max_files", setting_kind::integer, 0, "", "N > 0 rotates at 10 MB and keeps N old files"},
    {"logging.syslog.enable", setting_kind::boolean, false, "", "records go to syslog as well"},
    {"logging.syslog.id", setting_kind::text, std::string(), "", "the identity syslog records carry"},
    {"orvale.script", setting_kind::text, std::string("orvale"), "", "prefix of the links the service builds"},
    {"orvale.upstream_url", setting_kind::text, std::string(), "", "the aggregator's base URL; \"\": every call to it answers 503"},
    {"orvale.app_key", setting_kind::text, std::string(), "", "the gateway's own key, presented by station controllers"},
    {"orvale.admin_key", setting_kind::text, std::string(), "", "the operator's key; \"\": app_key is accepted instead"},
    {"orvale.station_concurrency", setting_kind::integer, 4, "", "synchronous calls in flight to one station controller"},
    {"orvale.station_wait", setting_kind::number, 2.0, "s", "a call that finds no free slot within it fails"},
    {"orvale.station_keepalive", setting_kind::number, 0.0, "s", "a station's connection is kept for its next call while idle less than this; 0: a new one per call"},
    {"orvale.max_expiration_timeout", setting_kind::integer, 259200, "s", "the completion relay stops retrying after it"},
    {"orvale.sync_conf_interval", setting_kind::integer, 10, "min", "least spacing of product and station synchronisations"},
    {"orvale.sync_price_interval", setting_kind::integer, 3, "min", "least spacing of price synchronisations"},
    {"orvale.order_lock_wait", setting_kind::integer, 20, "s", "an order event waits this long for an earlier one, then 504"},
    {"orvale.postpay_allow", setting_kind::boolean, true, "", "false refuses every post-paid order"},
    {"orvale.pause_scale", setting_kind::number, 1.0, "", "factor on every fixed pause"},
    {"orvale.jobs.workers", setting_kind::integer, 16, "", "threads of this process that run the stored jobs (relays, order steps)"},
    {"orvale.jobs.lease", setting_kind::number, 60.0, "s", "a claimed job is taken over by another process when its lease is not renewed within it"},
    {"orvale.jobs.per_peer", setting_kind::integer, 4, "", "calls one process makes at once to one peer (scheme, host, port) from jobs"},
    {"orvale.jobs.keep_done", setting_kind::integer, 86400, "s", "finished jobs are deleted after it; failed ones are kept"},
    {"orvale.jobs.pool_size", setting_kind::integer, 16, "", "pooled connections of the jobs to the gateway's database, apart from app_database's; 0: one per job run"},
    {"orvale.catalogue_cache", setting_kind::boolean, true, "", "keep price lists and station configurations in memory until their tables change"},
    {"orvale.catalogue_cache_mb", setting_kind::integer, 64, "MB", "memory the kept replies may take; least recently used out first"},
    {"orvale.upstream_tls_verify", setting_kind::boolean, true, "", "check the aggregator's certificate"},
    {"orvale.station_tls_verify", setting_kind::boolean, false, "", "check station controllers' certificates"},
    {"orvale.ca_file", setting_kind::text, std::string(), "", "PEM authorities to trust instead of the system's"},
    {"orvale.notifications.recv", setting_kind::boolean, true, "", "false answers every station message 403"},
    {"orvale.notifications.forward", setting_kind::boolean, false, "", "relay each station message to the aggregator"},
    {"orvale.notifications.send", setting_kind::boolean, true, "", "reserved"},
  };
  // clang-format on
  add_database_rows(rows, "orvale.app_database", 16, 30);
  add_database_rows(rows, "orvale.velk_database", 0, 0);
  return rows;
}

void require_object(const web::settings& cfg, const std::string& path) {
  if (!cfg.has_object(path)) {
    throw std::runtime_error("Ошибка конфигурации: нет объекта \"" + path + "\"");
  }
}

// A string key holding the text "null" keeps its default, as a missing one does.
std::string text_or_default(const web::setting_reader& r, const std::string& path) {
  std::string v = r.text(path);
  if (v == "null") {
    return std::get<std::string>(setting_rows().row(path, setting_kind::text).def);
  }
  return v;
}

content::DBConnection_t read_database(const web::settings& cfg, const std::string& object) {
  require_object(cfg, object);
  const web::setting_reader r(cfg, setting_rows());
  const std::string p = object + ".";
  content::DBConnection_t rec;
  rec.host = text_or_default(r, p + "db_host");
  rec.dbname = text_or_default(r, p + "db_name");
  rec.user = text_or_default(r, p + "db_user");
  rec.password = text_or_default(r, p + "db_pass");
  rec.port = r.integer(p + "db_port");
  rec.connect_timeout = r.integer(p + "connect_timeout");
  rec.statement_timeout = r.integer(p + "statement_timeout");
  rec.pool_size = r.integer(p + "pool_size");
  rec.pool_max_idle = r.integer(p + "pool_max_idle");
  rec.pool_max_lifetime = r.integer(p + "pool_max_lifetime");
  rec.pool_open_at_start = r.integer(p + "pool_open_at_start");
  return rec;
}

web::log_sinks read_logging(const web::setting_reader& r) {
  web::log_sinks s;
  const std::string level = r.text("logging.level");
  if (!web::parse_log_level(level, s.level)) {
    throw std::runtime_error("Ошибка конфигурации: неизвестный уровень журнала \"" + level + "\"");
  }
  s.file_name = r.text("logging.file.name");
  s.file_append = r.boolean("logging.file.append");
  s.file_max_files = r.integer("logging.file.max_files");
  s.syslog = r.boolean("logging.syslog.enable");
  s.syslog_id = r.text("logging.syslog.id");
  s.to_stderr = r.boolean("logging.stderr", s.file_name.empty() && !s.syslog);
  return s;
}

web::service_options read_listener(const web::setting_reader& r) {
  web::service_options o;
  o.ip = r.text("service.ip");
  o.port = r.integer("service.port");
  o.worker_threads = r.integer("service.worker_threads");
  o.max_queued = r.integer("service.max_queued");
  o.script = r.text("http.script");
  o.timeout = r.integer("http.timeout");
  o.request_deadline = r.integer("http.request_deadline");
  o.keep_alive_timeout = r.integer("http.keep_alive_timeout");
  o.content_length_limit = r.integer("security.content_length_limit");
  return o;
}

gateway_settings read_gateway(const web::settings& cfg, const web::setting_reader& r) {
  gateway_settings g;
  g.script = r.text("orvale.script");
  g.upstream_url = r.text("orvale.upstream_url");
  g.app_key = r.text("orvale.app_key");
  g.admin_key = r.text("orvale.admin_key");
  g.sync_conf_interval = r.duration<std::chrono::minutes>("orvale.sync_conf_interval");
  g.sync_price_interval = r.duration<std::chrono::minutes>("orvale.sync_price_interval");
  g.order_lock_wait = r.duration<std::chrono::seconds>("orvale.order_lock_wait");
  g.postpay_allow = r.boolean("orvale.postpay_allow");
  g.max_expiration_timeout = r.duration<std::chrono::seconds>("orvale.max_expiration_timeout");
  g.upstream_tls_verify = r.boolean("orvale.upstream_tls_verify");
  g.station_tls_verify = r.boolean("orvale.station_tls_verify");
  g.ca_file = r.text("orvale.ca_file");
  g.station_concurrency = r.integer("orvale.station_concurrency");
  g.station_wait = std::max(std::chrono::milliseconds(0),
                            r.duration<std::chrono::milliseconds>("orvale.station_wait"));
  g.station_keepalive = std::max(std::chrono::milliseconds(0),
                                 r.duration<std::chrono::milliseconds>("orvale.station_keepalive"));
  g.pause_scale = r.number("orvale.pause_scale");
  g.jobs.workers = std::max(1, r.integer("orvale.jobs.workers"));
  g.jobs.lease = std::max(std::chrono::milliseconds(300),
                          r.duration<std::chrono::milliseconds>("orvale.jobs.lease"));
  g.jobs.per_peer = std::max(1, r.integer("orvale.jobs.per_peer"));
  g.jobs.keep_done = std::max(std::chrono::seconds(0),
                              r.duration<std::chrono::seconds>("orvale.jobs.keep_done"));
  g.jobs.pool_size = std::max(0, r.integer("orvale.jobs.pool_size"));
  g.catalogue_cache = r.boolean("orvale.catalogue_cache");
  g.catalogue_cache_mb = std::max(0, r.integer("orvale.catalogue_cache_mb"));
  require_object(cfg, "orvale.notifications");
  g.notifications.recv = r.boolean("orvale.notifications.recv");
  g.notifications.forward = r.boolean("orvale.notifications.forward");
  g.notifications.send = r.boolean("orvale.notifications.send");
  // The local database serves every request; the back-office one only the synchronisations,
  // whose reads are long copies of whole tables: no time-out and no pool unless set.
  g.app_database = read_database(cfg, "orvale.app_database");
  g.velk_database = read_database(cfg, "orvale.velk_database");
  return g;
}

} // namespace

const web::setting_table& setting_rows() {
  static const web::setting_table table(make_rows());
  return table;
}

web::service_options read_service_options(const web::settings& cfg) {
  return read_listener(web::setting_reader(cfg, setting_rows()));
}

web::log_sinks read_log_settings(const web::settings& cfg) {
  return read_logging(web::setting_reader(cfg, setting_rows()));
}

service_settings read_service_settings(const web::settings& cfg) {
  const web::setting_reader r(cfg, setting_rows());
  service_settings s;
  s.logging = read_logging(r);
  s.listener = read_listener(r);
  s.admin.ip = r.text("admin.ip");
  s.admin.port = r.integer("admin.port");
  s.shutdown_grace = r.duration<std::chrono::seconds>("service.shutdown_grace");
  s.gateway = read_gateway(cfg, r);
  return s;
}

bool same_key(std::string_view given, std::string_view expected) {
  if (given.empty() || expected.empty() || given.size() != expected.size()) {
    return false;
  }
  unsigned char diff = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i] ^ expected[i]);
  }
  return diff == 0;
}

bool gateway_settings::is_operator_key(std::string_view key) const {
  return same_key(key, admin_key.empty() ? app_key : admin_key);
}

bool gateway_settings::is_service_key(std::string_view key) const { return same_key(key, app_key); }

} // namespace srv_apps
