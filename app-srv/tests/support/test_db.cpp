// Test databases cloned from orvale_template, and plain-text access to them for assertions.
#include "support/test_db.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <Poco/JSON/Object.h>

namespace orvale_test {
namespace {

constexpr const char* superuser = "postgres";
constexpr const char* superuser_password = "postgres-test";
constexpr const char* own_application_name = "orvale_test";

struct pg_mem_free {
  void operator()(char* p) const noexcept { PQfreemem(p); }
};
using pg_mem_ptr = std::unique_ptr<char, pg_mem_free>;

std::string required_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(name) +
                             " is not set: run the tests through ctest, whose fixture pg_start "
                             "starts the throwaway cluster");
  }
  return value;
}

int cluster_port() {
  const std::filesystem::path file =
      std::filesystem::path(required_env("ORVALE_TEST_PG_DIR")) / "port";
  std::ifstream in(file);
  int port = 0;
  if (!(in >> port) || port <= 0 || port > 65535) {
    throw std::runtime_error("no port in " + file.string() +
                             ": the throwaway cluster is not running (ctest fixture pg_start)");
  }
  return port;
}

pg_conn_ptr connect(int port, const std::string& db, const std::string& user,
                    const std::string& password, const std::string& application_name) {
  const std::string port_text = std::to_string(port);
  const char* keys[] = {
      "host", "port", "dbname", "user", "password", "application_name", "connect_timeout", nullptr};
  const char* values[] = {"127.0.0.1",      port_text.c_str(),        db.c_str(), user.c_str(),
                          password.c_str(), application_name.c_str(), "10",       nullptr};
  pg_conn_ptr conn{PQconnectdbParams(keys, values, /* expand_dbname= */ 0)};
  if (!conn) {
    throw std::runtime_error("libpq could not allocate a connection");
  }
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    throw std::runtime_error("cannot connect to database " + db + " as " + user + " on port " +
                             port_text + ": " + PQerrorMessage(conn.get()));
  }
  // NOTICEs ("does not exist, skipping" and the like) would only clutter the test output.
  PQsetNoticeProcessor(
      conn.get(), [](void*, const char*) {}, nullptr);
  return conn;
}

bool succeeded(const PGresult* res) {
  const ExecStatusType status = PQresultStatus(res);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY;
}

std::string excerpt(const std::string& sql) {
  constexpr std::size_t shown = 200;
  return sql.size() <= shown ? sql : sql.substr(0, shown) + "...";
}

pg_result_ptr run_on(PGconn& conn, const std::string& sql) {
  pg_result_ptr res{PQexec(&conn, sql.c_str())};
  if (!res || !succeeded(res.get())) {
    const std::string message =
        res ? PQresultErrorMessage(res.get()) : std::string(PQerrorMessage(&conn));
    throw std::runtime_error(message + "in statement: " + excerpt(sql));
  }
  return res;
}

std::string quoted_identifier(PGconn& conn, const std::string& name) {
  pg_mem_ptr quoted{PQescapeIdentifier(&conn, name.c_str(), name.size())};
  if (!quoted) {
    throw std::runtime_error("cannot quote the database name " + name + ": " +
                             PQerrorMessage(&conn));
  }
  return quoted.get();
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string cell(const PGresult* res, int row, int column) {
  if (PQgetisnull(res, row, column) != 0) {
    return "";
  }
  return std::string(PQgetvalue(res, row, column),
                     static_cast<std::size_t>(PQgetlength(res, row, column)));
}

} // namespace

std::filesystem::path source_dir() {
  if (const char* dir = std::getenv("ORVALE_SOURCE_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
#ifdef ORVALE_SOURCE_DIR
  return ORVALE_SOURCE_DIR;
#else
  throw std::runtime_error("ORVALE_SOURCE_DIR is not set: run the tests through ctest");
#endif
}

test_db test_db::create(const std::string& name) { return create_on(cluster_port(), name); }

test_db test_db::create_on(int port, const std::string& name) {
  test_db db(name, port);
  db.recreate();
  return db;
}

private_cluster::private_cluster() {
  char pattern[] = "/tmp/orvale-cluster-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("cannot make a directory for a private cluster");
  }
  dir_ = pattern;
  script("start");
  std::ifstream in(dir_ / "port");
  if (!(in >> port_) || port_ <= 0) {
    throw std::runtime_error("the private cluster in " + dir_.string() + " wrote no port");
  }
}

private_cluster::~private_cluster() {
  try {
    script("stop");
  } catch (const std::exception&) {
    // nothing more to do in a destructor; the directory goes anyway
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void private_cluster::restart() { script("restart"); }

void private_cluster::halt() { script("halt"); }

void private_cluster::resume() { script("resume"); }

void private_cluster::script(const std::string& command) {
  const std::string line = "bash '" + (source_dir() / "scripts" / "test-pg.sh").string() + "' " +
                           command + " '" + dir_.string() + "' >/dev/null";
  if (std::system(line.c_str()) != 0) {
    throw std::runtime_error("test-pg.sh " + command + " failed for " + dir_.string());
  }
}

void test_db::recreate() {
  conn_.reset();
  pg_conn_ptr admin =
      connect(port_, "postgres", superuser, superuser_password, "orvale_test_admin");
  const std::string ident = quoted_identifier(*admin, name_);
  // FORCE closes the sessions a previous test (or a still running service) left open.
  run_on(*admin, "DROP DATABASE IF EXISTS " + ident + " WITH (FORCE)");
  run_on(*admin, "CREATE DATABASE " + ident + " TEMPLATE orvale_template OWNER orvale");
}

void test_db::reset() {
  recreate();
}

pg_conn_ptr test_db::open_session(const std::string& application_name) const {
  return connect(port_, name_, user(), password(), application_name);
}

PGconn& test_db::session() {
  if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
    conn_ = open_session(own_application_name);
  }
  return *conn_;
}

pg_result_ptr test_db::run(const std::string& sql) {
  const std::lock_guard<std::mutex> lock(*mu_);
  const bool fresh = !conn_;
  try {
    return run_on(session(), sql);
  } catch (const std::runtime_error&) {
    // A test that terminated the service's sessions may have hit this kept one too. The server
    // ran nothing on a dead session (or rolled it back), so the statement goes once more.
    if (fresh || PQstatus(conn_.get()) == CONNECTION_OK) {
      throw;
    }
    conn_.reset();
    return run_on(session(), sql);
  }
}

void test_db::exec(const std::string& sql) {
  run(sql);
}

std::string test_db::value(const std::string& sql) {
  const pg_result_ptr res = run(sql);
  if (PQntuples(res.get()) == 0 || PQnfields(res.get()) == 0) {
    return "";
  }
  return cell(res.get(), 0, 0);
}

std::vector<std::vector<std::string>> test_db::rows(const std::string& sql) {
  const pg_result_ptr res = run(sql);
  std::vector<std::vector<std::string>> out;
  const int row_count = PQntuples(res.get());
  const int column_count = PQnfields(res.get());
  out.reserve(static_cast<std::size_t>(row_count));
  for (int r = 0; r < row_count; ++r) {
    std::vector<std::string>& row = out.emplace_back();
    row.reserve(static_cast<std::size_t>(column_count));
    for (int c = 0; c < column_count; ++c) {
      row.push_back(cell(res.get(), r, c));
    }
  }
  return out;
}

void test_db::apply_file(const std::filesystem::path& path) {
  exec(read_file(path));
}

void test_db::load_demo() {
  apply_file(source_dir() / "sql" / "demo.sql");
}

int test_db::connections(const std::string& application_name_or_user) {
  static constexpr const char* sql =
      "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
      "AND usename = 'orvale' AND pid <> pg_backend_pid() "
      // the catalogue's and the jobs' own sessions, held for good
      "AND application_name NOT IN ('orvale-listen', 'orvale-jobs') "
      "AND (application_name = $1 OR usename = $1)";
  const char* values[] = {application_name_or_user.c_str()};
  const std::lock_guard<std::mutex> lock(*mu_);
  for (int attempt = 0;; ++attempt) {
    PGconn& conn = session();
    const pg_result_ptr res{PQexecParams(&conn, sql, 1, nullptr, values, nullptr, nullptr, 0)};
    if (res && PQresultStatus(res.get()) == PGRES_TUPLES_OK) {
      return std::stoi(cell(res.get(), 0, 0));
    }
    // After a server restart the kept session is dead; one fresh try, as run() does.
    if (attempt > 0 || PQstatus(&conn) == CONNECTION_OK) {
      throw std::runtime_error(std::string("cannot count sessions: ") + PQerrorMessage(&conn));
    }
  }
}

content::DBConnection_t test_db::record(int pool_size) const {
  content::DBConnection_t rec;
  rec.host = host_;
  rec.port = port_;
  rec.dbname = name_;
  rec.user = user();
  rec.password = password();
  rec.pool_size = pool_size;
  return rec;
}

std::string test_db::json_db_object() const {
  Poco::JSON::Object obj(Poco::JSON_PRESERVE_KEY_ORDER);
  obj.set("db_host", host_);
  obj.set("db_port", port_);
  obj.set("db_name", name_);
  obj.set("db_user", user());
  obj.set("db_pass", password());
  obj.set("connect_timeout", 5);
  std::ostringstream out;
  obj.stringify(out);
  return out.str();
}

} // namespace orvale_test
