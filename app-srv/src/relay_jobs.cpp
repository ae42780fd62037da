// The relays' bookings and their handlers: one try per run, the schedule deciding from the run's
// number and the job's age alone whether a try is made and how long the next one waits.
#include "relay_jobs.h"

#include <chrono>
#include <exception>
#include <functional>
#include <utility>

#include "order_status.h"
#include "outgoing.h"
#include "relay.h"
#include "station_event.h"
#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* not_agreed = "Заказ не согласован";
constexpr int cancel_tries = 10;
constexpr web::millis station_cancel_pause{5000};
constexpr web::millis refused_fueling_cancel_pause{10000};

// The args' members.
constexpr const char* apikey_arg = "apikey";
constexpr const char* reason_arg = "reason";
constexpr const char* pause_arg = "pause_ms";
constexpr const char* litre_arg = "litre";
constexpr const char* extended_id_arg = "extendedOrderId";
constexpr const char* extended_date_arg = "extendedDate";
constexpr const char* msg_arg = "msg";
// The result of the last try, for a run that finds no try left to make.
constexpr const char* last_result_arg = "last_result";

// What a relay is about, for its log lines.
struct relay_subject {
  const char* event; // "Fueling", "Completed", ...
  const char* channel = "orvale";
};

job_booking booking(const gateway_settings& settings, const char* kind, const relay_order& order,
                    web::json::object_ptr args) {
  args->set(apikey_arg, order.apikey);
  job_booking b;
  b.kind = kind;
  b.id_app = order.id_app;
  b.order_id = order.order_id;
  b.args = std::move(args);
  b.peer = peer_of(settings.upstream_url);
  return b;
}

job_booking cancellation(const gateway_settings& settings, const relay_order& order,
                         const std::string& reason, web::millis pause) {
  auto args = web::json::make_object();
  args->set(reason_arg, reason);
  args->set(pause_arg, static_cast<long long>(pause.count()));
  return booking(settings, relay_kind::canceled, order, std::move(args));
}

std::string arg(const job_call& call, const char* name) {
  return web::json::get_string(call.args, name, "");
}

// A copy of the args with one member set: the job's own object is shared with the call.
web::json::value with_member(const web::json::value& args, const char* name, web::json::value v) {
  auto copy = web::json::make_object();
  if (const auto from = web::json::as_object(args)) {
    for (const auto& [key, member] : *from) {
      copy->set(key, member);
    }
  }
  copy->set(name, std::move(v));
  return copy;
}

// How one run of a relay went.
struct relay_run {
  long result = 0;      // of this run's call, or the last one's when no call was made
  int tries = 0;        // calls made so far, this run's included
  bool last = false;    // the schedule allows no further try
  web::millis pause{0}; // before the next try
};

// One try, when the schedule still allows one. A call that throws counts as a client failure.
relay_run try_relay(const job_call& call, const relay_schedule& schedule,
                    const web::clock_source& clock, const relay_subject& subject,
                    const std::function<long()>& attempt) {
  relay_run r;
  r.tries = call.attempt - 1;
  if (!schedule.may_try(r.tries, call.age)) {
    r.last = true;
    r.result = web::json::get_int(call.args, last_result_arg, 0);
    return r;
  }
  const web::steady_time start = clock.now();
  ++r.tries;
  r.result = client_failure_status;
  try {
    r.result = attempt();
  } catch (const std::exception& e) {
    LOG(subject.channel, error,
        "Ошибка ретрансляции \"" << subject.event << "\" заказа " << call.order_id << ": "
                                 << e.what());
  }
  if (r.result == 200) {
    r.last = true;
    return r;
  }
  r.pause = schedule.pause_after(r.tries);
  const web::millis next_try_age = call.age +
                                   std::chrono::duration_cast<web::millis>(clock.now() - start) +
                                   clock.scaled(r.pause);
  r.last = !schedule.may_try(r.tries, next_try_age);
  return r;
}

std::string last_error(const relay_run& r) {
  return r.tries == 0 ? "no try made" : "result " + std::to_string(r.result);
}

// The end of a run that was not answered 200: the next try, or the relay given up.
job_result after_failure(const job_call& call, const relay_run& r, const relay_subject& subject) {
  if (!r.last) {
    return job_result::retry(r.pause, last_error(r),
                             with_member(call.args, last_result_arg, r.result));
  }
  LOG(subject.channel, warning,
      "Ретрансляция не выполнена: заказ " << call.order_id << ", событие \"" << subject.event
                                          << "\", попыток " << r.tries << ", последний ответ "
                                          << r.result);
  return job_result::failed(last_error(r));
}

// A relay with nothing to do after it: done at 200, else retried or given up.
job_result plain_relay(const job_call& call, const relay_schedule& schedule,
                       const web::clock_source& clock, const relay_subject& subject,
                       const std::function<long()>& attempt) {
  const relay_run r = try_relay(call, schedule, clock, subject, attempt);
  return r.result == 200 ? job_result::done() : after_failure(call, r, subject);
}

// The aggregator did not take the start of fueling: the order is closed here and the
// cancellation reported instead, both with the fueling relay's end.
job_result fueling(const endpoint_env& env, const job_call& call, job_unit& unit) {
  const station_upstream& upstream = env.services.relay_upstream;
  const std::string apikey = arg(call, apikey_arg);
  const relay_subject subject{"Fueling"};
  const relay_run r =
      try_relay(call, relay_schedule::fixed(1, web::millis(0)), env.services.clock, subject,
                [&] { return upstream.upstream_fueling(apikey, call.order_id); });
  if (r.result == 200) {
    return job_result::done();
  }
  content::PGBackend* db = unit.db();
  if (db == nullptr) {
    // The next run finds the call made and goes on with the cancellation.
    return job_result::retry(refused_fueling_cancel_pause, "no database",
                             with_member(call.args, last_result_arg, r.result));
  }
  job_result end = after_failure(call, r, subject);
  if (db->cancel_order(call.id_app, call.order_id, not_agreed, STATUS_STATION_CANCELED) !=
      content::RESULT_STATUS_COMMAND_OK) {
    // As before, the cancellation is relayed all the same: the failed statement's transaction
    // goes, so that the job's end and the relay's booking still commit.
    static_cast<void>(unit.flush());
  }
  end.next.push_back(cancellation(env.settings, relay_order{call.id_app, apikey, call.order_id},
                                  not_agreed, refused_fueling_cancel_pause));
  return end;
}

job_result canceled(const endpoint_env& env, const job_call& call) {
  const station_upstream& upstream = env.services.relay_upstream;
  const std::string apikey = arg(call, apikey_arg);
  const std::string reason = arg(call, reason_arg);
  const web::millis pause{web::json::get_int64(call.args, pause_arg, station_cancel_pause.count())};
  return plain_relay(call, relay_schedule::fixed(cancel_tries, pause), env.services.clock,
                     relay_subject{"Canceled"},
                     [&] { return upstream.upstream_cancel(apikey, call.order_id, reason); });
}

// On 200 the aggregator's confirmation is written in the job's own transaction.
job_result completed(const endpoint_env& env, const job_call& call, job_unit& unit) {
  const station_upstream& upstream = env.services.relay_upstream;
  const std::string apikey = arg(call, apikey_arg);
  const completion_values v{arg(call, litre_arg), arg(call, extended_id_arg),
                            arg(call, extended_date_arg)};
  const relay_subject subject{"Completed"};
  const relay_run r =
      try_relay(call, relay_schedule::completion(env.settings.max_expiration_timeout),
                env.services.clock, subject, [&] {
                  return upstream.upstream_completed(apikey, call.order_id, v.extended_order_id,
                                                     v.extended_date, v.litre);
                });
  if (r.result != 200) {
    return after_failure(call, r, subject);
  }
  const content::PGBackend* db = unit.db();
  if (db == nullptr || !record_confirmation(*db, call.id_app, call.order_id)) {
    LOG("orvale", error, about_order("Подтверждение завершения не записано", call.order_id));
    // A failed statement must not keep the job's end from committing.
    static_cast<void>(unit.flush());
  }
  return job_result::done();
}

job_result volume(const endpoint_env& env, const job_call& call) {
  const station_upstream& upstream = env.services.relay_upstream;
  const std::string apikey = arg(call, apikey_arg);
  const std::string litre = arg(call, litre_arg);
  return plain_relay(call, relay_schedule::fixed(1, web::millis(0)), env.services.clock,
                     relay_subject{"Volume"},
                     [&] { return upstream.upstream_volume(apikey, call.order_id, litre); });
}

job_result notify(const endpoint_env& env, const job_call& call) {
  const station_upstream& upstream = env.services.relay_upstream;
  const std::string apikey = arg(call, apikey_arg);
  const std::string msg = arg(call, msg_arg);
  return plain_relay(call, relay_schedule::fixed(1, web::millis(0)), env.services.clock,
                     relay_subject{"Notify", "orvale/message"},
                     [&] { return upstream.upstream_notify(apikey, call.order_id, msg); });
}

} // namespace

job_booking fueling_relay(const gateway_settings& settings, const relay_order& order) {
  return booking(settings, relay_kind::fueling, order, web::json::make_object());
}

job_booking cancel_relay(const gateway_settings& settings, const relay_order& order,
                         const std::string& reason) {
  return cancellation(settings, order, reason, station_cancel_pause);
}

job_booking completion_relay(const gateway_settings& settings, const relay_order& order,
                             const completion_values& values) {
  auto args = web::json::make_object();
  args->set(litre_arg, values.litre);
  args->set(extended_id_arg, values.extended_order_id);
  args->set(extended_date_arg, values.extended_date);
  job_booking b = booking(settings, relay_kind::completed, order, std::move(args));
  b.latest_only = true;
  return b;
}

job_booking volume_relay(const gateway_settings& settings, const relay_order& order,
                         const std::string& litre) {
  auto args = web::json::make_object();
  args->set(litre_arg, litre);
  return booking(settings, relay_kind::volume, order, std::move(args));
}

job_booking notify_relay(const gateway_settings& settings, const relay_order& order,
                         const std::string& msg) {
  auto args = web::json::make_object();
  args->set(msg_arg, msg);
  return booking(settings, relay_kind::notify, order, std::move(args));
}

void register_relay_jobs(job_runner& jobs, endpoint_env env) {
  jobs.handle(relay_kind::fueling,
              [env](const job_call& call, job_unit& unit) { return fueling(env, call, unit); });
  jobs.handle(relay_kind::canceled,
              [env](const job_call& call, job_unit&) { return canceled(env, call); });
  jobs.handle(relay_kind::completed,
              [env](const job_call& call, job_unit& unit) { return completed(env, call, unit); });
  jobs.handle(relay_kind::volume,
              [env](const job_call& call, job_unit&) { return volume(env, call); });
  jobs.handle(relay_kind::notify,
              [env](const job_call& call, job_unit&) { return notify(env, call); });
}

} // namespace srv_apps
