// One test database in the throwaway cluster of scripts/test-pg.sh, cloned from orvale_template.
#pragma once

#include "conn.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <libpq-fe.h>

namespace orvale_test {

struct pg_conn_free {
  void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
struct pg_result_free {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using pg_conn_ptr = std::unique_ptr<PGconn, pg_conn_free>;
using pg_result_ptr = std::unique_ptr<PGresult, pg_result_free>;

// Not thread-safe: one test thread drives it. Statements run as "orvale", the role the service
// logs in as, over one kept connection (application_name "orvale_test") that connections() leaves
// out of its count.
class test_db {
public:
  // Drops the database `name` if it exists (closing its sessions) and clones it afresh from
  // orvale_template. Throws std::runtime_error when not run through ctest or the cluster is down.
  static test_db create(const std::string& name);
  // The same on another cluster of scripts/test-pg.sh (see private_cluster).
  static test_db create_on(int port, const std::string& name);

  const std::string& host() const { return host_; }
  int port() const { return port_; }
  const std::string& name() const { return name_; }
  std::string user() const { return "orvale"; }
  std::string password() const { return "orvale-test"; }

  // Each throws std::runtime_error carrying the server's message when the statement fails.
  void exec(const std::string& sql);
  std::string value(const std::string& sql); // first column of the first row; "" for NULL or none
  std::vector<std::vector<std::string>> rows(const std::string& sql); // NULL reads as ""
  void apply_file(const std::filesystem::path& path); // the whole file in one PQexec
  void load_demo();                                   // sql/demo.sql of the source tree

  // Back to the template's contents (the seeded syncinfo rows included) by cloning it again.
  void reset();

  // Sessions on this database by the user "orvale" whose application_name or user name is
  // `application_name_or_user`; this object's own session and the gateway's catalogue listening
  // session ("orvale-listen", one for the process's life, outside every pool) are not counted.
  int connections(const std::string& application_name_or_user);

  // The service's connection record for this database (no pool unless asked).
  content::DBConnection_t record(int pool_size = 0) const;

  // The connection object for "orvale.app_database" / "orvale.velk_database" of the config.
  std::string json_db_object() const;

  // A further session as "orvale", e.g. to hold a lock while the service works; it counts in
  // connections() like any other.
  pg_conn_ptr open_session(const std::string& application_name = "orvale_test") const;

private:
  test_db(std::string name, int port) : name_(std::move(name)), port_(port) {}
  void recreate();
  PGconn& session(); // connects on first use and again after the server dropped the session
  pg_result_ptr run(const std::string& sql);

  std::string name_;
  std::string host_ = "127.0.0.1";
  int port_;
  // The kept session serves one statement at a time: a job's handler in a test may use it while
  // the test's own thread polls.
  std::unique_ptr<std::mutex> mu_ = std::make_unique<std::mutex>();
  pg_conn_ptr conn_;
};

// A cluster of its own for a test that must disturb it (restart it, say) without touching the
// shared one other test binaries use at the same time. Started by the constructor, stopped and
// removed by the destructor.
class private_cluster {
public:
  private_cluster();
  ~private_cluster();
  private_cluster(const private_cluster&) = delete;
  private_cluster& operator=(const private_cluster&) = delete;

  int port() const { return port_; }
  void restart(); // fast restart on the same port: every session is cut
  void halt();    // stopped, data kept: nothing answers on the port until resume()
  void resume();

private:
  void script(const std::string& command);
  std::filesystem::path dir_;
  int port_ = 0;
};

// $ORVALE_SOURCE_DIR, else the source tree the tests were built from.
std::filesystem::path source_dir();

} // namespace orvale_test
