// The counters and their text exposition.
#include "web/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "web/json.h"

namespace web {

struct metrics::endpoint_counts {
  static constexpr std::size_t status_slots = highest_status - lowest_status + 1;
  std::array<std::atomic<std::uint64_t>, status_slots> by_status{};
  // Not cumulative: each request lands in the first bucket that holds it; the scrape adds up.
  std::array<std::atomic<std::uint64_t>, duration_buckets.size() + 1> by_bucket{};
  std::atomic<std::uint64_t> duration_sum_ns{0};
};

call_outcome outcome_of(long peer_status, bool transfer_failed) {
  if (transfer_failed) {
    return call_outcome::transport;
  }
  if (peer_status >= 200 && peer_status < 300) {
    return call_outcome::status_2xx;
  }
  if (peer_status >= 400 && peer_status < 500) {
    return call_outcome::status_4xx;
  }
  if (peer_status >= 500 && peer_status < 600) {
    return call_outcome::status_5xx;
  }
  return call_outcome::transport;
}

namespace {

void append_number(std::string& out, double v) {
  if (std::isinf(v)) {
    out += v > 0 ? "+Inf" : "-Inf";
  } else if (std::isnan(v)) {
    out += "NaN";
  } else {
    out += json::format_number(v);
  }
}

// Label values escape backslash, double quote and line feed.
void append_label_value(std::string& out, std::string_view v) {
  for (char c : v) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

} // namespace

void exposition::family(std::string_view name, std::string_view help, std::string_view type) {
  text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void exposition::labels(std::initializer_list<std::string_view> labels) {
  if (labels.size() < 2) {
    return;
  }
  text_ += '{';
  bool first = true;
  for (auto it = labels.begin(); it != labels.end() && it + 1 != labels.end(); it += 2) {
    if (!first) {
      text_ += ',';
    }
    first = false;
    text_.append(*it).append("=\"");
    append_label_value(text_, *(it + 1));
    text_ += '"';
  }
  text_ += '}';
}

void exposition::sample(std::string_view name, std::initializer_list<std::string_view> labels,
                        double value) {
  text_.append(name);
  this->labels(labels);
  text_ += ' ';
  append_number(text_, value);
  text_ += '\n';
}

void exposition::sample(std::string_view name, std::initializer_list<std::string_view> labels,
                        std::uint64_t value) {
  text_.append(name);
  this->labels(labels);
  text_ += ' ';
  text_ += std::to_string(value);
  text_ += '\n';
}

metrics::metrics(std::vector<std::string> endpoints, std::vector<std::string> peers)
    : endpoints_(std::move(endpoints)), peers_(std::move(peers)) {
  auto other = std::find(endpoints_.begin(), endpoints_.end(), "other");
  if (other == endpoints_.end()) {
    endpoints_.emplace_back("other");
    other = endpoints_.end() - 1;
  }
  other_slot_ = static_cast<std::size_t>(other - endpoints_.begin());
  counts_ = std::make_unique<endpoint_counts[]>(endpoints_.size());
  peer_counts_ = std::make_unique<peer_call_counts[]>(peers_.size());
}

metrics::~metrics() = default;

std::size_t metrics::endpoint_slot(std::string_view endpoint) const {
  const auto it = std::find(endpoints_.begin(), endpoints_.end(), endpoint);
  return it == endpoints_.end() ? other_slot_ : static_cast<std::size_t>(it - endpoints_.begin());
}

void metrics::count_request(std::size_t slot, int status, std::chrono::nanoseconds took) noexcept {
  if (slot >= endpoints_.size()) {
    slot = other_slot_;
  }
  if (status < lowest_status || status > highest_status) {
    status = 500;
  }
  endpoint_counts& c = counts_[slot];
  c.by_status[static_cast<std::size_t>(status - lowest_status)].fetch_add(
      1, std::memory_order_relaxed);
  const double seconds = std::chrono::duration<double>(took).count();
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(duration_buckets.begin(), duration_buckets.end(), seconds) -
      duration_buckets.begin());
  c.by_bucket[bucket].fetch_add(1, std::memory_order_relaxed);
  c.duration_sum_ns.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(took.count(), 0)),
                              std::memory_order_relaxed);
}

peer_call_counts* metrics::peer(std::string_view name) {
  const auto it = std::find(peers_.begin(), peers_.end(), name);
  return it == peers_.end() ? nullptr : &peer_counts_[static_cast<std::size_t>(it - peers_.begin())];
}

std::uint64_t metrics::requests(std::size_t slot, int status) const noexcept {
  if (slot >= endpoints_.size() || status < lowest_status || status > highest_status) {
    return 0;
  }
  return counts_[slot].by_status[static_cast<std::size_t>(status - lowest_status)].load(
      std::memory_order_relaxed);
}

void metrics::write(exposition& out) const {
  write_requests(out);
  write_durations(out);
  write_peer_calls(out);
}

// Only the codes seen so far: a series appears with its first request, as with any client.
void metrics::write_requests(exposition& out) const {
  out.family("orvale_http_requests_total", "Requests answered, by endpoint and HTTP status.",
             "counter");
  for (std::size_t e = 0; e < endpoints_.size(); ++e) {
    for (std::size_t s = 0; s < endpoint_counts::status_slots; ++s) {
      const std::uint64_t n = counts_[e].by_status[s].load(std::memory_order_relaxed);
      if (n != 0) {
        const std::string code = std::to_string(static_cast<int>(s) + lowest_status);
        out.sample("orvale_http_requests_total", {"endpoint", endpoints_[e], "code", code}, n);
      }
    }
  }
}

void metrics::write_durations(exposition& out) const {
  static constexpr std::string_view name = "orvale_http_request_duration_seconds";
  out.family(name, "Time from a request's arrival to its answer, by endpoint.", "histogram");
  for (std::size_t e = 0; e < endpoints_.size(); ++e) {
    const endpoint_counts& c = counts_[e];
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b <= duration_buckets.size(); ++b) {
      cumulative += c.by_bucket[b].load(std::memory_order_relaxed);
      std::string le = "+Inf";
      if (b < duration_buckets.size()) {
        le = json::format_number(duration_buckets[b]);
      }
      out.sample("orvale_http_request_duration_seconds_bucket",
                 {"endpoint", endpoints_[e], "le", le}, cumulative);
    }
    const double sum = static_cast<double>(c.duration_sum_ns.load(std::memory_order_relaxed)) / 1e9;
    out.sample("orvale_http_request_duration_seconds_sum", {"endpoint", endpoints_[e]}, sum);
    out.sample("orvale_http_request_duration_seconds_count", {"endpoint", endpoints_[e]},
               cumulative);
  }
}

void metrics::write_peer_calls(exposition& out) const {
  static constexpr std::array<std::string_view, call_outcome_count> outcome_names = {
      "2xx", "4xx", "5xx", "transport"};
  out.family("orvale_peer_calls_total", "Outgoing calls, by peer and outcome.", "counter");
  for (std::size_t p = 0; p < peers_.size(); ++p) {
    for (std::size_t o = 0; o < call_outcome_count; ++o) {
      out.sample("orvale_peer_calls_total", {"peer", peers_[p], "outcome", outcome_names[o]},
                 peer_counts_[p].value(static_cast<call_outcome>(o)));
    }
  }
}

namespace {

// The fields of /proc/self/stat after the command name, which may itself hold blanks and ")".
std::vector<std::string> own_stat_fields() {
  std::ifstream in("/proc/self/stat");
  std::string line;
  std::getline(in, line);
  const auto close = line.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos) {
    return fields;
  }
  std::istringstream rest(line.substr(close + 1));
  for (std::string f; rest >> f;) {
    fields.push_back(f);
  }
  return fields;
}

double boot_time() {
  std::ifstream in("/proc/stat");
  for (std::string key; in >> key;) {
    if (key == "btime") {
      double t = 0;
      in >> t;
      return t;
    }
    std::string skip;
    std::getline(in, skip);
  }
  return 0;
}

} // namespace

void write_process_metrics(exposition& out) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const long ticks = ::sysconf(_SC_CLK_TCK);
  double rss = 0;
  {
    std::ifstream statm("/proc/self/statm");
    double size = 0;
    statm >> size >> rss;
    rss *= static_cast<double>(page > 0 ? page : 4096);
  }
  out.family("process_resident_memory_bytes", "Resident memory size in bytes.", "gauge");
  out.sample("process_resident_memory_bytes", {}, rss);

  std::uint64_t fds = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++fds;
  }
  out.family("process_open_fds", "Number of open file descriptors.", "gauge");
  out.sample("process_open_fds", {}, fds);

  // Field 22 of stat, the start in clock ticks after boot; index 19 after the command name.
  const std::vector<std::string> fields = own_stat_fields();
  double start = 0;
  if (fields.size() > 19 && ticks > 0) {
    start = boot_time() + std::strtod(fields[19].c_str(), nullptr) / static_cast<double>(ticks);
  }
  out.family("process_start_time_seconds", "Start time of the process since the epoch in seconds.",
             "gauge");
  out.sample("process_start_time_seconds", {}, start);
}

} // namespace web
