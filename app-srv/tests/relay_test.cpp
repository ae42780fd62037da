// The relays' schedules as functions of the tries made and the relay's age: the pause after each
// try, whether a further try may be made, and the completion's timeline that follows from both.
#include "relay.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using srv_apps::relay_schedule;
using web::millis;

struct pause_case {
  int tries_done;
  millis pause;
};

TEST(CompletionSchedule, TenSecondsApartExceptAMinuteMoreAfterEveryTenthTry) {
  const relay_schedule s = relay_schedule::completion(24h);
  for (const pause_case c :
       {pause_case{1, 10s}, pause_case{9, 10s}, pause_case{10, 2min}, pause_case{11, 10s},
        pause_case{19, 10s}, pause_case{20, 3min}, pause_case{21, 10s}, pause_case{30, 4min},
        pause_case{40, 5min}, pause_case{100, 11min}, pause_case{101, 10s}}) {
    EXPECT_EQ(s.pause_after(c.tries_done), c.pause) << "after try " << c.tries_done;
  }
}

struct may_try_case {
  millis limit;
  int tries_done;
  millis age;
  bool may;
};

// Only the age counts, however many tries were made; the limit is in real time.
TEST(CompletionSchedule, TriesWhileTheRelayIsYoungerThanTheLimit) {
  for (const may_try_case c :
       {may_try_case{24h, 0, 0ms, true}, may_try_case{24h, 5000, 23h, true},
        may_try_case{3s, 7, 2999ms, true}, may_try_case{3s, 0, 3000ms, false},
        may_try_case{3s, 1, 1h, false}, may_try_case{0ms, 0, 0ms, false}}) {
    EXPECT_EQ(relay_schedule::completion(c.limit).may_try(c.tries_done, c.age), c.may)
        << c.limit.count() << " ms, " << c.tries_done << " tries, " << c.age.count() << " ms";
  }
}

// Tries 1 to 9 at 0..80 s, 10 at 90 s, 11 to 20 at 210..300 s; the pause after try 20 runs to
// 480 s. A try is made only when its time is still within the limit, as a run checks it.
TEST(CompletionSchedule, TheTimelineEndsAtTheLimit) {
  struct limit_case {
    millis limit;
    int tries;
  };
  for (const limit_case c :
       {limit_case{421s, 20}, limit_case{480s, 20}, limit_case{481s, 21}, limit_case{300s, 19},
        limit_case{301s, 20}, limit_case{1s, 1}, limit_case{0s, 0}}) {
    const relay_schedule s = relay_schedule::completion(c.limit);
    int tries = 0;
    millis age{0};
    while (s.may_try(tries, age)) {
      ++tries;
      age += s.pause_after(tries);
    }
    EXPECT_EQ(tries, c.tries) << c.limit.count();
  }
}

TEST(FixedRetries, CountsTriesWhateverTheAge) {
  struct fixed_case {
    int max_tries;
    int tries_done;
    bool may;
  };
  for (const fixed_case c :
       {fixed_case{10, 0, true}, fixed_case{10, 9, true}, fixed_case{10, 10, false},
        fixed_case{1, 0, true}, fixed_case{1, 1, false}}) {
    EXPECT_EQ(relay_schedule::fixed(c.max_tries, 5s).may_try(c.tries_done, 72h), c.may)
        << c.max_tries << " / " << c.tries_done;
  }
}

// The tenth try of a cancellation is followed by its own pause, not the completion's minutes.
TEST(FixedRetries, TheSamePauseAfterEveryTry) {
  const relay_schedule cancel = relay_schedule::fixed(10, 5s);
  for (const int tries_done : {1, 9, 10, 20}) {
    EXPECT_EQ(cancel.pause_after(tries_done), 5s) << tries_done;
  }
  EXPECT_EQ(relay_schedule::fixed(10, 10s).pause_after(10), 10s);
}

} // namespace
