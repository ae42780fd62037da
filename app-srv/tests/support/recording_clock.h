// A clock for tests of retry loops: pauses are recorded and return at once.
#pragma once

#include <chrono>
#include <mutex>
#include <vector>

#include "web/clock.h"

namespace orvale_test {

class recording_clock final : public web::clock_source {
public:
  web::steady_time now() const override { return std::chrono::steady_clock::now(); }
  web::millis scaled(web::millis pause) const override { return pause; }
  bool pause(web::millis pause) override {
    std::lock_guard lock(mu_);
    pauses_.push_back(pause);
    return !interrupted_;
  }

  // Every later pause reports an interruption, as at the service's shutdown.
  void interrupt() {
    std::lock_guard lock(mu_);
    interrupted_ = true;
  }
  std::vector<web::millis> pauses() const {
    std::lock_guard lock(mu_);
    return pauses_;
  }

private:
  mutable std::mutex mu_;
  std::vector<web::millis> pauses_; // guarded by mu_
  bool interrupted_ = false;        // guarded by mu_
};

} // namespace orvale_test
