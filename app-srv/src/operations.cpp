// The operators' view of one service cycle.
#include "operations.h"

#include <chrono>

#include "conn_pool.h"
#include "conn_probe.h"

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

operations::operations(srv_apps::gateway_services& services, std::shared_ptr<web::metrics> meter,
                       web::admin_options options)
    : services_(services), admin_(std::move(options), std::move(meter), *this) {}

operations::~operations() { stop(); }

void operations::start() { admin_.start(); }

void operations::stop() { admin_.stop(); }

web::readiness operations::ready() {
  if (stopping_) {
    return web::readiness::stopping;
  }
  return content::database_answers(services_.app_db.record, readiness_limit) ? web::readiness::ok
                                                                          : web::readiness::down;
}

void operations::write_gauges(web::exposition& out) {
  write_job_gauges(jobs(), out);
  out.family("orvale_db_connections",
             "Pooled connections by database (app, jobs: the app's for the stored jobs, "
             "backoffice) and state (idle, busy).",
             "gauge");
  write_pool(out, "app", services_.app_db.pool);
  if (services_.jobs_db != nullptr) {
    write_pool(out, "jobs", services_.jobs_db->pool);
  }
  write_pool(out, "backoffice", services_.backoffice_db.pool);
}

web::job_snapshot operations::jobs() { return services_.jobs.jobs(); }

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
