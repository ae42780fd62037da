// Retry schedules and the relay task that follows them.
#include "relay.h"

#include <chrono>
#include <exception>
#include <utility>

#include "outgoing.h"
#include "web/log.h"

namespace srv_apps {
namespace {

constexpr web::millis short_pause{10000};
constexpr web::millis minute{60000};
constexpr int tries_per_step = 10;

} // namespace

bool completion_schedule::may_try(int, web::millis elapsed) const {
  return elapsed < limit_;
}

web::millis completion_schedule::pause_after(int tries_done) {
  const int step = tries_done / tries_per_step + 1;
  if (current_step_ == 0) {
    current_step_ = step;
  }
  if (step == current_step_) {
    return short_pause;
  }
  current_step_ = step;
  return minute * step;
}

void relay::start(std::shared_ptr<relay_runner> runner, relay_subject subject,
                  std::unique_ptr<retry_schedule> schedule, attempt_fn attempt, finish_fn finish) {
  auto r = std::make_shared<relay>(std::move(runner), std::move(subject), std::move(schedule),
                                   std::move(attempt), std::move(finish));
  r->book(web::millis(0));
}

relay::relay(std::shared_ptr<relay_runner> runner, relay_subject subject,
             std::unique_ptr<retry_schedule> schedule, attempt_fn attempt, finish_fn finish)
    : runner_(std::move(runner)), subject_(std::move(subject)), schedule_(std::move(schedule)),
      attempt_(std::move(attempt)), finish_(std::move(finish)), started_(runner_->now()) {}

void relay::book(web::millis pause) {
  auto self = shared_from_this();
  web::executor::task t{[self] { self->attempt(); }, [self] { self->abandoned(); }, kind()};
  if (!runner_->run_after(pause, std::move(t))) {
    abandoned();
  }
}

void relay::attempt() {
  const auto elapsed = std::chrono::duration_cast<web::millis>(runner_->now() - started_);
  if (!schedule_->may_try(tries_, elapsed)) {
    return end(0);
  }
  ++tries_;
  long result = client_failure_status;
  try {
    result = attempt_();
  } catch (const std::exception& e) {
    LOG(subject_.channel, error,
        "Ошибка ретрансляции \"" << subject_.event << "\" заказа " << subject_.order_id << ": "
                                 << e.what());
  }
  if (result == 200) {
    return end(result);
  }
  const int done = tries_;
  const web::millis pause = schedule_->pause_after(done);
  const auto after =
      std::chrono::duration_cast<web::millis>(runner_->now() - started_) + runner_->scaled(pause);
  if (!schedule_->may_try(done, after)) {
    return end(result);
  }
  book(pause);
}

void relay::end(long result) {
  if (result != 200) {
    LOG(subject_.channel, warning,
        "Ретрансляция не выполнена: заказ " << subject_.order_id << ", событие \"" << subject_.event
                                            << "\", попыток " << tries_ << ", последний ответ "
                                            << result);
    runner_->gave_up(web::failed_job{subject_.order_id, kind(), tries_,
                                     tries_ == 0 ? "no try made" : "result " + std::to_string(result),
                                     std::chrono::system_clock::now()});
  }
  if (finish_) {
    finish_(result, tries_);
  }
}

std::string relay::kind() const {
  if (!subject_.kind.empty()) {
    return subject_.kind;
  }
  std::string k = subject_.event;
  for (char& c : k) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return k;
}

void relay::abandoned() const {
  LOG(subject_.channel, warning,
      "Ретрансляция прервана: заказ " << subject_.order_id << ", событие \"" << subject_.event
                                      << "\", попыток " << tries_);
}

} // namespace srv_apps
