// Relays of station events to the aggregator: one try per run, the next one booked as a timed task
// on the background executor, so a relay waiting for its next try holds no thread, database
// connection or client handle.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "web/clock.h"
#include "web/executor.h"

namespace srv_apps {

// When a relay may try again and how long it waits before doing so.
class retry_schedule {
public:
  virtual ~retry_schedule() = default;
  // Before try number tries_done + 1, `elapsed` after the relay started.
  virtual bool may_try(int tries_done, web::millis elapsed) const = 0;
  // The pause (before pause_scale) after the failed try number `tries_done`.
  virtual web::millis pause_after(int tries_done) = 0;
};

// At most `max_tries` tries, `pause` apart.
class fixed_retries final : public retry_schedule {
public:
  fixed_retries(int max_tries, web::millis pause) : max_tries_(max_tries), pause_(pause) {}
  bool may_try(int tries_done, web::millis) const override { return tries_done < max_tries_; }
  web::millis pause_after(int) override { return pause_; }

private:
  int max_tries_;
  web::millis pause_;
};

// The completion's schedule: tries until `limit` has elapsed since the start, 10 s apart except
// after every tenth try 10k, which is followed by k + 1 minutes. A completion is retried for as
// long as the order may live, and an aggregator that is down for hours is not called every 10 s.
class completion_schedule final : public retry_schedule {
public:
  explicit completion_schedule(web::millis limit) : limit_(limit) {}
  bool may_try(int tries_done, web::millis elapsed) const override;
  web::millis pause_after(int tries_done) override;

private:
  web::millis limit_;    // already scaled like the pauses: pause_scale shortens the whole timeline
  int current_step_ = 0; // 0: unset
};

// Where a relay runs: the clock it measures with and the queue that runs its next try.
class relay_runner {
public:
  virtual ~relay_runner() = default;
  virtual web::steady_time now() const = 0;
  // The real length of a pause of the design (pause_scale applied).
  virtual web::millis scaled(web::millis pause) const = 0;
  // Runs the task after the pause (before scaling); false when it cannot be booked (shutdown,
  // queue full), and then neither of the task's functions is ever called.
  [[nodiscard]] virtual bool run_after(web::millis pause, web::executor::task task) = 0;
  // A relay ended without success: kept for the operators' job view where the runner has one.
  virtual void gave_up(web::failed_job) {}
};

// The service's background executor and its clock; the executor must outlive the relays.
class executor_runner final : public relay_runner {
public:
  explicit executor_runner(web::executor& exec) : exec_(exec) {}
  web::steady_time now() const override { return exec_.clock().now(); }
  web::millis scaled(web::millis pause) const override { return exec_.clock().scaled(pause); }
  bool run_after(web::millis pause, web::executor::task task) override {
    return exec_.post_after(pause, std::move(task));
  }
  void gave_up(web::failed_job job) override { exec_.record_failure(std::move(job)); }

private:
  web::executor& exec_;
};

// What a relay is about, for its log lines.
struct relay_subject {
  std::string order_id;
  std::string event; // "Fueling", "Completed", ...
  std::string channel = "orvale";
  // The job view's kind; "" takes the event in lower case.
  std::string kind = "";
};

class relay : public std::enable_shared_from_this<relay> {
public:
  // One try: the result code of the call (exactly 200 is success). Must not block for longer
  // than the call's own time limit.
  using attempt_fn = std::function<long()>;
  // Once, when the relay ends with a success or by its schedule: the last result (0 when no try
  // was made) and the number of tries. Not called for a relay abandoned at shutdown.
  using finish_fn = std::function<void(long result, int tries)>;

  // Books the first try at once. A relay that cannot be booked is logged as abandoned.
  static void start(std::shared_ptr<relay_runner> runner, relay_subject subject,
                    std::unique_ptr<retry_schedule> schedule, attempt_fn attempt,
                    finish_fn finish = nullptr);

  relay(std::shared_ptr<relay_runner> runner, relay_subject subject,
        std::unique_ptr<retry_schedule> schedule, attempt_fn attempt, finish_fn finish);

private:
  void book(web::millis pause);
  void attempt();
  void end(long result);
  void abandoned() const;
  std::string kind() const;

  std::shared_ptr<relay_runner> runner_;
  relay_subject subject_;
  std::unique_ptr<retry_schedule> schedule_;
  attempt_fn attempt_;
  finish_fn finish_;
  web::steady_time started_;
  // Touched by one task at a time: each try books the next only when it is done.
  int tries_ = 0;
};

// The relays of one kind that run at most once per order in this process: an event repeated while
// its relay is pending (the station lost our answer and sent it again) does not start a second,
// unordered relay; the pending one sends the latest values from its next try on.
template <class Values> class pending_relays {
public:
  using version = std::uint64_t;

  // True when the caller is to start the relay of `key`; false when one is pending, which has
  // taken `values`.
  bool begin(const std::string& key, Values values) {
    const std::lock_guard<std::mutex> hold(mutex_);
    auto [it, fresh] = pending_.try_emplace(key);
    it->second.values = std::move(values);
    ++it->second.latest;
    return fresh;
  }
  // What the next try sends, and which version of the values that is.
  std::pair<Values, version> current(const std::string& key) const {
    const std::lock_guard<std::mutex> hold(mutex_);
    const auto it = pending_.find(key);
    return it == pending_.end() ? std::pair<Values, version>{}
                                : std::pair{it->second.values, it->second.latest};
  }
  // Ends the relay of `key` after its try with version `sent` was answered: false, and the relay
  // stays pending, when newer values arrived meanwhile and still have to go out.
  bool end_after(const std::string& key, version sent) {
    const std::lock_guard<std::mutex> hold(mutex_);
    const auto it = pending_.find(key);
    if (it != pending_.end() && it->second.latest != sent) {
      return false;
    }
    pending_.erase(key);
    return true;
  }
  // The relay of `key` ended without success (given up, or abandoned at a stop).
  void drop(const std::string& key) {
    const std::lock_guard<std::mutex> hold(mutex_);
    pending_.erase(key);
  }

private:
  struct entry {
    Values values;
    version latest = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::string, entry> pending_;
};

} // namespace srv_apps
