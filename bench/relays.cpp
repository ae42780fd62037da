// Completion relays waiting and draining: this program plays the aggregator, answering 503 to
// everything at first, posts one completion event per seeded order as the station controllers
// post them, samples the gateway (resident memory, threads, database sessions) while the relays
// wait, then answers 200 and times the drain until every relay is done. It checks that every
// order's completion reached the aggregator and that none was sent again after its 200.
// bench/relays.sh brings up the cluster, the orders and the gateway first.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/HTMLForm.h>
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
#include <libpq-fe.h>

#include "bench_common.h"
#include "bench_peer.h"
#include "conn.h"
#include "conn_pg.h"

namespace {

using bench::fixed;
using bench::local_host;
using bench::steady;
using bench::to_int;
using content::pg_conn_ptr;
using content::pg_result_ptr;
using seconds = std::chrono::duration<double>;

constexpr const char* completed_path = "/api/order/completed";
constexpr int max_orders = 1'000'000;

struct options {
  std::uint16_t gateway_port = 0;
  std::uint16_t peer_port = 0;
  int gateway_pid = 0;
  std::uint16_t pg_port = 0;
  std::string db_name;
  std::string db_user;
  std::string db_pass;
  std::string apikey;      // the application's
  std::string gateway_key; // orvale.app_key
  std::string prefix;      // order ids are PREFIX-1 .. PREFIX-N
  std::string kind = "completed";
  int first_station = 0;
  int stations = 0;
  int orders = 0;
  int clients = 16;
  int samples = 5;
  int sample_every_ms = 1000;
  int drain_limit_s = 300;
  int settle_ms = 1000; // after the drain, for a repeated send to show up
};

void set_option(options& o, const std::string& name, const std::string& value) {
  if (name == "gateway-port") {
    o.gateway_port = static_cast<std::uint16_t>(to_int(name, value, 1, 65535));
  } else if (name == "peer-port") {
    o.peer_port = static_cast<std::uint16_t>(to_int(name, value, 1, 65535));
  } else if (name == "gateway-pid") {
    o.gateway_pid = to_int(name, value, 1, 1 << 30);
  } else if (name == "pg-port") {
    o.pg_port = static_cast<std::uint16_t>(to_int(name, value, 1, 65535));
  } else if (name == "db") {
    o.db_name = value;
  } else if (name == "user") {
    o.db_user = value;
  } else if (name == "password") {
    o.db_pass = value;
  } else if (name == "apikey") {
    o.apikey = value;
  } else if (name == "gateway-key") {
    o.gateway_key = value;
  } else if (name == "prefix") {
    o.prefix = value;
  } else if (name == "kind") {
    o.kind = value;
  } else if (name == "first-station") {
    o.first_station = to_int(name, value, 1, 2'000'000'000);
  } else if (name == "stations") {
    o.stations = to_int(name, value, 1, 100'000);
  } else if (name == "orders") {
    o.orders = to_int(name, value, 1, max_orders);
  } else if (name == "clients") {
    o.clients = to_int(name, value, 1, 256);
  } else if (name == "samples") {
    o.samples = to_int(name, value, 1, 100);
  } else if (name == "sample-every-ms") {
    o.sample_every_ms = to_int(name, value, 10, 600'000);
  } else if (name == "drain-limit") {
    o.drain_limit_s = to_int(name, value, 1, 3600);
  } else if (name == "settle-ms") {
    o.settle_ms = to_int(name, value, 0, 60'000);
  } else {
    throw std::invalid_argument("unknown option --" + name);
  }
}

options parse_options(int argc, char** argv) {
  options o;
  bench::for_each_option(argc, argv, [&o](const std::string& name, const std::string& value) {
    set_option(o, name, value);
  });
  if (o.gateway_port == 0 || o.peer_port == 0 || o.gateway_pid == 0 || o.pg_port == 0 ||
      o.db_name.empty() || o.db_user.empty() || o.apikey.empty() || o.gateway_key.empty() ||
      o.prefix.empty() || o.first_station == 0 || o.stations == 0 || o.orders == 0) {
    throw std::invalid_argument(
        "--gateway-port, --peer-port, --gateway-pid, --pg-port, --db, --user, --apikey, "
        "--gateway-key, --prefix, --first-station, --stations and --orders are required");
  }
  return o;
}

std::string order_id(const options& o, int n) {
  return o.prefix + "-" + std::to_string(n);
}

// Order n belongs to station first + n % stations, as bench/relays.sh seeds them.
int station_of(const options& o, int n) {
  return o.first_station + n % o.stations;
}

// --- The aggregator: 503 to everything until told otherwise; what it answered 200, per order.

class aggregator_log {
public:
  explicit aggregator_log(int expected) : expected_(expected) {}

  void accept() { status_.store(200); }
  int status() const { return status_.load(); }

  // Called with the status about to be sent for a completion of `order`.
  void record(const std::string& order, int status) {
    std::lock_guard<std::mutex> lock(mu_);
    if (status != 200) {
      ++refused_;
      return;
    }
    if (++accepted_[order] == 1 && static_cast<int>(accepted_.size()) == expected_) {
      all_accepted_at_ = steady::now();
    }
    ++accepted_total_;
  }
  void record_other() {
    std::lock_guard<std::mutex> lock(mu_);
    ++other_;
  }

  struct snapshot {
    std::uint64_t refused = 0;        // completions answered 503
    std::uint64_t accepted_total = 0; // completions answered 200
    std::uint64_t accepted_orders = 0;
    std::uint64_t other = 0;          // anything but a completion
    std::map<std::string, int> per_order;
    std::optional<steady::time_point> all_accepted_at;
  };
  snapshot read(bool with_orders) const {
    std::lock_guard<std::mutex> lock(mu_);
    snapshot s;
    s.refused = refused_;
    s.accepted_total = accepted_total_;
    s.accepted_orders = accepted_.size();
    s.other = other_;
    if (with_orders) {
      s.per_order = accepted_;
    }
    s.all_accepted_at = all_accepted_at_;
    return s;
  }

private:
  const int expected_;
  std::atomic<int> status_{503};
  mutable std::mutex mu_;
  std::uint64_t refused_ = 0;                      // guarded by mu_
  std::uint64_t accepted_total_ = 0;               // guarded by mu_
  std::uint64_t other_ = 0;                        // guarded by mu_
  std::map<std::string, int> accepted_;            // guarded by mu_
  std::optional<steady::time_point> all_accepted_at_; // guarded by mu_
};

class aggregator_handler final : public Poco::Net::HTTPRequestHandler {
public:
  explicit aggregator_handler(aggregator_log& log) : log_(log) {}
  void handleRequest(Poco::Net::HTTPServerRequest& req,
                     Poco::Net::HTTPServerResponse& resp) override {
    std::string body;
    Poco::StreamCopier::copyToString(req.stream(), body);
    const int status = log_.status();
    if (req.getURI().rfind(completed_path, 0) == 0) {
      Poco::Net::HTMLForm form;
      std::istringstream in(body);
      form.read(in);
      log_.record(form.get("orderId", ""), status);
    } else {
      log_.record_other();
    }
    resp.setStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status));
    resp.setContentType("application/json");
    resp.setContentLength(2);
    resp.send() << "{}";
  }

private:
  aggregator_log& log_;
};

using aggregator = bench::http_peer<aggregator_handler, aggregator_log>;

// --- The station controllers: one completion per order.

int post_completion(const options& o, int n) {
  try {
    Poco::Net::HTTPClientSession session(local_host, o.gateway_port);
    session.setTimeout(Poco::Timespan(60, 0));
    Poco::Net::HTTPRequest req(Poco::Net::HTTPRequest::HTTP_POST, "/orvale/completed",
                               Poco::Net::HTTPMessage::HTTP_1_1);
    Poco::Net::HTMLForm form;
    form.set("apikey", o.apikey + "," + o.gateway_key + ",station-" +
                           std::to_string(station_of(o, n)) + "-key");
    form.set("orderId", order_id(o, n));
    form.set("litre", "20.00");
    form.set("extendedOrderId", std::to_string(n));
    form.set("extendedDate", "01.05.2024 12:08:00");
    form.prepareSubmit(req);
    form.write(session.sendRequest(req));
    Poco::Net::HTTPResponse resp;
    std::istream& in = session.receiveResponse(resp);
    std::string ignored;
    Poco::StreamCopier::copyToString(in, ignored);
    return static_cast<int>(resp.getStatus());
  } catch (const std::exception&) {
    return 0;
  }
}

struct posting {
  int accepted = 0;
  std::map<int, int> refused; // status -> count (0: no answer)
  double seconds = 0;
};

posting post_all(const options& o) {
  std::vector<posting> tallies(static_cast<std::size_t>(o.clients));
  const auto began = steady::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < o.clients; ++c) {
    threads.emplace_back([&o, &tallies, c] {
      auto& t = tallies[static_cast<std::size_t>(c)];
      for (int n = 1 + c; n <= o.orders; n += o.clients) {
        const int status = post_completion(o, n);
        if (status == 200) {
          ++t.accepted;
        } else {
          ++t.refused[status];
        }
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  posting all;
  all.seconds = seconds(steady::now() - began).count();
  for (const auto& t : tallies) {
    all.accepted += t.accepted;
    for (const auto& [status, count] : t.refused) {
      all.refused[status] += count;
    }
  }
  return all;
}

// --- The gateway as the system sees it.

class database {
public:
  explicit database(const options& o) : o_(o) {
    const std::string port = std::to_string(o.pg_port);
    const char* const keys[] = {"host", "port", "dbname", "user", "password", nullptr};
    const char* const values[] = {local_host,          port.c_str(),      o.db_name.c_str(),
                                  o.db_user.c_str(),   o.db_pass.c_str(), nullptr};
    conn_.reset(PQconnectdbParams(keys, values, 0));
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
      throw std::runtime_error("cannot connect to " + o.db_name + ": " +
                               (conn_ ? PQerrorMessage(conn_.get()) : "out of memory"));
    }
  }

  struct jobs {
    long waiting = 0; // scheduled or running
    long done = 0;
    long failed = 0;
  };
  jobs count_jobs() const {
    const pg_result_ptr res = query(
        "SELECT count(*) FILTER (WHERE state IN ('scheduled', 'running')),"
        " count(*) FILTER (WHERE state = 'done'), count(*) FILTER (WHERE state = 'failed')"
        " FROM orvale_jobs WHERE kind = $1",
        {o_.kind});
    return {std::stol(PQgetvalue(res.get(), 0, 0)), std::stol(PQgetvalue(res.get(), 0, 1)),
            std::stol(PQgetvalue(res.get(), 0, 2))};
  }
  // The gateway's sessions: every one of its user on its database but this one.
  long sessions() const {
    const pg_result_ptr res = query("SELECT count(*) FROM pg_stat_activity WHERE datname = $1"
                                    " AND usename = $2 AND pid <> pg_backend_pid()",
                                    {o_.db_name, o_.db_user});
    return std::stol(PQgetvalue(res.get(), 0, 0));
  }

private:
  pg_result_ptr query(const char* sql, std::initializer_list<std::string> params) const {
    std::vector<const char*> values;
    for (const auto& p : params) {
      values.push_back(p.c_str());
    }
    pg_result_ptr res(PQexecParams(conn_.get(), sql, static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0));
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
      throw std::runtime_error(std::string("sampling failed: ") + PQerrorMessage(conn_.get()));
    }
    return res;
  }

  const options& o_;
  pg_conn_ptr conn_;
};

// VmRSS (kB) and Threads of /proc/PID/status.
struct process_status {
  long rss_kb = -1;
  long threads = -1;
};

process_status read_status(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  if (!in) {
    throw std::runtime_error("the gateway (pid " + std::to_string(pid) + ") is gone");
  }
  process_status s;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key;
    long value = 0;
    fields >> key >> value;
    if (key == "VmRSS:") {
      s.rss_kb = value;
    } else if (key == "Threads:") {
      s.threads = value;
    }
  }
  return s;
}

struct sample {
  std::string when;
  database::jobs jobs;
  std::uint64_t refused = 0; // tries the aggregator answered 503 so far
  process_status process;
  long sessions = 0;
};

sample take_sample(const options& o, const database& db, const aggregator_log& log,
                   std::string when) {
  sample s;
  s.when = std::move(when);
  s.jobs = db.count_jobs();
  s.refused = log.read(false).refused;
  s.process = read_status(o.gateway_pid);
  s.sessions = db.sessions();
  return s;
}

struct drain {
  bool finished = false;
  double agg_seconds = 0; // until the aggregator had answered 200 for every order
  double db_seconds = 0;  // until every job was done, as polled
  aggregator_log::snapshot seen;
  database::jobs jobs;
  std::vector<sample> during;
};

// `stored`: the relays are rows of orvale_jobs; otherwise (relays kept in the gateway's memory)
// only the aggregator's count ends the drain.
drain run_drain(const options& o, const database& db, aggregator_log& log, bool stored) {
  drain d;
  const auto began = steady::now();
  const auto deadline = began + std::chrono::seconds(o.drain_limit_s);
  auto next_sample = began;
  log.accept();
  for (;;) {
    // The table is counted only once the aggregator has every relay: a count scans every job row,
    // and 100 scans a second would take the database's time from the drain it measures.
    const auto seen = log.read(false);
    if (seen.all_accepted_at || !stored) {
      d.jobs = db.count_jobs();
    }
    const auto now = steady::now();
    if (d.jobs.done + d.jobs.failed >= o.orders && d.db_seconds == 0) {
      d.db_seconds = seconds(now - began).count();
    }
    if ((d.db_seconds > 0 || !stored) && seen.all_accepted_at) {
      d.finished = true;
      break;
    }
    if (now >= deadline) {
      break;
    }
    if (now >= next_sample && static_cast<int>(d.during.size()) < o.samples) {
      d.during.push_back(
          take_sample(o, db, log, "draining, +" + fixed(seconds(now - began).count(), 1) + " s"));
      next_sample += std::chrono::milliseconds(o.sample_every_ms);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(o.settle_ms));
  d.seen = log.read(true);
  d.jobs = db.count_jobs();
  if (d.seen.all_accepted_at) {
    d.agg_seconds = seconds(*d.seen.all_accepted_at - began).count();
  }
  return d;
}

// --- Reporting.

void print_samples(const std::vector<sample>& samples) {
  std::cout << "\n| when | relays waiting | done | failed | tries answered 503 | VmRSS MB | "
               "threads | database sessions |\n"
               "|---|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const auto& s : samples) {
    std::cout << "| " << s.when << " | " << s.jobs.waiting << " | " << s.jobs.done << " | "
              << s.jobs.failed << " | " << s.refused << " | "
              << fixed(static_cast<double>(s.process.rss_kb) / 1024.0, 1) << " | "
              << s.process.threads << " | " << s.sessions << " |\n";
  }
}

struct verdict {
  long lost = 0;  // orders whose completion was never answered 200
  long twice = 0; // orders answered 200 more than once
};

verdict check(const options& o, const drain& d) {
  verdict v;
  for (int n = 1; n <= o.orders; ++n) {
    const auto it = d.seen.per_order.find(order_id(o, n));
    if (it == d.seen.per_order.end()) {
      ++v.lost;
    } else if (it->second > 1) {
      ++v.twice;
    }
  }
  return v;
}

void print_drain(const options& o, const drain& d, const verdict& v) {
  const double rate_agg = d.agg_seconds > 0 ? o.orders / d.agg_seconds : 0;
  const double rate_db = d.db_seconds > 0 ? o.orders / d.db_seconds : 0;
  std::cout << "\nDrain after the aggregator answers 200"
            << (d.finished ? "" : " (NOT FINISHED within the limit)") << "\n\n"
            << "| relays | all answered 200 after | delivered/s | all jobs ended after | ended/s "
               "| jobs done | jobs failed | orders received | lost | sent again after 200 |\n"
               "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n"
            << "| " << o.orders << " | " << fixed(d.agg_seconds, 2) << " s | " << fixed(rate_agg, 0)
            << " | " << fixed(d.db_seconds, 2) << " s | " << fixed(rate_db, 0) << " | "
            << d.jobs.done << " | " << d.jobs.failed << " | " << d.seen.accepted_orders << " | "
            << v.lost << " | " << v.twice << " |\n";
  if (d.seen.other > 0) {
    std::cout << "\nthe aggregator also received " << d.seen.other
              << " requests other than completions\n";
  }
  std::cout << "\ndelivered/s: relays over the time from the switch to 200 until the aggregator "
               "had answered 200 for every order; ended/s: until every job row was done or failed "
               "(polled every 10 ms).\n";
}

} // namespace

int main(int argc, char** argv) {
  try {
    const options o = parse_options(argc, argv);
    aggregator_log log(o.orders);
    aggregator agg(o.peer_port, log);
    const database db(o);

    std::vector<sample> samples;
    samples.push_back(take_sample(o, db, log, "before the events"));
    std::cerr << "relays: posting " << o.orders << " completions from " << o.clients
              << " clients\n";
    const posting p = post_all(o);
    std::cout << "\nCompletions posted: " << o.orders << " by " << o.clients << " clients in "
              << fixed(p.seconds, 2) << " s (" << fixed(o.orders / p.seconds, 0)
              << "/s), answered 200: " << p.accepted;
    for (const auto& [status, count] : p.refused) {
      std::cout << ", " << status << ": " << count;
    }
    std::cout << "\n";
    samples.push_back(take_sample(o, db, log, "all posted"));
    for (int i = 1; i <= o.samples; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(o.sample_every_ms));
      samples.push_back(take_sample(
          o, db, log, "waiting, +" + fixed(i * o.sample_every_ms / 1000.0, 1) + " s"));
    }
    std::cerr << "relays: the aggregator answers 200 from now on\n";
    const database::jobs booked = samples.back().jobs;
    const bool stored = booked.waiting + booked.done + booked.failed > 0;
    if (!stored) {
      std::cout << "\nNo " << o.kind << " rows in orvale_jobs: the relays are not stored jobs\n";
    }
    const drain d = run_drain(o, db, log, stored);
    samples.insert(samples.end(), d.during.begin(), d.during.end());
    samples.push_back(take_sample(o, db, log, "drained"));
    std::cout << "\nThe gateway while the relays wait (aggregator answering 503) and drain";
    print_samples(samples);
    const verdict v = check(o, d);
    print_drain(o, d, v);
    if (p.accepted != o.orders || !d.finished || v.lost != 0 || v.twice != 0) {
      std::cerr << "relays: refused events, an unfinished drain, lost or repeated completions\n";
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "relays: " << e.what() << "\n";
    return 2;
  }
}
