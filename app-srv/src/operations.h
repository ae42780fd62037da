// What the operators' listener reports of one service cycle: readiness from the gateway's own
// database, the background queue, and the connection pools.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "gateway_services.h"
#include "web/admin.h"

class operations final : public web::admin_sources {
public:
  // The services and the meter must outlive this object.
  operations(srv_apps::gateway_services& services, std::shared_ptr<web::metrics> meter,
             web::admin_options options);
  ~operations() override;

  // Opens the listener when "admin.port" is set; throws std::runtime_error when it cannot bind.
  void start();
  void stop();
  std::uint16_t port() const { return admin_.port(); }
  // From now on readiness answers "stopping", while the service finishes what it has.
  void set_stopping() { stopping_ = true; }

  web::readiness ready() override;
  void write_gauges(web::exposition& out) override;
  web::job_snapshot jobs() override;

private:
  srv_apps::gateway_services& services_;
  std::atomic<bool> stopping_{false};
  web::admin_service admin_;
};

// The job view summed over kinds as the orvale_jobs gauges, with the oldest due job's wait.
void write_job_gauges(const web::job_snapshot& jobs, web::exposition& out);
