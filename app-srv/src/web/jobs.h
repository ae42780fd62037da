// What operators see of the work that goes on after a reply: counts by kind and state, how long
// the oldest due job has waited, and the jobs that were given up. Whatever runs the work (the
// stored jobs' runner) offers this view.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace web {

struct job_counts {
  std::uint64_t due = 0;       // may run now, no worker has taken it yet
  std::uint64_t scheduled = 0; // waits for its time (a retry's pause)
  std::uint64_t running = 0;
  std::uint64_t failed = 0; // given up after the last try, kept
};

struct failed_job {
  std::string order;
  std::string kind;
  int attempts = 0;
  std::string last_error;
  std::chrono::system_clock::time_point failed_at;
};

struct job_snapshot {
  std::map<std::string, job_counts> counts; // by kind
  // How long the oldest due job has been due; none when nothing is due.
  std::optional<std::chrono::milliseconds> oldest_due;
  std::vector<failed_job> failed; // most recent first
};

class job_view {
public:
  virtual ~job_view() = default;
  virtual job_snapshot jobs() const = 0;
};

} // namespace web
