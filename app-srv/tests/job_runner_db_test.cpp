// The job runner against a real PostgreSQL, with handlers of the test's own: what the claim,
// the lease and the one transaction of a job's end promise where no gateway process is needed
// to see it. The gateway's own jobs are covered end to end.
#include "job_runner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "conn_pg.h"
#include "gateway_services.h"
#include "outgoing.h"
#include "support/test_db.h"
#include "web/clock.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::test_db;
using srv_apps::job_booking;
using srv_apps::job_call;
using srv_apps::job_result;
using srv_apps::job_unit;

void insert_written(const content::PGBackend& db, std::int64_t id) {
  content::exec_params(content::native_connection(db), "INSERT INTO written VALUES ($1::bigint)",
                       {std::to_string(id)});
}

class JobRunner : public ::testing::Test {
protected:
  JobRunner() : db_(test_db::create("job_runner")), database_{db_.record(4), nullptr}, clock_(0.001) {
    database_.pool = std::make_shared<content::connection_pool>(database_.record);
  }

  std::unique_ptr<srv_apps::job_runner> runner(int workers = 4, int per_peer = 4,
                                               web::millis lease = 60s) {
    return std::make_unique<srv_apps::job_runner>(
        srv_apps::job_runner_settings{workers, lease, per_peer, std::chrono::hours(1), ""}, database_,
        clock_);
  }

  void book(const std::string& kind, const std::string& order, const std::string& peer = "p") {
    database::open_failure failure{};
    auto db = database_.open(failure);
    ASSERT_TRUE(db);
    content::transaction tx(*db);
    ASSERT_TRUE(srv_apps::book_job(*db, job_booking{kind, 1, order, {}, peer}, clock_));
    ASSERT_TRUE(tx.commit());
  }

  // Waits (bounded, polling) until the query's value is `expected`.
  bool eventually(const std::string& sql, const std::string& expected) {
    for (int i = 0; i < 1000; ++i) {
      if (db_.value(sql) == expected) {
        return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  using database = srv_apps::database;
  test_db db_;
  database database_;
  web::real_clock clock_;
};

TEST_F(JobRunner, EndsAJobAsItsHandlerSaysAndKeepsAttemptsAndTheLastError) {
  struct row {
    const char* kind;
    const char* state;
    const char* attempts;
    const char* last_error;
  } rows[] = {{"once", "done", "1", ""}, {"flaky", "done", "3", "try 2"}, {"hopeless", "failed", "2", "gave up"}};
  auto r = runner();
  r->handle("once", [](const job_call&, job_unit&) { return job_result::done(); });
  r->handle("flaky", [](const job_call& c, job_unit&) {
    return c.attempt < 3 ? job_result::retry(10ms, "try " + std::to_string(c.attempt)) : job_result::done();
  });
  r->handle("hopeless", [](const job_call& c, job_unit&) {
    return c.attempt < 2 ? job_result::retry(10ms, "try 1") : job_result::failed("gave up");
  });
  r->start();
  for (const auto& row : rows) {
    book(row.kind, row.kind);
  }
  for (const auto& row : rows) {
    const std::string where = std::string(" FROM orvale_jobs WHERE kind = '") + row.kind + "'";
    EXPECT_TRUE(eventually("SELECT state" + where, row.state)) << row.kind;
    EXPECT_EQ(db_.value("SELECT attempts" + where), row.attempts) << row.kind;
    EXPECT_EQ(db_.value("SELECT coalesce(last_error, '')" + where), row.last_error) << row.kind;
  }
}

// The handler's writes, its next booking and its end are one transaction: when the end cannot be
// written (another process holds the job now) none of them is stored.
TEST_F(JobRunner, WritesNextBookingsAndTheEndCommitTogether) {
  db_.exec("CREATE TABLE written (job bigint)");
  std::atomic<bool> steal{true};
  auto r = runner();
  r->handle("step", [&](const job_call& c, job_unit& unit) {
    content::PGBackend* db = unit.db();
    EXPECT_NE(db, nullptr);
    job_result res = job_result::done();
    res.next.push_back(job_booking{"after", -1, "", {}, "p"});
    if (steal.exchange(false)) {
      db_.exec("UPDATE orvale_jobs SET owner = 'another' WHERE id = " + std::to_string(c.id));
    }
    insert_written(*db, c.id);
    return res;
  });
  r->handle("after", [](const job_call&, job_unit&) { return job_result::done(); });
  r->start();
  book("step", "o1");
  ASSERT_TRUE(eventually("SELECT owner FROM orvale_jobs WHERE kind = 'step'", "another"));
  r->shutdown(1s);
  EXPECT_EQ(db_.value("SELECT count(*) FROM written"), "0");
  EXPECT_EQ(db_.value("SELECT count(*) FROM orvale_jobs WHERE kind = 'after'"), "0");
  // Once its lease is over the job is taken over and this time ends with everything it wrote.
  db_.exec("UPDATE orvale_jobs SET lease_until = now() - interval '1 second'");
  auto again = runner();
  again->handle("step", [&](const job_call& c, job_unit& unit) {
    EXPECT_TRUE(c.taken_over);
    insert_written(*unit.db(), c.id);
    job_result res = job_result::done();
    res.next.push_back(job_booking{"after", -1, "", {}, "p"});
    return res;
  });
  again->handle("after", [](const job_call&, job_unit&) { return job_result::done(); });
  again->start();
  // With nothing else of its order waiting, the next step took over the ended job's row.
  EXPECT_TRUE(
      eventually("SELECT string_agg(kind || ' ' || state, ',') FROM orvale_jobs", "after done"));
  EXPECT_EQ(db_.value("SELECT count(*) FROM written"), "1");
}

// Two runners (two processes) on one database: every job runs once, one order's jobs one at a
// time in the order they were booked, while the jobs of different orders run side by side.
TEST_F(JobRunner, SharesWorkAndNeverOverlapsOneOrdersJobs) {
  std::mutex mu;
  std::map<std::string, std::vector<std::int64_t>> ran; // order -> job ids in the order run
  std::set<std::string> inside;
  int overlaps = 0;
  int most_side_by_side = 0;
  const auto handler = [&](const job_call& c, job_unit&) {
    {
      const std::lock_guard<std::mutex> lock(mu);
      overlaps += inside.count(c.order_id) ? 1 : 0;
      inside.insert(c.order_id);
      most_side_by_side = std::max(most_side_by_side, static_cast<int>(inside.size()));
      ran[c.order_id].push_back(c.id);
    }
    std::this_thread::sleep_for(2ms);
    const std::lock_guard<std::mutex> lock(mu);
    inside.erase(c.order_id);
    return job_result::done();
  };
  auto a = runner(8);
  auto b = runner(8);
  a->handle("e", handler);
  b->handle("e", handler);
  for (int i = 0; i < 60; ++i) {
    book("e", "order" + std::to_string(i % 3), "peer" + std::to_string(i % 5));
  }
  a->start();
  b->start();
  ASSERT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE state = 'done'", "60"));
  const std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(overlaps, 0);
  EXPECT_GT(most_side_by_side, 1);
  for (const auto& [order, ids] : ran) {
    EXPECT_EQ(ids.size(), 20u) << order;
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end())) << order;
  }
}

// A step due at once runs straight on the worker that ended the one before it, in that job's row,
// unless another job of its order was booked meanwhile: that one keeps its turn.
TEST_F(JobRunner, ANextStepDueAtOnceFollowsOnItsWorkerButNeverOvertakes) {
  std::mutex mu;
  std::vector<std::string> ran; // "order:kind" in the order run
  std::map<std::string, std::thread::id> threads;
  auto r = runner();
  const auto record = [&](const job_call& c) {
    const std::lock_guard<std::mutex> lock(mu);
    ran.push_back(c.order_id + ":" + c.kind);
    threads[ran.back()] = std::this_thread::get_id();
  };
  r->handle("first", [&](const job_call& c, job_unit&) {
    record(c);
    if (c.order_id == "busy") {
      book("event", "busy"); // an event of the order while its step runs
    }
    job_result res = job_result::done();
    res.next.push_back(job_booking{"then", -1, "", {}, "p"});
    return res;
  });
  for (const char* kind : {"then", "event"}) {
    r->handle(kind, [&](const job_call& c, job_unit&) {
      record(c);
      EXPECT_EQ(c.attempt, 1);
      return job_result::done();
    });
  }
  const auto rows = [](const char* order) {
    return std::string("SELECT string_agg(kind || ' ' || state || ' ' || attempts, ',' ORDER BY id)"
                       " FROM orvale_jobs WHERE order_id = '") + order + "'";
  };
  book("first", "quiet");
  r->start();
  ASSERT_TRUE(eventually(rows("quiet"), "then done 1"));
  book("first", "busy");
  r->nudge();
  ASSERT_TRUE(eventually(rows("busy"), "first done 1,event done 1,then done 1"));
  const std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(threads["quiet:then"], threads["quiet:first"]);
  const std::vector<std::string> busy(ran.begin() + 2, ran.end());
  EXPECT_EQ(busy, (std::vector<std::string>{"busy:first", "busy:event", "busy:then"}));
}

// A chained step's first status check takes the status its end read under the order's lock,
// after the end's own writes; the next check, or one after the step wrote, reads it anew.
TEST_F(JobRunner, AChainedStepsFirstCheckTakesTheStatusItsEndRead) {
  db_.exec("INSERT INTO orders (id, id_app, statusint) VALUES ('o1', 1, 1)");
  std::mutex mu;
  std::vector<int> seen;
  const auto look = [&](job_unit& unit) {
    int status = -1;
    EXPECT_TRUE(unit.read_order_status(status));
    const std::lock_guard<std::mutex> lock(mu);
    seen.push_back(status);
  };
  auto r = runner();
  r->handle("first", [&](const job_call&, job_unit& unit) {
    content::exec_params(content::native_connection(*unit.db()),
                         "UPDATE orders SET statusint = 2 WHERE id = 'o1'", {});
    job_result res = job_result::done();
    res.next.push_back(job_booking{"then", -1, "", {}, "p"});
    return res;
  });
  r->handle("then", [&](const job_call&, job_unit& unit) {
    db_.exec("UPDATE orders SET statusint = 3 WHERE id = 'o1'");
    look(unit); // 2: read by the end of "first"
    look(unit); // 3
    db_.exec("UPDATE orders SET statusint = 4 WHERE id = 'o1'");
    unit.db();
    look(unit); // 4, in the step's transaction
    return job_result::done();
  });
  book("first", "o1");
  r->start();
  ASSERT_TRUE(
      eventually("SELECT string_agg(kind || ' ' || state, ',') FROM orvale_jobs", "then done"));
  const std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(seen, (std::vector<int>{2, 3, 4}));
}

// Jobs that end together while their peer's calls are all taken each hand their call on to their
// own next step: none of those steps is left to a claim.
TEST_F(JobRunner, StepsEndingTogetherOnAFullPeerEachFollowOnTheirWorker) {
  constexpr int orders = 3;
  std::mutex mu;
  std::condition_variable all_in;
  int calling = 0;
  std::map<std::string, std::thread::id> first_on;
  std::map<std::string, std::thread::id> then_on;
  auto r = runner(orders, orders);
  r->handle("first", [&](const job_call& c, job_unit&) {
    std::unique_lock<std::mutex> lock(mu);
    first_on[c.order_id] = std::this_thread::get_id();
    ++calling;
    all_in.notify_all();
    all_in.wait_for(lock, 10s, [&] { return calling == orders; });
    job_result res = job_result::done();
    res.next.push_back(job_booking{"then", -1, "", {}, "p"});
    return res;
  });
  r->handle("then", [&](const job_call& c, job_unit&) {
    const std::lock_guard<std::mutex> lock(mu);
    then_on[c.order_id] = std::this_thread::get_id();
    return job_result::done();
  });
  for (int i = 0; i < orders; ++i) {
    book("first", "o" + std::to_string(i));
  }
  r->start();
  ASSERT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE kind = 'then' AND state = 'done'",
                         std::to_string(orders)));
  const std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(then_on, first_on);
}

// A process without room for a peer skips that peer's announcements, so each must name the peer
// of the job that may now be claimed: an end names the order's next waiting job's peer.
TEST_F(JobRunner, AnnouncementsNameThePeerOfTheJobThatMayNowBeClaimed) {
  const orvale_test::pg_conn_ptr listener = db_.open_session();
  orvale_test::pg_result_ptr(PQexec(listener.get(), "LISTEN orvale_jobs"));
  db_.exec("INSERT INTO orvale_jobs (kind, id_app, order_id, peer, state, owner, lease_until)"
           " VALUES ('k', 1, 'o', 'station', 'running', 'me', now() + interval '1 minute')");
  const struct {
    const char* change;
    std::vector<std::string> announced;
  } cases[] = {
      {"INSERT INTO orvale_jobs (kind, id_app, order_id, peer) VALUES ('k', 1, 'o', 'aggregator')",
       {"aggregator"}},
      {"UPDATE orvale_jobs SET state = 'done' WHERE peer = 'station'", {"aggregator"}},
      {"UPDATE orvale_jobs SET state = 'running' WHERE peer = 'aggregator'", {}},
      {"UPDATE orvale_jobs SET state = 'failed' WHERE peer = 'aggregator'", {}},
  };
  for (const auto& c : cases) {
    db_.exec(c.change);
    // One session's announcements arrive in commit order: all of the change's come before "end".
    db_.exec("NOTIFY orvale_jobs, 'end'");
    std::vector<std::string> announced;
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {
      orvale_test::pg_result_ptr(PQexec(listener.get(), "SELECT 1"));
      while (PGnotify* n = PQnotifies(listener.get())) {
        ended = ended || std::string(n->extra) == "end";
        if (!ended) {
          announced.emplace_back(n->extra);
        }
        PQfreemem(n);
      }
      if (!ended) {
        std::this_thread::sleep_for(10ms);
      }
    }
    ASSERT_TRUE(ended) << c.change;
    EXPECT_EQ(announced, c.announced) << c.change;
  }
}

// A booking made outside a worker is held by this process only when nothing of its order is
// unfinished (an earlier job of the order, waiting, runs first) and only while the workers run.
TEST_F(JobRunner, AHandlersBookingIsHeldOnlyWhenItsOrderHasNothingElseUnfinished) {
  std::mutex mu;
  std::vector<std::string> ran;
  auto r = runner();
  r->handle("k", [&](const job_call& c, job_unit&) {
    const std::lock_guard<std::mutex> lock(mu);
    ran.push_back(c.order_id + ":" + std::to_string(c.id) + ":" + std::to_string(c.attempt));
    return job_result::done();
  });
  struct booked {
    std::int64_t id = -1;
    bool held = false;
  };
  const auto book_outside = [&](const std::string& order, web::millis pause) {
    database::open_failure failure{};
    auto db = database_.open(failure);
    std::optional<content::claimed_job> held;
    booked out;
    if (!db) {
      ADD_FAILURE() << "no session";
      return out;
    }
    content::transaction tx(*db);
    EXPECT_TRUE(r->book(*db, job_booking{"k", 1, order, {}, "p", pause}, held));
    const content::pg_result_ptr last =
        content::exec_params(content::native_connection(*db), "SELECT max(id) FROM orvale_jobs", {});
    out.id = std::stoll(PQgetvalue(last.get(), 0, 0));
    out.held = held.has_value();
    EXPECT_TRUE(tx.commit());
    if (held) {
      EXPECT_EQ(held->id, out.id);
      r->adopt(std::move(*held));
    }
    return out;
  };
  EXPECT_FALSE(book_outside("before", 0ms).held) << "no workers yet";
  r->start();
  ASSERT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE state = 'done'", "1"));
  const booked alone = book_outside("alone", 0ms);
  EXPECT_TRUE(alone.held);
  const booked waiting = book_outside("queued", 500000ms); // 0.5 s at this clock's scale
  const booked behind = book_outside("queued", 0ms);
  EXPECT_FALSE(waiting.held);
  EXPECT_FALSE(behind.held);
  ASSERT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE state = 'done'", "4"));
  const std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(ran.size(), 4u);
  EXPECT_EQ(ran[1], "alone:" + std::to_string(alone.id) + ":1");
  EXPECT_EQ(ran[2], "queued:" + std::to_string(waiting.id) + ":1");
  EXPECT_EQ(ran[3], "queued:" + std::to_string(behind.id) + ":1");
}

// The look ahead gives the time until the next job falls due, and nothing when nothing waits: a
// zero there would have the dispatcher look again every few milliseconds.
TEST_F(JobRunner, TheLookAheadGivesNoTimeWhenNothingWaits) {
  content::PGBackend session(database_.record);
  ASSERT_EQ(session.connect(), content::CONNECTION_STATUS_OK);
  const content::peer_room room;
  EXPECT_FALSE(content::next_job_due(session, room).has_value());
  db_.exec("INSERT INTO orvale_jobs (kind, id_app, order_id, peer, due_at)"
           " VALUES ('k', 1, 'o', 'p', now() + interval '1 hour')");
  const auto due = content::next_job_due(session, room);
  ASSERT_TRUE(due.has_value());
  EXPECT_GT(*due, std::chrono::minutes(59));
}

// A held booking never overtakes its peer's backlog: with a job of the peer waiting to be
// claimed, it waits too; another peer's is held.
TEST_F(JobRunner, AHeldBookingWaitsBehindItsPeersBacklog) {
  book("k", "waiting", "http://busy:80");
  database::open_failure failure{};
  auto db = database_.open(failure);
  ASSERT_TRUE(db);
  for (const auto& [peer, held] : {std::pair{"http://busy:80", false}, {"http://idle:80", true}}) {
    content::job_booking b;
    b.kind = "k";
    b.id_app = 1;
    b.order_id = std::string("new at ") + peer;
    b.peer = peer;
    const content::chained_job booked = content::book_held_job(*db, b, "me", 60s);
    EXPECT_GT(booked.id, 0) << peer;
    EXPECT_EQ(booked.running, held) << peer;
  }
}

// A job's check before its call reads the order under the order's lock, also when it reads in a
// transaction of its own: an event's handler holding the lock is waited for, not read half-way.
TEST_F(JobRunner, AStatusCheckWaitsForTheOrdersLockAndLeavesNoTransactionOpen) {
  db_.exec("INSERT INTO orders (id, id_app, statusint) VALUES ('L-1', 1, 7)");
  database::open_failure failure{};
  auto holder = database_.open(failure);
  ASSERT_TRUE(holder);
  PGconn* held = content::native_connection(*holder);
  const content::pg_result_ptr locked(PQexec(held, "SELECT pg_advisory_lock(1, hashtext('L-1'))"));
  ASSERT_EQ(PQresultStatus(locked.get()), PGRES_TUPLES_OK);
  auto read = std::async(std::launch::async, [this] {
    job_unit unit(database_, 1, "L-1");
    int status = -2;
    return unit.read_order_status(status) ? status : -2;
  });
  EXPECT_EQ(read.wait_for(200ms), std::future_status::timeout);
  // Committed before the lock goes, as a handler does: one query string would unlock first.
  const content::pg_result_ptr moved(PQexec(held, "UPDATE orders SET statusint = 1 WHERE id = 'L-1'"));
  const content::pg_result_ptr unlocked(PQexec(held, "SELECT pg_advisory_unlock(1, hashtext('L-1'))"));
  EXPECT_EQ(read.get(), 1);
  EXPECT_EQ(db_.value("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database()"
                      " AND state LIKE 'idle in transaction%'"),
            "0");
}

// A peer's backlog is claimed a batch at a time as its held jobs end: each end of a peer left
// without room wakes the dispatcher, not its periodic look (5 s, which would take minutes here).
TEST_F(JobRunner, APeersBacklogIsClaimedAsItsRoomFrees) {
  auto r = runner(4, 1);
  r->handle("quick", [](const job_call&, job_unit&) { return job_result::done(); });
  for (int i = 0; i < 60; ++i) {
    book("quick", "b" + std::to_string(i), "http://one:80");
  }
  r->start();
  EXPECT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE state = 'done'", "60"));
}

// A peer at its limit keeps its jobs waiting without holding the workers another peer needs.
TEST_F(JobRunner, APeerAtItsLimitLeavesTheOtherWorkersFree) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> hung_inside{0};
  std::atomic<int> most_hung{0};
  auto r = runner(8, 3);
  r->handle("hung", [&](const job_call&, job_unit&) {
    const int now = ++hung_inside;
    most_hung = std::max(most_hung.load(), now);
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return release; });
    --hung_inside;
    return job_result::done();
  });
  r->handle("quick", [](const job_call&, job_unit&) { return job_result::done(); });
  for (int i = 0; i < 10; ++i) {
    book("hung", "h" + std::to_string(i), "http://hung:80");
  }
  r->start();
  for (int i = 0; i < 10; ++i) {
    book("quick", "q" + std::to_string(i), "http://quick:80");
  }
  r->nudge();
  EXPECT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE kind = 'quick' AND state = 'done'", "10"));
  EXPECT_EQ(most_hung.load(), 3);
  {
    const std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  EXPECT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE state = 'done'", "20"));
}

// An exception out of a job's end (here the handler's `committed`, run once the end committed)
// must not end the process: the committed end stands, its chained step runs on, and the peer's
// one call is free again for the next job.
TEST_F(JobRunner, AnExceptionAfterAJobsEndLeavesTheRunAndThePeersRoomAsCommitted) {
  auto r = runner(4, 1);
  r->handle("throws", [](const job_call&, job_unit&) {
    job_result res = job_result::done();
    res.next.push_back(job_booking{"after", -1, "", {}, "p"});
    res.committed = [] { throw std::runtime_error("after the commit"); };
    return res;
  });
  r->handle("after", [](const job_call&, job_unit&) { return job_result::done(); });
  r->start();
  book("throws", "t");
  EXPECT_TRUE(
      eventually("SELECT string_agg(kind || ' ' || state, ',') FROM orvale_jobs", "after done"));
  book("after", "next");
  EXPECT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE state = 'done'", "2"));
}

// A job still running here whose lease lapsed (its renewals could not reach the database) is
// left to its run by its own process's claims, as the same try.
TEST_F(JobRunner, AJobStillRunningHereRunsOnceWhenItsLeaseLapses) {
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::atomic<int> entered{0};
  auto r = runner();
  r->handle("slow", [&](const job_call&, job_unit&) {
    ++entered;
    released.wait_for(10s);
    return job_result::done();
  });
  r->handle("probe", [](const job_call&, job_unit&) { return job_result::done(); });
  r->start();
  book("slow", "s");
  ASSERT_TRUE(eventually("SELECT state FROM orvale_jobs WHERE kind = 'slow'", "running"));
  db_.exec("UPDATE orvale_jobs SET lease_until = now() - interval '1 second' WHERE kind = 'slow'");
  book("probe", "p"); // its claim would take the lapsed job too
  ASSERT_TRUE(eventually("SELECT state FROM orvale_jobs WHERE kind = 'probe'", "done"));
  release.set_value();
  EXPECT_TRUE(eventually("SELECT state || attempts FROM orvale_jobs WHERE kind = 'slow'", "done1"));
  EXPECT_EQ(entered.load(), 1);
}

// A station's relay is booked without the order's lock, so it may commit after a later-numbered
// step of its order was booked running. Such a job waits while another job of its order runs
// under a live lease, whatever their ids, and is announced when that one ends; jobs whose leases
// all ran out are taken over one at a time, in id order.
TEST_F(JobRunner, AJobWaitsWhileAnotherOfItsOrderRunsUnderALiveLease) {
  const std::string live = "'running', 'elsewhere', now() + interval '1 hour'";
  const std::string lapsed = "'running', 'dead', now() - interval '1 second'";
  const struct {
    std::string first, second; // state, owner, lease of the lower id and the higher
    const char* first_waiting; // its state and owner until `second`, run elsewhere, ends
  } cases[] = {
      {"'scheduled', NULL, NULL", live, "scheduled/"},
      {lapsed, live, "running/dead"},
      {lapsed, lapsed, nullptr},
  };
  std::mutex mu;
  std::vector<std::int64_t> ran;
  std::set<std::string> inside;
  int overlaps = 0;
  auto r = runner();
  r->handle("e", [&](const job_call& c, job_unit&) {
    {
      const std::lock_guard<std::mutex> lock(mu);
      overlaps += inside.insert(c.order_id).second ? 0 : 1;
      ran.push_back(c.id);
    }
    std::this_thread::sleep_for(5ms);
    const std::lock_guard<std::mutex> lock(mu);
    inside.erase(c.order_id);
    return job_result::done();
  });
  r->handle("probe", [](const job_call&, job_unit&) { return job_result::done(); });
  r->start();
  for (int i = 0; i < 3; ++i) {
    const std::string first = std::to_string(900001 + 10 * i);
    const std::string second = std::to_string(900002 + 10 * i);
    const std::string order = "'o" + std::to_string(i) + "'";
    for (const auto& [id, row] : {std::pair{second, cases[i].second}, {first, cases[i].first}}) {
      db_.exec("INSERT INTO orvale_jobs (id, kind, id_app, order_id, peer, state, owner,"
               " lease_until) VALUES (" +
               id + ", 'e', 1, " + order + ", 'p', " + row + ")");
    }
    const std::string state =
        "SELECT state || '/' || coalesce(owner, '') FROM orvale_jobs WHERE id = " + first;
    if (cases[i].first_waiting != nullptr) {
      book("probe", "probe" + std::to_string(i));
      ASSERT_TRUE(eventually("SELECT count(*) FROM orvale_jobs WHERE kind = 'probe'"
                             " AND state <> 'done'",
                             "0"));
      EXPECT_EQ(db_.value(state), cases[i].first_waiting) << i;
      db_.exec("UPDATE orvale_jobs SET state = 'done', owner = NULL WHERE id = " + second);
    }
    EXPECT_TRUE(eventually(
        "SELECT count(*) FROM orvale_jobs WHERE order_id = " + order + " AND state <> 'done'", "0"))
        << i;
  }
  const std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(ran, (std::vector<std::int64_t>{900001, 900011, 900021, 900022}));
}

TEST_F(JobRunner, PeerIsSchemeHostAndPort) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://Agg.example:8080/api/v1?x=1", "http://agg.example:8080"},
      {"https://agg.example/api", "https://agg.example:443"},
      {"http://user:pw@10.0.0.1/x", "http://10.0.0.1:80"},
      {"http://[::1]:81/", "http://[::1]:81"},
      {"not a url", ""},
  };
  for (const auto& [url, peer] : cases) {
    EXPECT_EQ(srv_apps::peer_of(url), peer) << url;
  }
}

} // namespace
