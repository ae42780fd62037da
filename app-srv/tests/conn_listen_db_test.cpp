// The listening session against a real PostgreSQL: it counts as up only while every catalogue
// table has its trigger (sql/upgrade.sql puts them back, run twice without harm), reports
// committed changes, and comes back by itself after its backend was terminated.
#include "conn_listen.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_db.h"
#include "web/clock.h"

namespace {

using namespace std::chrono_literals;
using content::listen_event;
using orvale_test::test_db;

// What the listener reported, in order, and a wait for the next report of a kind.
class reports {
public:
  void add(listen_event e) {
    {
      const std::lock_guard<std::mutex> lock(mu_);
      seen_.push_back(e);
    }
    cv_.notify_all();
  }
  // True once `e` was reported after the first `from` reports, within `limit`.
  bool wait_for(listen_event e, std::size_t from, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] {
      for (std::size_t i = from; i < seen_.size(); ++i) {
        if (seen_[i] == e) {
          return true;
        }
      }
      return false;
    });
  }
  std::size_t count() {
    const std::lock_guard<std::mutex> lock(mu_);
    return seen_.size();
  }

private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<listen_event> seen_;
};

int armed_tables(test_db& db) {
  return std::stoi(db.value("SELECT count(*) FROM pg_trigger"
                            " WHERE tgname = 'orvale_catalogue_changed' AND tgenabled <> 'D'"));
}

TEST(ListenDb, UpOnlyWithEveryTriggerReportsChangesAndComesBack) {
  test_db db = test_db::create("orvale_listen");
  db.exec("DROP TRIGGER orvale_catalogue_changed ON prodmaps");
  web::real_clock clock(0.01); // reconnects 10 ms apart
  reports seen;
  content::change_listener listener(db.record(), clock, [&seen](listen_event e, const std::vector<std::string>&) { seen.add(e); });

  ASSERT_TRUE(seen.wait_for(listen_event::down, 0, 5s));
  EXPECT_FALSE(seen.wait_for(listen_event::up, 0, 100ms)) << "a table without its trigger";

  db.apply_file(orvale_test::source_dir() / "sql" / "upgrade.sql");
  db.apply_file(orvale_test::source_dir() / "sql" / "upgrade.sql");
  EXPECT_EQ(armed_tables(db), 6);
  ASSERT_TRUE(seen.wait_for(listen_event::up, 0, 5s));

  const struct {
    const char* what;
    const char* sql;
  } changes[] = {
      {"insert", "INSERT INTO apptypes (id, sname, key) VALUES (7, 'L', 'k')"},
      {"update", "UPDATE apptypes SET key = 'k2' WHERE id = 7"},
      {"delete", "DELETE FROM apptypes WHERE id = 7"},
      {"truncate", "TRUNCATE curprices"},
      {"by hand", "SELECT pg_notify('orvale_catalogue', 'x')"},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.what);
    const std::size_t before = seen.count();
    db.exec(c.sql);
    EXPECT_TRUE(seen.wait_for(listen_event::changed, before, 5s));
  }
  // A rolled-back change announces nothing.
  const std::size_t before = seen.count();
  db.exec("BEGIN; UPDATE curprices SET price = 1; ROLLBACK");
  EXPECT_FALSE(seen.wait_for(listen_event::changed, before, 200ms));

  db.exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
          " WHERE application_name = 'orvale-listen' AND datname = current_database()");
  ASSERT_TRUE(seen.wait_for(listen_event::down, before, 5s));
  ASSERT_TRUE(seen.wait_for(listen_event::up, before + 1, 5s));
  const std::size_t again = seen.count();
  db.exec("UPDATE links SET active = false");
  EXPECT_TRUE(seen.wait_for(listen_event::changed, again, 5s));
  listener.stop();
}

} // namespace
