// When a relay of a station event to the aggregator tries and how long it waits in between: a
// function of the tries made and of the relay's age alone, so that a relay resumed after a
// restart, by this process or another, goes on where it stood.
#pragma once

#include "web/clock.h"

namespace srv_apps {

class relay_schedule {
public:
  // At most `max_tries` tries, `pause` apart.
  static relay_schedule fixed(int max_tries, web::millis pause);
  // The completion's: tries while the relay is younger than `limit`, 10 s apart except after
  // every tenth try 10k, which is followed by k + 1 minutes. A completion is retried for as long
  // as the order may live, and an aggregator that is down for hours is not called every 10 s.
  // The limit is real time: pause_scale shortens the pauses only.
  static relay_schedule completion(web::millis limit);

  // Whether try number tries_done + 1 may be made by a relay `age` old.
  bool may_try(int tries_done, web::millis age) const;
  // The pause (before pause_scale) after the failed try number `tries_done`.
  web::millis pause_after(int tries_done) const;

private:
  relay_schedule(bool by_age, int max_tries, web::millis pause, web::millis limit)
      : by_age_(by_age), max_tries_(max_tries), pause_(pause), limit_(limit) {}

  bool by_age_;       // the completion's: the limit counts, not the tries
  int max_tries_;     // fixed
  web::millis pause_; // fixed: between tries
  web::millis limit_; // completion: the age from which no try is made
};

} // namespace srv_apps
