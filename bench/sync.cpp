// Wall time of the three synchronisation runs through the gateway, from the request until the
// run has marked itself finished, next to the same rows put into the temporary table by one COPY,
// by the gateway's load alone, and by one plain INSERT per row. bench/sync.sh brings up the
// cluster, the back-office data and the gateway first.
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <libpq-fe.h>

#include "bench_common.h"
#include "conn_sync_pg.h"

namespace {

using bench::local_host;
using bench::steady;
using bench::to_int;
using content::pg_conn_ptr;
using content::pg_result_ptr;
using millis = std::chrono::duration<double, std::milli>;

constexpr auto run_limit = std::chrono::seconds(300); // one run, before the benchmark gives up
constexpr int max_runs = 20;

struct options {
  std::uint16_t gateway_port = 0;
  std::uint16_t pg_port = 0;
  std::string local_db;
  std::string office_db;
  std::string db_user;
  std::string db_pass;
  std::string key; // the gateway's application key
  int runs = 3;    // per data set
};

void set_option(options& o, const std::string& name, const std::string& value) {
  if (name == "gateway-port") {
    o.gateway_port = static_cast<std::uint16_t>(to_int(name, value, 1, 65535));
  } else if (name == "pg-port") {
    o.pg_port = static_cast<std::uint16_t>(to_int(name, value, 1, 65535));
  } else if (name == "local-db") {
    o.local_db = value;
  } else if (name == "office-db") {
    o.office_db = value;
  } else if (name == "user") {
    o.db_user = value;
  } else if (name == "password") {
    o.db_pass = value;
  } else if (name == "key") {
    o.key = value;
  } else if (name == "runs") {
    o.runs = to_int(name, value, 1, max_runs);
  } else {
    throw std::invalid_argument("unknown option --" + name);
  }
}

options parse_options(int argc, char** argv) {
  options o;
  bench::for_each_option(argc, argv, [&o](const std::string& name, const std::string& value) {
    set_option(o, name, value);
  });
  if (o.gateway_port == 0 || o.pg_port == 0 || o.local_db.empty() || o.office_db.empty() ||
      o.db_user.empty() || o.key.empty()) {
    throw std::invalid_argument("--gateway-port, --pg-port, --local-db, --office-db, --user and "
                                "--key are required");
  }
  return o;
}

pg_conn_ptr connect(const options& o, const std::string& db) {
  const std::string port = std::to_string(o.pg_port);
  // The gateway's sessions run in UTC; so do these, for the same back-office rows.
  const char* const keys[] = {"host", "port", "dbname", "user", "password", "options", nullptr};
  const char* const values[] = {local_host,        port.c_str(),      db.c_str(), o.db_user.c_str(),
                                o.db_pass.c_str(), "-c TimeZone=UTC", nullptr};
  pg_conn_ptr conn(PQconnectdbParams(keys, values, 0));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error("cannot connect to " + db + ": " +
                             (conn ? PQerrorMessage(conn.get()) : "out of memory"));
  }
  return conn;
}

pg_result_ptr exec(PGconn* conn, const std::string& sql, ExecStatusType expected) {
  pg_result_ptr res(PQexec(conn, sql.c_str()));
  if (!res || PQresultStatus(res.get()) != expected) {
    throw std::runtime_error(sql.substr(0, 60) + "...: " + PQerrorMessage(conn));
  }
  return res;
}

// --- One run through the gateway.

struct data_set {
  const char* name; // the endpoint below /orvale
  const content::sync_tables& set;
};

int post_sync(const options& o, const std::string& name) {
  Poco::Net::HTTPClientSession session(local_host, o.gateway_port);
  session.setTimeout(Poco::Timespan(60, 0));
  Poco::Net::HTTPRequest req(Poco::Net::HTTPRequest::HTTP_POST, "/orvale/" + name,
                             Poco::Net::HTTPMessage::HTTP_1_1);
  Poco::Net::HTMLForm form;
  form.set("key", o.key);
  form.prepareSubmit(req);
  form.write(session.sendRequest(req));
  Poco::Net::HTTPResponse resp;
  std::string body;
  Poco::StreamCopier::copyToString(session.receiveResponse(resp), body);
  return resp.getStatus();
}

struct run_figures {
  double reply_ms = 0; // until the 200: the guard and the back-office query
  double wall_ms = 0;  // until syncinfo says the run has finished
};

run_figures timed_run(const options& o, PGconn* local, const data_set& d) {
  const std::string row = std::string("tablename = '") + d.set.tablename + "'";
  // A NULL stamp lets the run past the interval guard, and tells this run's end from the last.
  exec(local, "UPDATE syncinfo SET syncdate = NULL WHERE " + row, PGRES_COMMAND_OK);
  const std::string finished =
      "SELECT count(*) FROM syncinfo WHERE " + row + " AND syncdate IS NOT NULL AND status = 1";
  const auto begin = steady::now();
  const int status = post_sync(o, d.name);
  const auto replied = steady::now();
  if (status != 200) {
    throw std::runtime_error(std::string(d.name) + " answered " + std::to_string(status));
  }
  while (std::string(PQgetvalue(exec(local, finished, PGRES_TUPLES_OK).get(), 0, 0)) != "1") {
    if (steady::now() - begin > run_limit) {
      throw std::runtime_error(std::string(d.name) + " did not finish (see the gateway's log)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto ended = steady::now();
  return {millis(replied - begin).count(), millis(ended - begin).count()};
}

// --- The same rows into the temporary table without the gateway.

// COPY's text format: backslash escapes, \N for NULL.
void append_copy_field(std::string& line, const PGresult* rows, int row, int column) {
  if (PQgetisnull(rows, row, column)) {
    line += "\\N";
    return;
  }
  for (const char* p = PQgetvalue(rows, row, column); *p != '\0'; ++p) {
    switch (*p) {
    case '\\':
      line += "\\\\";
      break;
    case '\t':
      line += "\\t";
      break;
    case '\n':
      line += "\\n";
      break;
    case '\r':
      line += "\\r";
      break;
    default:
      line += *p;
    }
  }
}

// "INSERT INTO t (a, b) VALUES (...)" -> "COPY t (a, b) FROM STDIN"
std::string copy_statement(const std::string& load) {
  const std::string into = "INSERT INTO ";
  const auto values = load.find(" VALUES");
  if (load.rfind(into, 0) != 0 || values == std::string::npos) {
    throw std::runtime_error("unexpected load statement: " + load);
  }
  return "COPY " + load.substr(into.size(), values - into.size()) + " FROM STDIN";
}

double copy_load(PGconn* local, const data_set& d, const PGresult* rows, const std::string& stamp) {
  const auto begin = steady::now();
  exec(local, "BEGIN", PGRES_COMMAND_OK);
  exec(local, copy_statement(d.set.load_statement), PGRES_COPY_IN);
  std::string line;
  for (int row = 0; row < PQntuples(rows); ++row) {
    line = stamp;
    for (int column = 0; column < PQnfields(rows); ++column) {
      line += '\t';
      append_copy_field(line, rows, row, column);
    }
    line += '\n';
    if (PQputCopyData(local, line.data(), static_cast<int>(line.size())) != 1) {
      throw std::runtime_error(std::string("COPY: ") + PQerrorMessage(local));
    }
  }
  if (PQputCopyEnd(local, nullptr) != 1) {
    throw std::runtime_error(std::string("COPY end: ") + PQerrorMessage(local));
  }
  for (pg_result_ptr res(PQgetResult(local)); res; res.reset(PQgetResult(local))) {
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
      throw std::runtime_error(std::string("COPY: ") + PQresultErrorMessage(res.get()));
    }
  }
  exec(local, "COMMIT", PGRES_COMMAND_OK);
  return millis(steady::now() - begin).count();
}

void prepare_load(PGconn* local, const data_set& d) {
  const auto& types = d.set.load_types;
  exec(local, "DEALLOCATE ALL", PGRES_COMMAND_OK);
  pg_result_ptr prepared(PQprepare(local, "LoadTemp", d.set.load_statement,
                                   static_cast<int>(types.size()), types.data()));
  if (!prepared || PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error(std::string("prepare: ") + PQerrorMessage(local));
  }
}

// The gateway's own load, on its own: pipelined, a savepoint per row.
double gateway_load(PGconn* local, const data_set& d, const PGresult* rows,
                    const std::string& stamp) {
  prepare_load(local, d);
  const auto begin = steady::now();
  const content::load_outcome out = content::load_temp(local, rows, stamp, d.set, "bench");
  if (!out.ok || out.loaded != PQntuples(rows)) {
    throw std::runtime_error("gateway load: " + std::to_string(out.loaded) + " rows; " + out.error);
  }
  return millis(steady::now() - begin).count();
}

// One exchange per row: the prepared load statement, no savepoints, no pipeline.
double row_by_row_load(PGconn* local, const data_set& d, const PGresult* rows,
                       const std::string& stamp) {
  const auto& types = d.set.load_types;
  prepare_load(local, d);
  const auto begin = steady::now();
  exec(local, "BEGIN", PGRES_COMMAND_OK);
  std::vector<const char*> values(types.size());
  for (int row = 0; row < PQntuples(rows); ++row) {
    values[0] = stamp.c_str();
    for (int column = 0; column < PQnfields(rows); ++column) {
      values[static_cast<std::size_t>(column) + 1] =
          PQgetisnull(rows, row, column) ? nullptr : PQgetvalue(rows, row, column);
    }
    pg_result_ptr res(PQexecPrepared(local, "LoadTemp", static_cast<int>(values.size()),
                                     values.data(), nullptr, nullptr, 0));
    if (!res || PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
      throw std::runtime_error(std::string("row load: ") + PQerrorMessage(local));
    }
  }
  exec(local, "COMMIT", PGRES_COMMAND_OK);
  return millis(steady::now() - begin).count();
}

void clear_stamp(PGconn* local, const data_set& d, const std::string& stamp) {
  std::string sql = d.set.delete_own;
  const Oid types[] = {content::pg_type::timestamp};
  const char* values[] = {stamp.c_str()};
  pg_result_ptr res(PQexecParams(local, sql.c_str(), 1, types, values, nullptr, nullptr, 0));
  if (!res || PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error(std::string("cleanup: ") + PQerrorMessage(local));
  }
}

double per_second(int rows, double ms) {
  return ms > 0 ? rows * 1000.0 / ms : 0;
}

void run_benchmark(const options& o) {
  pg_conn_ptr local = connect(o, o.local_db);
  pg_conn_ptr office = connect(o, o.office_db);
  const data_set sets[] = {{"sync_products", content::tables_of(content::sync_set::products)},
                           {"sync_stations", content::tables_of(content::sync_set::stations)},
                           {"sync_prices", content::tables_of(content::sync_set::prices)}};

  std::printf("Synchronisation runs through the gateway (wall: request until syncinfo status 1)\n");
  std::printf("%-14s %8s %4s %12s %12s %12s\n", "data set", "rows", "run", "reply ms", "wall ms",
              "rows/s");
  for (const auto& d : sets) {
    const int rows = std::stoi(PQgetvalue(
        exec(office.get(), std::string("SELECT count(*) FROM (") + d.set.backoffice_query + ") q",
             PGRES_TUPLES_OK)
            .get(),
        0, 0));
    for (int run = 1; run <= o.runs; ++run) {
      const run_figures f = timed_run(o, local.get(), d);
      std::printf("%-14s %8d %4d %12.1f %12.1f %12.0f\n", d.name, rows, run, f.reply_ms, f.wall_ms,
                  per_second(rows, f.wall_ms));
      std::fflush(stdout);
    }
  }

  std::printf("\nThe same rows into the temporary table in one transaction, without the gateway:\n"
              "one COPY; the gateway's load alone (pipelined, a savepoint per row); one plain\n"
              "INSERT per row, each waiting for its answer\n");
  std::printf("%-14s %6s %9s %9s %9s %9s %9s %9s %9s\n", "data set", "rows", "query ms", "COPY ms",
              "rows/s", "load ms", "rows/s", "rows ms", "rows/s");
  const std::string stamp = "2000-01-01 00:00:00";
  for (const auto& d : sets) {
    const auto began = steady::now();
    pg_result_ptr rows = exec(office.get(), d.set.backoffice_query, PGRES_TUPLES_OK);
    const double query_ms = millis(steady::now() - began).count();
    const int n = PQntuples(rows.get());
    const double copy_ms = copy_load(local.get(), d, rows.get(), stamp);
    clear_stamp(local.get(), d, stamp);
    const double load_ms = gateway_load(local.get(), d, rows.get(), stamp);
    clear_stamp(local.get(), d, stamp);
    const double row_ms = row_by_row_load(local.get(), d, rows.get(), stamp);
    clear_stamp(local.get(), d, stamp);
    std::printf("%-14s %6d %9.1f %9.1f %9.0f %9.1f %9.0f %9.1f %9.0f\n", d.name, n, query_ms,
                copy_ms, per_second(n, copy_ms), load_ms, per_second(n, load_ms), row_ms,
                per_second(n, row_ms));
  }
}

} // namespace

int main(int argc, char** argv) {
  try {
    run_benchmark(parse_options(argc, argv));
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "bench_sync: " << e.what() << "\n";
    return 1;
  }
}
