// The HTTP listener: worker threads, limits, and the dispatch of a decoded path below the script
// name to the first matching route.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "web/http.h"
#include "web/metrics.h"

namespace web {

using route_handler = std::function<void(const context_ptr&)>;

// Routes are regular expressions over the path below the script name, tried in registration
// order; the first whole match wins.
class route_table {
public:
  // `endpoint` is the route's label in the request metrics.
  void add(const std::string& pattern, route_handler handler, std::string endpoint = "other");
  const route_handler* match(const std::string& rest) const;
  // The index of the first route that matches, or size() when none does.
  std::size_t match_index(const std::string& rest) const;
  const route_handler& handler(std::size_t index) const { return routes_[index].handler; }
  const std::string& endpoint(std::size_t index) const { return routes_[index].endpoint; }
  std::size_t size() const { return routes_.size(); }

private:
  struct route {
    std::regex pattern;
    route_handler handler;
    std::string endpoint;
  };
  std::vector<route> routes_;
};

struct service_options {
  std::string ip = "127.0.0.1";
  int port = 8080;
  int worker_threads = 128;
  int max_queued = 256;          // accepted connections waiting for a worker
  std::string script = "/orvale"; // script name the routes live below
  int timeout = 30;              // s, for a reply to be sent, and for a detached handler's reply
  int request_deadline = 30;     // s, for the whole request (head and body) to arrive
  int keep_alive_timeout = 5;    // s, an idle kept-alive connection is closed after it
  int content_length_limit = 1024; // KB of request body
};

// "/orvale/price" below "/orvale" is "/price"; "/orvale" is ""; false when the path is not below
// the script name at all.
bool strip_script_name(const std::string& path, const std::string& script, std::string& rest);

class http_service {
public:
  // With `meter`, every answer is counted under its route's endpoint label ("other" when no
  // route matched) with its status and the time since the request arrived.
  http_service(service_options options, std::shared_ptr<const route_table> routes,
               std::shared_ptr<metrics> meter = nullptr);
  ~http_service();
  http_service(const http_service&) = delete;
  http_service& operator=(const http_service&) = delete;

  // Binds and starts accepting; throws std::runtime_error when the address cannot be bound.
  void start();
  // Stops accepting and waits up to `grace` for running handlers.
  void stop(std::chrono::milliseconds grace);
  std::uint16_t port() const; // the bound port (useful with port 0)
  int busy_handlers() const;

private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

} // namespace web
