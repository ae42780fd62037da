// Flags, console, and the outgoing calls of the simulators.
#include "sim_common.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <stdexcept>

#include "str.h"

namespace sim {

flags::flags(int argc, char** argv, int first, std::initializer_list<const char*> known) {
  for (int i = first; i < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
      throw std::invalid_argument("expected --name value, got '" + arg + "'");
    }
    const std::string name = arg.substr(2);
    bool is_known = false;
    for (const char* k : known) {
      is_known = is_known || name == k;
    }
    if (!is_known) {
      throw std::invalid_argument("unknown option --" + name);
    }
    if (i + 1 >= argc) {
      throw std::invalid_argument("--" + name + " needs a value");
    }
    values_[name] = argv[i + 1];
  }
}

std::string flags::text(const std::string& name, const std::string& def) const {
  const auto it = values_.find(name);
  return it == values_.end() ? def : it->second;
}

std::string flags::required(const std::string& name) const {
  const std::string value = text(name);
  if (value.empty()) {
    throw std::invalid_argument("--" + name + " is required");
  }
  return value;
}

int flags::integer(const std::string& name, int def, int low, int high) const {
  return has(name) ? to_int("--" + name, text(name), low, high) : def;
}

double flags::number(const std::string& name, double def) const {
  return has(name) ? to_number("--" + name, text(name)) : def;
}

int to_int(const std::string& what, const std::string& text, int low, int high) {
  int value = 0;
  if (!str::is_decimal_int(text, value) || value < low || value > high) {
    throw std::invalid_argument(what + " takes a whole number from " + std::to_string(low) +
                                " to " + std::to_string(high) + ", not '" + text + "'");
  }
  return value;
}

double to_number(const std::string& what, const std::string& text) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || !std::isfinite(value) || value <= 0) {
    throw std::invalid_argument(what + " takes a positive number, not '" + text + "'");
  }
  return value;
}

host_port parse_listen(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    throw std::invalid_argument("expected ADDRESS:PORT, got '" + text + "'");
  }
  return host_port{text.substr(0, colon),
                   to_int("the port of '" + text + "'", text.substr(colon + 1), 0, 65535)};
}

void console::line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  std::cout << text << std::endl;
}

std::string local_time_text(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

std::string station_time() {
  return local_time_text("%d.%m.%Y %H:%M:%S");
}

std::string two_decimals(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

std::string form_body(const web::param_list& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    body += (body.empty() ? "" : "&") + name + "=" + srv_apps::url_escape(value);
  }
  return body;
}

namespace {

srv_apps::outgoing_result call(srv_apps::outgoing_request rq) {
  rq.read_reply = true;
  try {
    return srv_apps::perform_call(rq, srv_apps::call_texts{});
  } catch (const std::exception&) {
    return srv_apps::outgoing_result{};
  }
}

} // namespace

srv_apps::outgoing_result post_form(const std::string& url, const web::param_list& fields,
                                    web::millis limit) {
  srv_apps::outgoing_request rq;
  rq.url = url;
  rq.body = form_body(fields);
  rq.time_limit = limit;
  return call(std::move(rq));
}

srv_apps::outgoing_result post_json(const std::string& url, const std::string& body,
                                    web::millis limit) {
  srv_apps::outgoing_request rq;
  rq.url = url;
  rq.body = body;
  rq.headers = {"Content-Type: application/json"};
  rq.time_limit = limit;
  return call(std::move(rq));
}

srv_apps::outgoing_result get(const std::string& url, web::millis limit) {
  srv_apps::outgoing_request rq;
  rq.url = url;
  rq.post = false;
  rq.time_limit = limit;
  return call(std::move(rq));
}

web::service_options listener_options(const host_port& at, const std::string& script) {
  web::service_options o;
  o.ip = at.ip;
  o.port = at.port;
  o.worker_threads = 32;
  o.script = script;
  return o;
}

namespace {
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}
} // namespace

void block_stop_signals() {
  const sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void wait_for_stop_signal() {
  const sigset_t set = stop_signals();
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
}

void answer_json(web::response& r, int status, const std::string& body) {
  r.status(status);
  r.content_type("application/json");
  r.body(body);
}

} // namespace sim
