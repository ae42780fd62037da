// New orders end to end: N concurrent aggregator clients post new orders, each client on
// dispensers of its own, while this program also plays the station controllers and the aggregator,
// answering every call at once. Reports orders per second, the latency of the aggregator's reply,
// and the time from the order's POST to the station's dispenser start (its "/fueling" call).
// bench/orders.sh brings up the cluster, the data and the gateway first.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/ThreadPool.h>

#include "bench_common.h"
#include "bench_peer.h"

namespace {

using bench::fixed;
using bench::local_host;
using bench::percentile;
using bench::steady;
using ms = std::chrono::duration<double, std::milli>;

constexpr int max_duration_s = 600;
constexpr std::size_t max_orders_per_client = 1'000'000;
// How long the dispenser starts of the last orders are waited for once the clients have stopped.
constexpr auto drain_limit = std::chrono::seconds(30);
constexpr const char* fueling_path = "/api/azstank/fueling";

struct options {
  std::uint16_t gateway_port = 0;
  std::uint16_t peer_port = 0;
  std::string apikey;
  std::string fuel_id;
  double price = 0;
  int first_station = 0;
  int stations = 0;
  int dispensers = 0; // per station
  int duration_s = 10;
  std::vector<int> clients{1, 4, 16};
  std::string prefix = "bench";
  std::string caption;
};

int to_int(const std::string& name, const std::string& value, int low, int high) {
  const auto n = bench::parse_int(value, low, high);
  if (!n) {
    throw std::invalid_argument("--" + name + " takes a number from " + std::to_string(low) +
                                " to " + std::to_string(high));
  }
  return *n;
}

std::vector<int> to_int_list(const std::string& name, const std::string& value) {
  std::vector<int> out;
  std::istringstream in(value);
  std::string item;
  while (std::getline(in, item, ',')) {
    out.push_back(to_int(name, item, 1, 256));
  }
  if (out.empty()) {
    throw std::invalid_argument("--" + name + " takes a comma-separated list");
  }
  return out;
}

void set_option(options& o, const std::string& name, const std::string& value) {
  if (name == "gateway-port") {
    o.gateway_port = static_cast<std::uint16_t>(to_int(name, value, 1, 65535));
  } else if (name == "peer-port") {
    o.peer_port = static_cast<std::uint16_t>(to_int(name, value, 1, 65535));
  } else if (name == "apikey") {
    o.apikey = value;
  } else if (name == "fuel") {
    o.fuel_id = value;
  } else if (name == "price") {
    o.price = std::stod(value);
  } else if (name == "first-station") {
    o.first_station = to_int(name, value, 1, 2'000'000'000);
  } else if (name == "stations") {
    o.stations = to_int(name, value, 1, 100'000);
  } else if (name == "dispensers") {
    o.dispensers = to_int(name, value, 1, 100);
  } else if (name == "duration") {
    o.duration_s = to_int(name, value, 1, max_duration_s);
  } else if (name == "clients") {
    o.clients = to_int_list(name, value);
  } else if (name == "prefix") {
    o.prefix = value;
  } else if (name == "caption") {
    o.caption = value;
  } else {
    throw std::invalid_argument("unknown option --" + name);
  }
}

options parse_options(int argc, char** argv) {
  options o;
  bench::for_each_option(argc, argv, [&o](const std::string& name, const std::string& value) {
    set_option(o, name, value);
  });
  if (o.gateway_port == 0 || o.peer_port == 0 || o.apikey.empty() || o.fuel_id.empty() ||
      o.price <= 0 || o.first_station == 0 || o.stations == 0 || o.dispensers == 0) {
    throw std::invalid_argument("--gateway-port, --peer-port, --apikey, --fuel, --price, "
                                "--first-station, --stations and --dispensers are required");
  }
  const int most = *std::max_element(o.clients.begin(), o.clients.end());
  if (most > o.stations * o.dispensers) {
    throw std::invalid_argument("more clients than dispensers: orders would share one");
  }
  return o;
}

// --- The peers: every station controller (one address for all links) and the aggregator.

// When each order's dispenser start reached the station.
class start_log {
public:
  void record(const std::string& order_id, steady::time_point at) {
    std::lock_guard<std::mutex> lock(mu_);
    started_.emplace(order_id, at);
  }
  bool find(const std::string& order_id, steady::time_point& at) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = started_.find(order_id);
    if (it == started_.end()) {
      return false;
    }
    at = it->second;
    return true;
  }

private:
  mutable std::mutex mu_;
  std::map<std::string, steady::time_point> started_; // guarded by mu_
};

std::string order_id_of(const std::string& body) {
  try {
    Poco::JSON::Parser parser;
    const auto obj = parser.parse(body).extract<Poco::JSON::Object::Ptr>();
    return obj->getValue<std::string>("id");
  } catch (const std::exception&) {
    return "";
  }
}

class peer_handler final : public Poco::Net::HTTPRequestHandler {
public:
  explicit peer_handler(start_log& starts) : starts_(starts) {}
  void handleRequest(Poco::Net::HTTPServerRequest& req,
                     Poco::Net::HTTPServerResponse& resp) override {
    std::string body;
    Poco::StreamCopier::copyToString(req.stream(), body);
    const std::string target = req.getURI();
    if (target.compare(0, std::strlen(fueling_path), fueling_path) == 0) {
      starts_.record(order_id_of(body), steady::now());
    }
    resp.setStatus(Poco::Net::HTTPResponse::HTTP_OK);
    resp.setContentType("application/json");
    resp.setContentLength(2);
    resp.send() << "{}";
  }

private:
  start_log& starts_;
};

using peers = bench::http_peer<peer_handler, start_log>;

// --- The aggregator's clients.

struct dispenser {
  int station;
  int trk;
};

std::string order_body(const options& o, const std::string& id, const dispenser& d) {
  Poco::JSON::Object body;
  body.set("Id", id);
  body.set("Status", "OrderCreated");
  body.set("OrderType", "Money");
  body.set("OrderVolume", 500);
  body.set("Litre", 10);
  body.set("DateCreate", "2024-05-01T12:00:00.000+03:00");
  body.set("StationId", "ext-" + std::to_string(d.station));
  body.set("StationExtendedId", std::to_string(d.station));
  body.set("FuelId", o.fuel_id);
  body.set("FuelExtendedId", o.fuel_id);
  body.set("PriceId", "bench");
  body.set("ColumnId", d.trk);
  body.set("PriceFuel", o.price);
  body.set("Sum", 500);
  std::ostringstream out;
  body.stringify(out);
  return out.str();
}

// One POST on a connection of its own (the gateway closes it after an order's answer).
int post_order(const options& o, const std::string& body) {
  try {
    Poco::Net::HTTPClientSession session(local_host, o.gateway_port);
    session.setTimeout(Poco::Timespan(60, 0));
    Poco::Net::HTTPRequest req(Poco::Net::HTTPRequest::HTTP_POST,
                               "/orvale/order?apikey=" + o.apikey,
                               Poco::Net::HTTPMessage::HTTP_1_1);
    req.setContentType("application/json");
    req.setContentLength(static_cast<std::streamsize>(body.size()));
    session.sendRequest(req) << body;
    Poco::Net::HTTPResponse resp;
    std::istream& in = session.receiveResponse(resp);
    std::string ignored;
    Poco::StreamCopier::copyToString(in, ignored);
    return static_cast<int>(resp.getStatus());
  } catch (const std::exception&) {
    return 0;
  }
}

struct sent_order {
  std::string id;
  steady::time_point posted;
  double reply_ms;
};

struct client_tally {
  std::vector<sent_order> accepted; // answered 200
  std::size_t refused = 0;          // any other answer, or none
};

// Client `index` of `count` uses the dispensers index, index + count, ...: two orders in flight
// never share a dispenser, and a client's own orders take its dispensers in turn.
void drive(const options& o, int index, int count, const std::string& run,
           steady::time_point deadline, client_tally& tally) {
  std::vector<dispenser> own;
  for (int n = index; n < o.stations * o.dispensers; n += count) {
    own.push_back({o.first_station + n / o.dispensers, 1 + n % o.dispensers});
  }
  for (std::size_t n = 0; n < max_orders_per_client && steady::now() < deadline; ++n) {
    const std::string id =
        o.prefix + "-" + run + "-" + std::to_string(index) + "-" + std::to_string(n);
    const std::string body = order_body(o, id, own[n % own.size()]);
    const auto posted = steady::now();
    const int status = post_order(o, body);
    const ms took = steady::now() - posted;
    if (status == 200) {
      tally.accepted.push_back({id, posted, took.count()});
    } else {
      ++tally.refused;
    }
  }
}

// --- Measuring.

struct figures {
  int clients = 0;
  std::size_t accepted = 0;
  std::size_t refused = 0;
  std::size_t never_started = 0;
  double orders_per_s = 0;
  std::vector<double> reply_ms; // sorted
  std::vector<double> start_ms; // sorted
};

figures measure(const options& o, const start_log& starts, int clients) {
  std::vector<client_tally> tallies(static_cast<std::size_t>(clients));
  const std::string run = "c" + std::to_string(clients);
  const auto elapsed = bench::run_together(
      tallies.size(), o.duration_s, [&](std::size_t i, steady::time_point deadline) {
        drive(o, static_cast<int>(i), clients, run, deadline, tallies[i]);
      });

  figures f;
  f.clients = clients;
  std::vector<sent_order> all;
  for (const auto& t : tallies) {
    all.insert(all.end(), t.accepted.begin(), t.accepted.end());
    f.refused += t.refused;
  }
  f.accepted = all.size();
  f.orders_per_s = static_cast<double>(f.accepted) / elapsed.count();
  const auto drain_deadline = steady::now() + drain_limit;
  for (const auto& s : all) {
    f.reply_ms.push_back(s.reply_ms);
    steady::time_point started;
    while (!starts.find(s.id, started) && steady::now() < drain_deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (starts.find(s.id, started)) {
      f.start_ms.push_back(ms(started - s.posted).count());
    } else {
      ++f.never_started;
    }
  }
  std::sort(f.reply_ms.begin(), f.reply_ms.end());
  std::sort(f.start_ms.begin(), f.start_ms.end());
  return f;
}

void print(const options& o, const std::vector<figures>& rows) {
  std::cout << "\nNew orders, " << o.duration_s << " s per row";
  if (!o.caption.empty()) {
    std::cout << ", " << o.caption;
  }
  std::cout << "\n\n| clients | orders/s | answer p50 | answer p99 | answer max | start p50 | "
               "start p99 | start max | refused | not started |\n"
               "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& f : rows) {
    std::cout << "| " << f.clients << " | " << fixed(f.orders_per_s, 1) << " | "
              << fixed(percentile(f.reply_ms, 0.5), 1) << " ms | "
              << fixed(percentile(f.reply_ms, 0.99), 1) << " ms | "
              << fixed(f.reply_ms.empty() ? 0 : f.reply_ms.back(), 1) << " ms | "
              << fixed(percentile(f.start_ms, 0.5), 1) << " ms | "
              << fixed(percentile(f.start_ms, 0.99), 1) << " ms | "
              << fixed(f.start_ms.empty() ? 0 : f.start_ms.back(), 1) << " ms | " << f.refused
              << " | " << f.never_started << " |\n";
  }
  std::cout
      << "\nanswer: the order's POST until the aggregator has the gateway's answer; start: the "
         "POST until the station receives the dispenser start.\n";
}

} // namespace

int main(int argc, char** argv) {
  try {
    const options o = parse_options(argc, argv);
    start_log starts;
    peers fake(o.peer_port, starts);
    std::vector<figures> rows;
    for (int clients : o.clients) {
      rows.push_back(measure(o, starts, clients));
      std::cerr << "orders: " << clients << " clients done\n";
    }
    print(o, rows);
    for (const auto& f : rows) {
      if (f.accepted == 0 || f.refused != 0 || f.never_started != 0) {
        std::cerr << "orders: refused or unstarted orders with " << f.clients << " clients\n";
        return 1;
      }
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "orders: " << e.what() << "\n";
    return 2;
  }
}
