// Time as the service sees it: one source for clock reads and pauses, so that fixed pauses scale
// with "orvale.pause_scale" and tests can record them instead of sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace web {

using steady_time = std::chrono::steady_clock::time_point;
using millis = std::chrono::milliseconds;

class clock_source {
public:
  virtual ~clock_source() = default;
  virtual steady_time now() const = 0;
  // The real length of a fixed pause of the design.
  virtual millis scaled(millis pause) const = 0;
  // Waits for the scaled pause; false when interrupted (shutdown) before it ran out.
  virtual bool pause(millis pause) = 0;
};

class real_clock final : public clock_source {
public:
  explicit real_clock(double pause_scale = 1.0);
  steady_time now() const override;
  millis scaled(millis pause) const override;
  bool pause(millis pause) override;
  // Ends every running and future pause at once.
  void interrupt();
  bool interrupted() const;

private:
  double scale_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool interrupted_ = false; // guarded by mu_
};

} // namespace web
