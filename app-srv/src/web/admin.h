// The operators' listener: a second port, apart from the service's, with health, readiness,
// the metrics scrape and the job view. Nothing of the service's routes is reachable through it,
// and none of its paths through the service's port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "web/jobs.h"
#include "web/metrics.h"

namespace web {

struct admin_options {
  std::string ip = "127.0.0.1";
  int port = 0; // 0: no listener
};

enum class readiness { ok, down, stopping };

// What the listener reports and does not know itself; called on the listener's threads.
class admin_sources {
public:
  virtual ~admin_sources() = default;
  virtual readiness ready() = 0;
  // Gauges of the service (queues, pools), written after the counters.
  virtual void write_gauges(exposition& out) = 0;
  virtual job_snapshot jobs() = 0;
};

class http_service;

class admin_service {
public:
  admin_service(admin_options options, std::shared_ptr<const metrics> meter,
                admin_sources& sources);
  ~admin_service();
  admin_service(const admin_service&) = delete;
  admin_service& operator=(const admin_service&) = delete;

  bool enabled() const { return options_.port != 0; }
  // Binds and starts accepting (nothing when not enabled); throws std::runtime_error when the
  // address cannot be bound, as the service's own listener does.
  void start();
  void stop();
  std::uint16_t port() const;

private:
  admin_options options_;
  std::shared_ptr<const metrics> meter_;
  admin_sources& sources_;
  std::unique_ptr<http_service> service_;
};

// The /jobs document: {"counts":{KIND:{STATE:n}},"failed":[{"order","kind","attempts",
// "last_error","failed_at"}]}, failures most recent first.
std::string jobs_document(const job_snapshot& jobs);
// The time in UTC as "2024-05-01T12:00:00Z".
std::string utc_timestamp(std::chrono::system_clock::time_point t);

} // namespace web
