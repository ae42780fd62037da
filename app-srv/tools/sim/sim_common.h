// What the three roles of orvale-sim share: command-line flags, the console every role reports
// on, and plain HTTP calls to the gateway and to the aggregator simulator.
#pragma once

#include <initializer_list>
#include <map>
#include <mutex>
#include <string>

#include "outgoing.h"
#include "web/clock.h"
#include "web/http.h"
#include "web/server.h"

namespace sim {

// "--name value" pairs after the role. Every name must be one the role knows; anything else is
// a std::invalid_argument with a message for the user.
class flags {
public:
  flags(int argc, char** argv, int first, std::initializer_list<const char*> known);

  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::string text(const std::string& name, const std::string& def = "") const;
  std::string required(const std::string& name) const;
  int integer(const std::string& name, int def, int low, int high) const;
  double number(const std::string& name, double def) const;

private:
  std::map<std::string, std::string> values_;
};

struct host_port {
  std::string ip;
  int port = 0;
};
// "127.0.0.1:9101"; std::invalid_argument when it is not an address and a port.
host_port parse_listen(const std::string& text);

int to_int(const std::string& what, const std::string& text, int low, int high);
double to_number(const std::string& what, const std::string& text);

// One line at a time on stdout, flushed at once, so that lines of several threads (and of
// several processes sharing a terminal) never mix.
class console {
public:
  void line(const std::string& text);

private:
  std::mutex mu_;
};

// Local time in the form the station protocol uses: "05.03.2024 07:08:09".
std::string station_time();
// The current local time in strftime's `format`.
std::string local_time_text(const char* format);
// Two decimals, as litres and sums travel in forms: "12.50".
std::string two_decimals(double value);

// Fields as an application/x-www-form-urlencoded body, values percent-encoded.
std::string form_body(const web::param_list& fields);

// Never throw; a peer that cannot be reached gives status 502 (outgoing.h).
srv_apps::outgoing_result post_form(const std::string& url, const web::param_list& fields,
                                    web::millis limit);
srv_apps::outgoing_result post_json(const std::string& url, const std::string& body,
                                    web::millis limit);
srv_apps::outgoing_result get(const std::string& url, web::millis limit);

// Listener settings of a simulator: a few threads, routes below `script`.
web::service_options listener_options(const host_port& at, const std::string& script);

// SIGINT and SIGTERM are blocked in the calling thread and every thread started after it, and
// later taken by wait_for_stop_signal(): call it first thing in a listening role.
void block_stop_signals();
void wait_for_stop_signal();

// A JSON reply of the simulators.
void answer_json(web::response& r, int status, const std::string& body);

} // namespace sim
