// The production clock: steady time, pauses scaled by "orvale.pause_scale", interruptible.
#include "web/clock.h"

#include <cmath>

namespace web {

real_clock::real_clock(double pause_scale)
    : scale_(std::isfinite(pause_scale) && pause_scale >= 0 ? pause_scale : 1.0) {}

steady_time real_clock::now() const { return std::chrono::steady_clock::now(); }

millis real_clock::scaled(millis pause) const {
  return millis(static_cast<millis::rep>(std::llround(static_cast<double>(pause.count()) * scale_)));
}

bool real_clock::pause(millis pause) {
  const auto deadline = now() + scaled(pause);
  std::unique_lock<std::mutex> lock(mu_);
  return !cv_.wait_until(lock, deadline, [this] { return interrupted_; });
}

void real_clock::interrupt() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    interrupted_ = true;
  }
  cv_.notify_all();
}

bool real_clock::interrupted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return interrupted_;
}

} // namespace web
