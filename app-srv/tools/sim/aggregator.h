// The aggregator simulator: takes the gateway's order-status calls, prints each one, and lets
// "orvale-sim order" follow one order's calls through a long poll.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim_common.h"
#include "web/server.h"

namespace sim {

struct aggregator_event {
  long seq = 0;           // 1, 2, ... in order of arrival, over all orders
  std::string event;      // the last part of the path: accept, fueling, canceled, completed, ...
  std::string order_id;   // "orderId", or "orderid" for volume and message
  web::param_list fields; // the form as received, "apikey" included
};

// Every call received, newest last, the oldest dropped beyond `capacity`.
class event_log {
public:
  explicit event_log(std::size_t capacity = 100000) : capacity_(capacity) {}

  void add(aggregator_event e);
  // The order's events after `after`; waits up to `limit` for the first one. Empty after stop().
  std::vector<aggregator_event> wait_after(const std::string& order_id, long after,
                                           std::chrono::milliseconds limit);
  void stop(); // wakes every waiting poll

private:
  std::vector<aggregator_event> after_locked(const std::string& order_id, long after) const;

  const std::size_t capacity_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<aggregator_event> events_; // guarded by mu_
  long next_seq_ = 1;                   // guarded by mu_
  bool stopped_ = false;                // guarded by mu_
};

// The routes of the aggregator's order API ("/api/order/accept" and its siblings) and of the
// simulator's own read API ("/sim/events?orderId=...&after=N&wait=MS").
std::shared_ptr<web::route_table> aggregator_routes(event_log& log, console& out);

// The aggregator role: listens until SIGINT or SIGTERM.
int run_aggregator(const flags& f, console& out);

} // namespace sim
