// Keeps every log record written while it exists, at debug level, from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "web/log.h"

namespace orvale_test {

class log_capture {
public:
  log_capture() = default;
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  std::vector<web::log_record> records() const {
    std::lock_guard lock(mu_);
    return records_;
  }
  // Messages on `channel` in order; every channel when it is "".
  std::vector<std::string> messages(const std::string& channel = "") const {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    for (const auto& r : records_) {
      if (channel.empty() || r.channel == channel) {
        out.push_back(r.message);
      }
    }
    return out;
  }
  // Records on `channel` whose message contains `text`.
  int count(const std::string& channel, const std::string& text) const {
    std::lock_guard lock(mu_);
    int n = 0;
    for (const auto& r : records_) {
      n += r.channel == channel && r.message.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
  }
  // Records on `channel` at `level` whose message starts with `prefix`.
  int count(const std::string& channel, web::log_level level, const std::string& prefix) const {
    std::lock_guard lock(mu_);
    int n = 0;
    for (const auto& r : records_) {
      n += r.channel == channel && r.level == level && r.message.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
  }
  std::size_t size() const {
    std::lock_guard lock(mu_);
    return records_.size();
  }
  void clear() {
    std::lock_guard lock(mu_);
    records_.clear();
  }

private:
  mutable std::mutex mu_;
  std::vector<web::log_record> records_; // guarded by mu_
  // Last, so that it is gone before what it writes to.
  web::log_tap tap_{web::log_level::debug, [this](const web::log_record& r) {
                      std::lock_guard lock(mu_);
                      records_.push_back(r);
                    }};
};

} // namespace orvale_test
