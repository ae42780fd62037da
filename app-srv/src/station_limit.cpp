// Per-controller call slots.
#include "station_limit.h"

namespace srv_apps {

station_limiter::station_limiter(int concurrency, std::chrono::milliseconds wait)
    : concurrency_(concurrency > 0 ? concurrency : 1), wait_(wait) {}

station_limiter::slot::~slot() {
  if (owner_ != nullptr) {
    owner_->release(endpoint_);
  }
}

station_limiter::slot station_limiter::acquire(const std::string& endpoint) {
  std::unique_lock<std::mutex> lock(mu_);
  const bool free = freed_.wait_for(lock, wait_, [&] {
    auto it = in_flight_.find(endpoint);
    return it == in_flight_.end() || it->second < concurrency_;
  });
  if (!free) {
    return slot();
  }
  ++in_flight_[endpoint];
  return slot(this, endpoint);
}

void station_limiter::release(const std::string& endpoint) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = in_flight_.find(endpoint);
    if (it != in_flight_.end() && --it->second <= 0) {
      in_flight_.erase(it);
    }
  }
  freed_.notify_all();
}

} // namespace srv_apps
