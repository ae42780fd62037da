#include "web/executor.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(Clock, PausesAreScaledAndInterruptible) {
  web::real_clock fast(0.001);
  EXPECT_EQ(fast.scaled(10000ms), 10ms);
  EXPECT_EQ(web::real_clock(1.0).scaled(3000ms), 3000ms);
  EXPECT_EQ(web::real_clock(-2).scaled(3000ms), 3000ms) << "a nonsense scale falls back to 1";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(fast.pause(20000ms)); // 20 ms for real
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  web::real_clock slow(1.0);
  auto waiter = std::async(std::launch::async, [&slow] { return slow.pause(600000ms); });
  slow.interrupt();
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  EXPECT_FALSE(slow.pause(1ms)) << "pauses after shutdown end at once";
}

TEST(Executor, RunsTasksAndDelayedTasksInDueOrder) {
  web::real_clock clock(0.001);
  web::executor ex(2, 100, clock);
  std::mutex mu;
  std::vector<int> order;
  std::promise<void> done;
  auto record = [&](int n) {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back(n);
    if (order.size() == 3) {
      done.set_value();
    }
  };
  ASSERT_TRUE(ex.post_after(30000ms, {[&] { record(3); }, nullptr})); // 30 ms scaled
  ASSERT_TRUE(ex.post_after(10000ms, {[&] { record(2); }, nullptr}));
  ASSERT_TRUE(ex.post({[&] { record(1); }, nullptr}));
  ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(Executor, SurvivesThrowingTasksAndBoundsItsQueue) {
  web::real_clock clock(1.0);
  web::executor ex(1, 2, clock);
  std::promise<void> after;
  ASSERT_TRUE(ex.post({[] { throw std::runtime_error("boom"); }, nullptr}));
  ASSERT_TRUE(ex.post({[&] { after.set_value(); }, nullptr}));
  ASSERT_EQ(after.get_future().wait_for(10s), std::future_status::ready);
  ASSERT_TRUE(ex.post_after(600000ms, {[] {}, nullptr}));
  ASSERT_TRUE(ex.post_after(600000ms, {[] {}, nullptr}));
  EXPECT_FALSE(ex.post({[] {}, nullptr})) << "a full queue refuses";
}

TEST(Executor, ShutdownAbandonsWaitingTasksAndEndsRunningPauses) {
  web::real_clock clock(1.0);
  web::executor ex(2, 100, clock);
  std::atomic<int> abandoned{0};
  std::atomic<int> ran{0};
  std::promise<void> started;
  std::atomic<bool> pause_result{true};
  ASSERT_TRUE(ex.post({[&] {
                         started.set_value();
                         pause_result = clock.pause(600000ms);
                       },
                       nullptr}));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ex.post_after(600000ms, {[&] { ++ran; }, [&] { ++abandoned; }}));
  }
  ASSERT_EQ(started.get_future().wait_for(10s), std::future_status::ready);
  const auto start = std::chrono::steady_clock::now();
  clock.interrupt();
  ex.shutdown(2000ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(abandoned.load(), 3);
  EXPECT_EQ(ran.load(), 0);
  EXPECT_FALSE(pause_result.load());
  EXPECT_FALSE(ex.post({[] {}, nullptr})) << "no work after shutdown";
}

} // namespace

namespace {

TEST(ExecutorJobView, CountsByKindAndStateAndKeepsTheLatestFailures) {
  web::real_clock clock(1.0);
  web::executor ex(1, 100, clock);
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(ex.post({[&] { started.set_value(); released.wait(); }, nullptr, "order"}));
  ASSERT_EQ(started.get_future().wait_for(10s), std::future_status::ready);
  ASSERT_TRUE(ex.post({[] {}, nullptr, "fueling"}));              // due: the one thread is busy
  ASSERT_TRUE(ex.post_after(600000ms, {[] {}, nullptr, "fueling"})); // scheduled
  for (int i = 0; i < 52; ++i) {
    ex.record_failure({"ord-" + std::to_string(i), "completed", 3, "result 503",
                       std::chrono::system_clock::now()});
  }

  const web::job_snapshot s = ex.jobs();
  EXPECT_EQ(s.counts.at("order").running, 1u);
  EXPECT_EQ(s.counts.at("fueling").due, 1u);
  EXPECT_EQ(s.counts.at("fueling").scheduled, 1u);
  EXPECT_EQ(s.counts.at("fueling").running, 0u);
  EXPECT_EQ(s.counts.at("completed").failed, 52u);
  ASSERT_TRUE(s.oldest_due.has_value());
  EXPECT_GE(s.oldest_due->count(), 0);
  ASSERT_EQ(s.failed.size(), web::failure_log::kept);
  EXPECT_EQ(s.failed.front().order, "ord-51"); // most recent first
  EXPECT_EQ(s.failed.back().order, "ord-2");

  release.set_value();
  ex.shutdown(5000ms);
  const web::job_snapshot after = ex.jobs();
  EXPECT_EQ(after.counts.count("order"), 0u) << "a finished task is no longer counted";
  EXPECT_FALSE(after.oldest_due.has_value());
}

} // namespace
