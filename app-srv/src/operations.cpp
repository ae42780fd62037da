// The operators' view of one service cycle.
#include "operations.h"

#include <chrono>

#include "conn_pool.h"
#include "conn_probe.h"
#include "orvale.h"

namespace {

constexpr std::chrono::milliseconds readiness_limit{1000};

void write_pool(web::exposition& out, const char* database,
                const std::shared_ptr<content::connection_pool>& pool) {
  const int open = pool ? pool->open_connections() : 0;
  const int idle = pool ? pool->idle_connections() : 0;
  const auto busy = static_cast<std::uint64_t>(open > idle ? open - idle : 0);
  out.sample("orvale_db_connections", {"database", database, "state", "idle"},
             static_cast<std::uint64_t>(idle > 0 ? idle : 0));
  out.sample("orvale_db_connections", {"database", database, "state", "busy"}, busy);
}

} // namespace

operations::operations(orvale& root, web::admin_options options)
    : root_(root), admin_(std::move(options), root.meter(), *this) {}

operations::~operations() { stop(); }

void operations::start() { admin_.start(); }

void operations::stop() { admin_.stop(); }

web::readiness operations::ready() {
  if (stopping_) {
    return web::readiness::stopping;
  }
  return content::database_answers(root_.app_database, readiness_limit) ? web::readiness::ok
                                                                          : web::readiness::down;
}

void operations::write_gauges(web::exposition& out) {
  write_job_gauges(jobs(), out);
  out.family("orvale_db_connections",
             "Pooled connections by database (app, backoffice) and state (idle, busy).", "gauge");
  write_pool(out, "app", root_.pool_for(root_.app_database));
  write_pool(out, "backoffice", root_.pool_for(root_.velk_database));
}

web::job_snapshot operations::jobs() { return root_.background().jobs(); }

void write_job_gauges(const web::job_snapshot& jobs, web::exposition& out) {
  web::job_counts total;
  for (const auto& [kind, c] : jobs.counts) {
    total.due += c.due;
    total.scheduled += c.scheduled;
    total.running += c.running;
    total.failed += c.failed;
  }
  out.family("orvale_jobs",
             "Background jobs by state; failed counts the jobs given up since the start.", "gauge");
  out.sample("orvale_jobs", {"state", "due"}, total.due);
  out.sample("orvale_jobs", {"state", "scheduled"}, total.scheduled);
  out.sample("orvale_jobs", {"state", "running"}, total.running);
  out.sample("orvale_jobs", {"state", "failed"}, total.failed);
  out.family("orvale_jobs_oldest_due_seconds",
             "How long the oldest due job has waited for a thread; 0 when none is due.", "gauge");
  const double wait = jobs.oldest_due ? std::chrono::duration<double>(*jobs.oldest_due).count() : 0;
  out.sample("orvale_jobs_oldest_due_seconds", {}, wait);
}

web::admin_options read_admin_options(const web::settings& cfg) {
  web::admin_options o;
  o.ip = cfg.get("admin.ip", o.ip);
  o.port = cfg.get("admin.port", o.port);
  return o;
}
