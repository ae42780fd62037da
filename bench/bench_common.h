// What the benchmark programs share: their --name=value arguments, the clients run side by side
// until a deadline, and the figures drawn from the latencies.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <latch>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using steady = std::chrono::steady_clock;

// The gateway, the cluster and the peers all run here: nothing a benchmark sends leaves the
// machine.
inline constexpr const char* local_host = "127.0.0.1";

// The whole of `text` as an integer in [low, high]; nothing for anything else.
inline std::optional<int> parse_int(const std::string& text, int low, int high) {
  std::size_t used = 0;
  int value = 0;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// The value of option --`name` as an integer in [low, high].
inline int to_int(const std::string& name, const std::string& text, int low, int high) {
  const auto value = parse_int(text, low, high);
  if (!value) {
    throw std::invalid_argument("--" + name + ": expected an integer in [" + std::to_string(low) +
                                ", " + std::to_string(high) + "], got '" + text + "'");
  }
  return *value;
}

// Calls set(name, value) for every argument --name=value, in order.
template <class Setter> void for_each_option(int argc, char** argv, Setter set) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    if (arg.rfind("--", 0) != 0 || eq == std::string::npos) {
      throw std::invalid_argument("expected --name=value, got '" + arg + "'");
    }
    set(arg.substr(2, eq - 2), arg.substr(eq + 1));
  }
}

// Runs client(i, deadline) for i in [0, count) on threads of their own, all let go at once with
// the same deadline, duration_s from then; returns the time until the last has returned.
template <class Client>
std::chrono::duration<double> run_together(std::size_t count, int duration_s, Client client) {
  std::latch start(static_cast<std::ptrdiff_t>(count) + 1);
  steady::time_point deadline;
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait(); // deadline is written before the main thread arrives
      client(i, deadline);
    });
  }
  const auto began = steady::now();
  deadline = began + std::chrono::seconds(duration_s);
  start.arrive_and_wait();
  for (auto& t : threads) {
    t.join();
  }
  return steady::now() - began;
}

// Nearest rank of a sorted sample.
inline double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) {
    return 0;
  }
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

inline std::string fixed(double value, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

} // namespace bench
