// Requests per second and latency of the catalogue endpoints, side by side with a minimal libpq
// client that does the same database work per request, so the table shows what the gateway adds
// on top of PostgreSQL. bench/catalogue.sh brings up the cluster, the data and the gateway first.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <libpq-fe.h>

#include "bench_common.h"
#include "conn_catalogue.h"
#include "conn_pg.h"

namespace {

using bench::fixed;
using bench::local_host;
using bench::percentile;
using bench::steady;
using bench::to_int;

// Bounds a run besides its duration, and the memory its latency samples take.
constexpr std::size_t max_requests_per_client = 1'000'000;
constexpr int max_duration_s = 600;

using content::pg_conn_ptr;
using content::pg_result_ptr;

// --- What the endpoints send to PostgreSQL: their own statement builders, and the key lookup of
// content::AppTypeInfo, so that both sides of the comparison run the same queries.

constexpr const char* auth_sql =
    "SELECT id, sname, key, description FROM apptypes WHERE key=$1 LIMIT 1";

using content::price_statement;
using content::station_statement;

// --- Settings of one benchmark run.

struct options {
  std::uint16_t gateway_port = 0;
  std::uint16_t pg_port = 0;
  std::string db_name;
  std::string db_user;
  std::string db_pass;
  std::string apikey;
  std::string station; // the station of the one-station workloads
  int duration_s = 5;  // per workload, concurrency and client kind
  std::vector<int> clients = {1, 4, 16};
  std::string caption; // how the gateway was set up, printed above the table
  bool minimal = true;  // also measure the minimal libpq client
};

std::vector<int> to_int_list(const std::string& name, const std::string& text) {
  std::vector<int> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    out.push_back(to_int(name, text.substr(start, comma - start), 1, 256));
    start = comma + 1;
  }
  return out;
}

void set_option(options& o, const std::string& name, const std::string& value) {
  if (name == "gateway-port") {
    o.gateway_port = static_cast<std::uint16_t>(to_int(name, value, 1, 65535));
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
  } else if (name == "station") {
    o.station = std::to_string(to_int(name, value, 1, 2'000'000'000));
  } else if (name == "duration") {
    o.duration_s = to_int(name, value, 1, max_duration_s);
  } else if (name == "clients") {
    o.clients = to_int_list(name, value);
  } else if (name == "caption") {
    o.caption = value;
  } else if (name == "minimal") {
    o.minimal = to_int(name, value, 0, 1) == 1;
  } else {
    throw std::invalid_argument("unknown option --" + name);
  }
}

options parse_options(int argc, char** argv) {
  options o;
  bench::for_each_option(argc, argv, [&o](const std::string& name, const std::string& value) {
    set_option(o, name, value);
  });
  if (o.gateway_port == 0 || o.pg_port == 0 || o.db_name.empty() || o.db_user.empty() ||
      o.apikey.empty() || o.station.empty()) {
    throw std::invalid_argument("--gateway-port, --pg-port, --db, --user, --apikey and --station "
                                "are required");
  }
  return o;
}

// --- The two kinds of client. Each object is used by one thread.

struct workload {
  std::string name;
  std::string target;   // the gateway's request target
  std::string stations; // the checked station list the endpoint would put into its statement
  std::string (*statement)(int id_app, const std::string& stations);
};

// A caller of the gateway on one kept-alive connection.
class http_client {
public:
  http_client(std::uint16_t port, std::string target, std::string accept_encoding = "")
      : session_(local_host, port), target_(std::move(target)),
        accept_encoding_(std::move(accept_encoding)) {
    session_.setKeepAlive(true);
    session_.setTimeout(Poco::Timespan(30, 0));
  }

  // One GET, its body read whole; true for a 200.
  bool get() {
    try {
      Poco::Net::HTTPRequest req(Poco::Net::HTTPRequest::HTTP_GET, target_,
                                 Poco::Net::HTTPMessage::HTTP_1_1);
      req.setKeepAlive(true);
      if (!accept_encoding_.empty()) {
        req.set("Accept-Encoding", accept_encoding_);
      }
      session_.sendRequest(req);
      Poco::Net::HTTPResponse resp;
      std::istream& in = session_.receiveResponse(resp);
      body_.clear();
      Poco::StreamCopier::copyToString(in, body_);
      return resp.getStatus() == Poco::Net::HTTPResponse::HTTP_OK;
    } catch (const std::exception&) {
      session_.reset(); // the next request starts on a fresh connection
      return false;
    }
  }

  const std::string& body() const { return body_; }

private:
  Poco::Net::HTTPClientSession session_;
  std::string target_;
  std::string accept_encoding_;
  std::string body_;
};

// The endpoint's database work and nothing else: a new connection, the key lookup, the
// statement, the rows read, the connection closed.
class direct_client {
public:
  direct_client(const options& o, const workload& w)
      : port_(std::to_string(o.pg_port)), db_(o.db_name), user_(o.db_user), pass_(o.db_pass),
        apikey_(o.apikey), work_(w) {}

  bool run() {
    // The gateway's sessions run in UTC; the same startup packet keeps the handshakes alike.
    const char* const keys[] = {"host", "port", "dbname", "user", "password", "options", nullptr};
    const char* const values[] = {local_host,    port_.c_str(),     db_.c_str(), user_.c_str(),
                                  pass_.c_str(), "-c TimeZone=UTC", nullptr};
    pg_conn_ptr conn(PQconnectdbParams(keys, values, 0));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
      return false;
    }
    const char* const key[] = {apikey_.c_str()};
    pg_result_ptr app(PQexecParams(conn.get(), auth_sql, 1, nullptr, key, nullptr, nullptr, 0));
    if (!app || PQresultStatus(app.get()) != PGRES_TUPLES_OK || PQntuples(app.get()) != 1) {
      return false;
    }
    const std::string sql = work_.statement(std::atoi(PQgetvalue(app.get(), 0, 0)), work_.stations);
    pg_result_ptr res(PQexec(conn.get(), sql.c_str()));
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
      return false;
    }
    text_.clear();
    for (int row = 0; row < PQntuples(res.get()); ++row) {
      if (!PQgetisnull(res.get(), row, 0)) {
        text_ += PQgetvalue(res.get(), row, 0);
      }
    }
    return true;
  }

  const std::string& text() const { return text_; }

private:
  std::string port_;
  std::string db_;
  std::string user_;
  std::string pass_;
  std::string apikey_;
  const workload& work_;
  std::string text_;
};

// --- Measuring.

struct figures {
  std::size_t ok = 0;
  std::size_t errors = 0;
  double rps = 0;
  double p50_ms = 0;
  double p99_ms = 0;
};

using one_request = std::function<bool()>;

struct client_tally {
  std::vector<double> latencies_ms; // of the successful requests
  std::size_t errors = 0;
};

void drive(const one_request& request, steady::time_point deadline, client_tally& tally) {
  for (std::size_t n = 0; n < max_requests_per_client && steady::now() < deadline; ++n) {
    const auto begin = steady::now();
    const bool ok = request();
    const std::chrono::duration<double, std::milli> took = steady::now() - begin;
    if (ok) {
      tally.latencies_ms.push_back(took.count());
    } else {
      ++tally.errors;
    }
  }
}

// Runs one client per element of `clients` at once until the duration is over.
figures measure(std::vector<one_request> clients, int duration_s) {
  std::vector<client_tally> tallies(clients.size());
  const auto elapsed =
      bench::run_together(clients.size(), duration_s, [&](std::size_t i, steady::time_point end) {
        drive(clients[i], end, tallies[i]);
      });

  figures f;
  std::vector<double> all;
  for (const auto& t : tallies) {
    all.insert(all.end(), t.latencies_ms.begin(), t.latencies_ms.end());
    f.errors += t.errors;
  }
  std::sort(all.begin(), all.end());
  f.ok = all.size();
  f.rps = static_cast<double>(f.ok) / elapsed.count();
  f.p50_ms = percentile(all, 0.50);
  f.p99_ms = percentile(all, 0.99);
  return f;
}

figures measure_gateway(const options& o, const workload& w, int n) {
  std::vector<one_request> clients;
  for (int i = 0; i < n; ++i) {
    clients.emplace_back(
        [c = std::make_shared<http_client>(o.gateway_port, w.target)] { return c->get(); });
  }
  return measure(std::move(clients), o.duration_s);
}

figures measure_direct(const options& o, const workload& w, int n) {
  std::vector<one_request> clients;
  for (int i = 0; i < n; ++i) {
    clients.emplace_back([c = std::make_shared<direct_client>(o, w)] { return c->run(); });
  }
  return measure(std::move(clients), o.duration_s);
}

// A benchmark of empty replies would measure nothing: both paths must return data before the
// clock starts.
bool is_filled_array(const std::string& text) {
  return text.size() > 2 && text.front() == '[' && text.find('{') != std::string::npos;
}

// Prints the size of the gateway's reply body, identity and gzipped.
void check_workload(const options& o, const workload& w) {
  http_client http(o.gateway_port, w.target);
  if (!http.get() || !is_filled_array(http.body())) {
    throw std::runtime_error(w.name + ": the gateway did not answer 200 with a filled array: '" +
                             http.body().substr(0, 200) + "'");
  }
  http_client packed(o.gateway_port, w.target, "gzip");
  if (!packed.get()) {
    throw std::runtime_error(w.name + ": the gateway did not answer a gzip request with 200");
  }
  if (o.minimal) {
    direct_client direct(o, w);
    if (!direct.run() || !is_filled_array(direct.text())) {
      throw std::runtime_error(w.name + ": the direct client got no data");
    }
  }
  std::cout << w.name << ": " << http.body().size() << " bytes per reply, "
            << packed.body().size() << " with gzip" << std::endl;
}

// --- Report.

struct row {
  std::string workload;
  int clients = 0;
  figures gateway;
  figures direct;
};

std::string ratio_text(const row& r) {
  return r.direct.rps > 0 ? fixed(r.gateway.rps / r.direct.rps, 2) : "-";
}

void print_progress(const row& r) {
  std::cout << r.workload << ", " << r.clients << " client(s): gateway " << fixed(r.gateway.rps, 0)
            << " rps (" << r.gateway.errors << " errors), minimal " << fixed(r.direct.rps, 0)
            << " rps (" << r.direct.errors << " errors), ratio " << ratio_text(r) << std::endl;
}

void print_table(const std::vector<row>& rows, const options& o) {
  std::cout << "\n"
            << o.caption << (o.caption.empty() ? "" : "; ") << o.duration_s << " s per cell, "
            << std::thread::hardware_concurrency()
            << " cores; latencies in ms; minimal = libpq client doing the same database work\n\n"
            << "| workload | clients | gateway rps | p50 | p99 | errors | minimal rps | p50 | p99 "
               "| errors | gateway/minimal |\n"
            << "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";
  for (const auto& r : rows) {
    std::cout << "| " << r.workload << " | " << r.clients << " | " << fixed(r.gateway.rps, 0)
              << " | " << fixed(r.gateway.p50_ms, 2) << " | " << fixed(r.gateway.p99_ms, 2) << " | "
              << r.gateway.errors << " | " << fixed(r.direct.rps, 0) << " | "
              << fixed(r.direct.p50_ms, 2) << " | " << fixed(r.direct.p99_ms, 2) << " | "
              << r.direct.errors << " | " << ratio_text(r) << " |\n";
  }
}

std::vector<workload> workloads(const options& o) {
  const std::string key = "apikey=" + o.apikey;
  return {
      {"price, all stations", "/orvale/price?" + key, "", &price_statement},
      {"price, one station", "/orvale/price?" + key + "&stationId=" + o.station, o.station,
       &price_statement},
      {"station, one station", "/orvale/station?" + key + "&stationId=" + o.station, o.station,
       &station_statement},
  };
}

void run(const options& o) {
  const auto works = workloads(o);
  for (const auto& w : works) {
    check_workload(o, w);
  }
  std::vector<row> rows;
  for (const auto& w : works) {
    for (const int n : o.clients) {
      // Interleaved, so that a drift of the machine during the run hits both sides alike.
      row r{w.name, n, measure_gateway(o, w, n), o.minimal ? measure_direct(o, w, n) : figures{}};
      print_progress(r);
      rows.push_back(std::move(r));
    }
  }
  print_table(rows, o);
}

} // namespace

int main(int argc, char** argv) {
  // "--statement=price ID" / "--statement=station ID": the endpoint's statement for application 1
  // and one station, for pgbench to run as the limit of what the database itself can do.
  if (argc == 3 && std::string(argv[1]).rfind("--statement=", 0) == 0) {
    const std::string which = std::string(argv[1]).substr(12);
    const std::string station = argv[2];
    if (which == "price" || which == "station") {
      std::cout << (which == "price" ? price_statement(1, station) : station_statement(1, station))
                << (which == "price" ? ";" : "") << "\n";
      return 0;
    }
  }
  try {
    run(parse_options(argc, argv));
    return 0;
  } catch (const std::invalid_argument& e) {
    std::cerr << "bench_catalogue: " << e.what() << "\n"
              << "usage: bench_catalogue --gateway-port=N --pg-port=N --db=NAME --user=NAME "
                 "--password=TEXT --apikey=KEY --station=ID [--duration=S] [--clients=1,4,16] "
                 "[--caption=TEXT] [--minimal=0|1]\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "bench_catalogue: " << e.what() << "\n";
    return 1;
  }
}
