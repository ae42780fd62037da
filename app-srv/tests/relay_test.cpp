// Relays on a hand-driven clock and queue: the tries and pauses of each schedule, the end of a
// relay, and the warnings of relays that give up or are abandoned; then one relay on the real
// background executor, abandoned by its shutdown.
#include "relay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "web/clock.h"
#include "web/executor.h"

namespace {

using namespace std::chrono_literals;
using orvale_test::log_capture;
using srv_apps::completion_schedule;
using srv_apps::fixed_retries;
using srv_apps::relay;
using srv_apps::relay_subject;
using web::millis;

// Time moves only when a booked task is run: by the pause it was booked with.
class manual_runner final : public srv_apps::relay_runner {
public:
  web::steady_time now() const override { return start_ + elapsed_; }
  millis scaled(millis pause) const override { return pause; }
  bool run_after(millis pause, web::executor::task task) override {
    if (refusing_) {
      return false;
    }
    booked_.push_back(booking{pause, std::move(task)});
    return true;
  }

  // Runs booked tasks in turn until none is left (or `limit` have run); returns how many ran.
  int run_all(int limit = 100000) {
    int ran = 0;
    while (!booked_.empty() && ran < limit) {
      booking b = std::move(booked_.front());
      booked_.pop_front();
      elapsed_ += b.pause;
      if (ran > 0 || b.pause != 0ms) {
        pauses_.push_back(b.pause);
      }
      b.task.run();
      ++ran;
    }
    return ran;
  }
  // What the executor does at shutdown with the tasks still waiting.
  void abandon_all() {
    for (auto& b : booked_) {
      b.task.abandon();
    }
    booked_.clear();
  }
  void refuse() { refusing_ = true; }
  // A booked task owns its relay, which owns this runner: what is left must go for both to go.
  void drop_all() { booked_.clear(); }

  const std::vector<millis>& pauses() const { return pauses_; } // between tries, in order
  millis elapsed() const { return elapsed_; }
  std::size_t waiting() const { return booked_.size(); }

private:
  struct booking {
    millis pause;
    web::executor::task task;
  };
  web::steady_time start_ = std::chrono::steady_clock::now();
  millis elapsed_{0};
  std::deque<booking> booked_;
  std::vector<millis> pauses_;
  bool refusing_ = false;
};

// Answers from a list of results, the last one again and again, and counts the tries.
struct scripted_peer {
  std::vector<long> results;
  int tries = 0;

  long operator()() {
    const long r = results[std::min<std::size_t>(tries, results.size() - 1)];
    ++tries;
    return r;
  }
};

struct ending {
  int calls = 0;
  long result = -1;
  int tries = -1;
};

struct relay_run {
  std::shared_ptr<manual_runner> runner = std::make_shared<manual_runner>();
  std::shared_ptr<scripted_peer> peer = std::make_shared<scripted_peer>();
  std::shared_ptr<ending> end = std::make_shared<ending>();

  relay_run() = default;
  relay_run(const relay_run&) = delete;
  relay_run& operator=(const relay_run&) = delete;
  ~relay_run() { runner->drop_all(); }

  void start(std::unique_ptr<srv_apps::retry_schedule> schedule, std::vector<long> results,
             const std::string& event = "Completed") {
    peer->results = std::move(results);
    relay::start(
        runner, relay_subject{"ord-1", event}, std::move(schedule), [p = peer] { return (*p)(); },
        [e = end](long result, int tries) {
          ++e->calls;
          e->result = result;
          e->tries = tries;
        });
  }
};

std::vector<millis> repeated(millis pause, int n) {
  return std::vector<millis>(n, pause);
}

std::vector<millis> joined(std::initializer_list<std::vector<millis>> parts) {
  std::vector<millis> out;
  for (const auto& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

TEST(CompletionSchedule, TenSecondsApartExceptAMinuteMoreAfterEveryTenthTry) {
  relay_run run;
  run.start(std::make_unique<completion_schedule>(24h), {503});
  run.runner->run_all(41); // the first try and 40 more
  const auto& p = run.runner->pauses();
  ASSERT_EQ(p.size(), 40u);
  EXPECT_EQ(p, joined({repeated(10s, 9),
                       {120s},
                       repeated(10s, 9),
                       {180s},
                       repeated(10s, 9),
                       {240s},
                       repeated(10s, 9),
                       {300s}}));
  EXPECT_EQ(run.peer->tries, 41);
  EXPECT_EQ(run.end->calls, 0); // still within the day
}

TEST(CompletionSchedule, EndsAtTheFirstSuccess) {
  relay_run run;
  run.start(std::make_unique<completion_schedule>(24h),
            {503, 503, 503, 503, 503, 503, 503, 503, 503, 503, 502, 200});
  run.runner->run_all();
  EXPECT_EQ(run.peer->tries, 12);
  EXPECT_EQ(run.runner->pauses(), joined({repeated(10s, 9), {120s}, {10s}}));
  EXPECT_EQ(run.end->calls, 1);
  EXPECT_EQ(run.end->result, 200);
  EXPECT_EQ(run.end->tries, 12);
  EXPECT_EQ(run.runner->waiting(), 0u);
}

// Tries 1 to 9 at 0..80 s, 10 at 90 s, 11 to 20 at 210..300 s; the pause after try 20 runs to
// 480 s.
TEST(CompletionSchedule, GivesUpOnceTheLimitHasElapsed) {
  struct limit_case {
    millis limit;
    int tries;
  };
  for (const limit_case c : {limit_case{421s, 20}, limit_case{480s, 20}, limit_case{481s, 21},
                             limit_case{300s, 19}, limit_case{301s, 20}, limit_case{1s, 1}}) {
    log_capture logs;
    relay_run run;
    run.start(std::make_unique<completion_schedule>(c.limit), {503});
    run.runner->run_all();
    EXPECT_EQ(run.peer->tries, c.tries) << c.limit.count();
    EXPECT_EQ(run.end->calls, 1) << c.limit.count();
    EXPECT_EQ(run.end->result, 503) << c.limit.count();
    EXPECT_EQ(run.end->tries, c.tries) << c.limit.count();
    EXPECT_LT(run.runner->elapsed(), c.limit) << c.limit.count();
    EXPECT_EQ(logs.count("orvale", "Ретрансляция не выполнена: заказ ord-1, событие \"Completed\", "
                                   "попыток " +
                                       std::to_string(c.tries) + ", последний ответ 503"),
              1)
        << c.limit.count();
  }
}

TEST(CompletionSchedule, ALimitOfZeroMakesNoTry) {
  relay_run run;
  run.start(std::make_unique<completion_schedule>(0ms), {200});
  run.runner->run_all();
  EXPECT_EQ(run.peer->tries, 0);
  EXPECT_EQ(run.end->calls, 1);
  EXPECT_EQ(run.end->result, 0);
  EXPECT_EQ(run.end->tries, 0);
}

TEST(FixedRetries, StopsAfterTheLastTryWithoutAFurtherPause) {
  log_capture logs;
  relay_run run;
  run.start(std::make_unique<fixed_retries>(10, 5s), {503}, "Canceled");
  run.runner->run_all();
  EXPECT_EQ(run.peer->tries, 10);
  EXPECT_EQ(run.runner->pauses(), repeated(5s, 9));
  EXPECT_EQ(run.end->calls, 1);
  EXPECT_EQ(run.end->result, 503);
  EXPECT_EQ(logs.count("orvale", "Ретрансляция не выполнена: заказ ord-1, событие \"Canceled\", "
                                 "попыток 10, последний ответ 503"),
            1);
}

TEST(FixedRetries, OneTryIsOneCallWhateverItsResult) {
  for (const long result : {200L, 409L, 502L}) {
    relay_run run;
    run.start(std::make_unique<fixed_retries>(1, 0ms), {result, 200}, "Volume");
    run.runner->run_all();
    EXPECT_EQ(run.peer->tries, 1);
    EXPECT_TRUE(run.runner->pauses().empty());
    EXPECT_EQ(run.end->result, result);
  }
}

TEST(Relay, AFailingTryCountsAsAClientFailureAndIsRetried) {
  relay_run run;
  auto calls = std::make_shared<int>(0);
  relay::start(
      run.runner, relay_subject{"ord-1", "Canceled"}, std::make_unique<fixed_retries>(3, 5s),
      [calls]() -> long {
        if (++*calls == 1) {
          throw std::runtime_error("no memory");
        }
        return 200;
      },
      [e = run.end](long result, int tries) {
        e->result = result;
        e->tries = tries;
      });
  run.runner->run_all();
  EXPECT_EQ(*calls, 2);
  EXPECT_EQ(run.end->result, 200);
  EXPECT_EQ(run.end->tries, 2);
}

TEST(Relay, AWaitingRelayAbandonedAtShutdownIsLoggedWithItsTries) {
  log_capture logs;
  relay_run run;
  run.start(std::make_unique<completion_schedule>(24h), {503});
  run.runner->run_all(3);
  ASSERT_EQ(run.runner->waiting(), 1u);
  run.runner->abandon_all();
  const auto records = logs.records();
  int warnings = 0;
  for (const auto& r : records) {
    if (r.level == web::log_level::warning &&
        r.message == "Ретрансляция прервана: заказ ord-1, событие \"Completed\", попыток 3") {
      ++warnings;
    }
  }
  EXPECT_EQ(warnings, 1);
  EXPECT_EQ(run.end->calls, 0); // nothing to finish: the completion stays unconfirmed
}

TEST(Relay, ARelayThatCannotBeBookedIsLoggedAsAbandoned) {
  log_capture logs;
  relay_run run;
  run.runner->refuse();
  run.start(std::make_unique<fixed_retries>(10, 10s), {200}, "Fueling");
  EXPECT_EQ(run.peer->tries, 0);
  EXPECT_EQ(run.end->calls, 0);
  EXPECT_EQ(
      logs.count("orvale", "Ретрансляция прервана: заказ ord-1, событие \"Fueling\", попыток 0"),
      1);
}

// The real executor: the relay's wait is a queue entry, not a thread, and shutdown abandons it.
TEST(Relay, OnTheBackgroundExecutorAWaitingRelayHoldsNoThreadAndIsAbandonedAtShutdown) {
  log_capture logs;
  web::real_clock clock(1.0);
  web::executor exec(1, 100, clock);
  auto runner = std::make_shared<srv_apps::executor_runner>(exec);
  auto tries = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < 3; ++i) {
    relay::start(runner, relay_subject{"ord-" + std::to_string(i), "Completed"},
                 std::make_unique<completion_schedule>(24h), [tries] {
                   ++*tries;
                   return 503L;
                 });
  }
  // One thread serves all three: each try returns and books its 10 s pause.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (*tries < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(*tries, 3);
  exec.shutdown(0ms);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(logs.count("orvale", "Ретрансляция прервана: заказ ord-" + std::to_string(i) +
                                       ", событие \"Completed\", попыток 1"),
              1);
  }
  EXPECT_EQ(*tries, 3);
}

} // namespace
