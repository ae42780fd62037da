// The background pool. One ordered queue holds both immediate tasks (due now) and delayed ones,
// so a waiting retry costs a map node, not a thread.
#include "web/executor.h"

#include "web/log.h"

namespace web {

executor::executor(std::size_t threads, std::size_t max_queued, clock_source& clock)
    : clock_(clock), max_queued_(max_queued) {
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    threads_.emplace_back([this] { worker(); });
  }
}

executor::~executor() { shutdown(millis(0)); }

bool executor::post(task t) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || queue_.size() >= max_queued_) {
      return false;
    }
    queue_.emplace(clock_.now(), std::move(t));
  }
  cv_.notify_one();
  return true;
}

bool executor::post_after(millis pause, task t) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || queue_.size() >= max_queued_) {
      return false;
    }
    queue_.emplace(clock_.now() + clock_.scaled(pause), std::move(t));
  }
  cv_.notify_one();
  return true;
}

bool executor::stopping() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stopping_;
}

std::size_t executor::pending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size() + running_;
}

void executor::record_failure(failed_job job) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_.add(std::move(job));
}

job_snapshot executor::jobs() const {
  job_snapshot out;
  std::lock_guard<std::mutex> lock(mu_);
  const steady_time now = clock_.now();
  for (const auto& [due, t] : queue_) {
    job_counts& c = out.counts[t.kind];
    if (due <= now) {
      ++c.due;
      if (!out.oldest_due) {
        out.oldest_due = std::chrono::duration_cast<millis>(now - due); // the map is by due time
      }
    } else {
      ++c.scheduled;
    }
  }
  for (const auto& [kind, n] : running_kinds_) {
    out.counts[kind].running = n;
  }
  failures_.fill(out);
  return out;
}

void failure_log::add(failed_job job) {
  ++by_kind_[job.kind];
  if (recent_.size() == kept) {
    recent_.erase(recent_.begin());
  }
  recent_.push_back(std::move(job));
}

void failure_log::fill(job_snapshot& snapshot) const {
  for (const auto& [kind, n] : by_kind_) {
    snapshot.counts[kind].failed = n;
  }
  snapshot.failed.assign(recent_.rbegin(), recent_.rend());
}

void executor::worker() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    if (queue_.empty()) {
      if (stopping_) {
        return;
      }
      cv_.wait(lock);
      continue;
    }
    auto first = queue_.begin();
    if (first->first > clock_.now()) {
      if (stopping_) {
        return; // delayed work was abandoned by shutdown
      }
      // A copy: another worker may take and erase this node while the lock is released.
      const steady_time due = first->first;
      cv_.wait_until(lock, due);
      continue;
    }
    task t = std::move(first->second);
    queue_.erase(first);
    ++running_;
    ++running_kinds_[t.kind];
    lock.unlock();
    try {
      t.run();
    } catch (const std::exception& e) {
      LOG("orvale", critical, "Необработанное исключение в фоновой задаче: " << e.what());
    } catch (...) {
      LOG("orvale", critical, "Необработанное исключение в фоновой задаче");
    }
    lock.lock();
    --running_;
    if (--running_kinds_[t.kind] == 0) {
      running_kinds_.erase(t.kind);
    }
    idle_cv_.notify_all();
  }
}

void executor::shutdown(millis grace) {
  std::vector<task> abandoned;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (threads_.empty()) {
      return;
    }
    stopping_ = true;
    const auto now = clock_.now();
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (it->first > now) {
        abandoned.push_back(std::move(it->second));
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
    cv_.notify_all();
    idle_cv_.wait_for(lock, grace, [this] { return queue_.empty() && running_ == 0; });
    for (auto& [due, t] : queue_) {
      abandoned.push_back(std::move(t));
    }
    queue_.clear();
  }
  cv_.notify_all();
  for (auto& t : abandoned) {
    if (t.abandon) {
      try {
        t.abandon();
      } catch (...) {
        LOG("orvale", critical, "Исключение при отмене фоновой задачи");
      }
    }
  }
  for (auto& th : threads_) {
    if (th.joinable()) {
      th.join(); // running tasks see the clock interrupted and end their pauses
    }
  }
  threads_.clear();
}

} // namespace web
