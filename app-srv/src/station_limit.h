// A bound on the synchronous calls in flight to one station controller, so that a controller that
// hangs ties up at most that many handlers, and the others keep serving every other station.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace srv_apps {

class station_limiter {
public:
  // `concurrency` calls per controller; a call waits at most `wait` for a free slot.
  station_limiter(int concurrency, std::chrono::milliseconds wait);

  // Holds one slot until destroyed; false when no slot became free within the wait.
  class slot {
  public:
    slot() = default; // not granted
    slot(station_limiter* owner, std::string endpoint)
        : owner_(owner), endpoint_(std::move(endpoint)), granted_(true) {}
    // Granted without counting: calls that are not bounded.
    static slot unbounded() { return slot(nullptr, ""); }
    ~slot();
    slot(slot&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), endpoint_(std::move(other.endpoint_)),
          granted_(other.granted_) {}
    slot& operator=(slot&&) = delete;
    slot(const slot&) = delete;
    slot& operator=(const slot&) = delete;
    explicit operator bool() const { return granted_; }

  private:
    station_limiter* owner_ = nullptr;
    std::string endpoint_;
    bool granted_ = false;
  };

  // Controllers are told apart by their base URL.
  [[nodiscard]] slot acquire(const std::string& endpoint);
  int concurrency() const { return concurrency_; }

private:
  void release(const std::string& endpoint);

  const int concurrency_;
  const std::chrono::milliseconds wait_;
  std::mutex mu_;
  std::condition_variable freed_;
  std::map<std::string, int> in_flight_; // guarded by mu_; controllers with calls only
};

} // namespace srv_apps
