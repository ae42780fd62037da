// Counters of the service for the operators' scrape: requests by endpoint and status, their
// durations, outgoing calls by peer and outcome. Counting is a few relaxed atomic additions into
// arrays fixed at construction, so the request path never waits for a scrape or for another
// request.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace web {

// What became of one outgoing call: the class of the peer's status, or no usable answer at all.
enum class call_outcome : std::size_t { status_2xx, status_4xx, status_5xx, transport };
constexpr std::size_t call_outcome_count = 4;

// Anything but a final 2xx, 4xx or 5xx status (a transfer that failed, or a 1xx/3xx the call
// could not use) is a transport outcome: no answer the caller could act on came back.
call_outcome outcome_of(long peer_status, bool transfer_failed);

// The calls to one kind of peer.
class peer_call_counts {
public:
  void count(call_outcome o) noexcept {
    by_outcome_[static_cast<std::size_t>(o)].fetch_add(1, std::memory_order_relaxed);
  }
  std::uint64_t value(call_outcome o) const noexcept {
    return by_outcome_[static_cast<std::size_t>(o)].load(std::memory_order_relaxed);
  }

private:
  std::array<std::atomic<std::uint64_t>, call_outcome_count> by_outcome_{};
};

// The Prometheus text format 0.0.4, written family by family.
class exposition {
public:
  // One "# HELP" and "# TYPE" pair; the samples of the family follow it.
  void family(std::string_view name, std::string_view help, std::string_view type);
  // A sample; `labels` alternate name and value ({"peer", "station", "outcome", "2xx"}).
  void sample(std::string_view name, std::initializer_list<std::string_view> labels, double value);
  void sample(std::string_view name, std::initializer_list<std::string_view> labels,
              std::uint64_t value);
  const std::string& text() const { return text_; }

private:
  void labels(std::initializer_list<std::string_view> labels);
  std::string text_;
};

class metrics {
public:
  // Upper bounds (s) of the request duration histogram's buckets; +Inf is implied.
  static constexpr std::array<double, 11> duration_buckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                              0.5,   1,    2.5,   5,    10};
  static constexpr int lowest_status = 100;
  static constexpr int highest_status = 599;

  // `endpoints` are the endpoint label values; "other" is added when missing and takes every
  // request no endpoint claims. `peers` are the peer label values.
  metrics(std::vector<std::string> endpoints, std::vector<std::string> peers);
  ~metrics();
  metrics(const metrics&) = delete;
  metrics& operator=(const metrics&) = delete;

  // The slot of an endpoint label; the "other" slot for an unknown one. Look it up once, count
  // with it many times.
  std::size_t endpoint_slot(std::string_view endpoint) const;
  // A status outside 100..599 is counted as 500: the client got no proper answer.
  void count_request(std::size_t slot, int status, std::chrono::nanoseconds took) noexcept;
  // Null for an unknown peer label.
  peer_call_counts* peer(std::string_view name);

  std::uint64_t requests(std::size_t slot, int status) const noexcept;

  // Every counter family, then the process's own gauges.
  void write(exposition& out) const;

private:
  struct endpoint_counts;
  void write_requests(exposition& out) const;
  void write_durations(exposition& out) const;
  void write_peer_calls(exposition& out) const;

  std::vector<std::string> endpoints_;
  std::size_t other_slot_ = 0;
  std::unique_ptr<endpoint_counts[]> counts_;
  std::vector<std::string> peers_;
  std::unique_ptr<peer_call_counts[]> peer_counts_;
};

// The gauges every Prometheus client offers about its process: resident memory, open file
// descriptors and the start time, read from /proc.
void write_process_metrics(exposition& out);

} // namespace web
