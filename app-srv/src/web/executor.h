// Work that goes on after a reply: a bounded pool of its own, separate from the HTTP workers,
// with a delay queue so that a task waiting for its next retry holds no thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web/clock.h"
#include "web/jobs.h"

namespace web {

class executor final : public job_view {
public:
  struct task {
    std::function<void()> run;
    // Called instead of run when the task is dropped at shutdown (e.g. to log what is abandoned).
    std::function<void()> abandon;
    std::string kind = "task"; // what the operators' job view counts it as
  };

  executor(std::size_t threads, std::size_t max_queued, clock_source& clock);
  ~executor();
  executor(const executor&) = delete;
  executor& operator=(const executor&) = delete;

  // Runs the task as soon as a thread is free; false when the queue is full or shut down.
  bool post(task t);
  // Runs the task once the scaled pause has passed; false when full or shut down.
  bool post_after(millis pause, task t);

  // Stops accepting, drops delayed tasks (calling their abandon), lets queued and running tasks
  // finish for at most `grace`, then abandons what is still queued.
  void shutdown(millis grace);

  std::size_t pending() const;
  // True once shutdown() has begun: nothing more is accepted.
  bool stopping() const;
  // A job that gave up for good (its last try failed), for the job view.
  void record_failure(failed_job job);
  // Counts by kind and state as the queue stands now, and the recorded failures.
  job_snapshot jobs() const override;
  clock_source& clock() { return clock_; }

private:
  void worker();

  clock_source& clock_;
  std::size_t max_queued_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable idle_cv_;
  std::multimap<steady_time, task> queue_; // guarded by mu_; due time -> task
  std::size_t running_ = 0;                // guarded by mu_
  std::map<std::string, std::size_t> running_kinds_; // guarded by mu_
  failure_log failures_;                   // guarded by mu_
  bool stopping_ = false;                  // guarded by mu_
  std::vector<std::thread> threads_;
};

} // namespace web
