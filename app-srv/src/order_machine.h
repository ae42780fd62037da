// The run of one order event once the order endpoint has stored it: forwarding a new order to the
// station controller, confirming it to the aggregator, starting the dispenser, reporting fueling,
// stopping, cancelling, recording completion or expiry, and the post-payment settlements.
//
// The dispatch, and step 2 of a new order, run in the HTTP handler, which holds the aggregator's
// answer until the station has answered the forwarded order and the first step of the rest is
// booked. Every later step is a stored job of kind "order" (job_runner.h): one job per step, one
// try per run of it, its args carrying all the run knows, so that a restart or another gateway
// process goes on where the last try left off. A run waiting for its next try holds no thread, no
// session and no lock.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conn.h"
#include "gateway_services.h"
#include "job_runner.h"
#include "order_lock.h"
#include "order_postpay.h"
#include "order_station.h"
#include "order_status.h"
#include "order_upstream.h"
#include "web/clock.h"
#include "web/http.h"
#include "web/json.h"

namespace srv_apps {

// Step numbers as the logs show them ("step=", "Status=").
enum order_step : int {
  STEP_DONE = 0,
  STEP_ACCEPT = 1,           // confirm the accepted order to the aggregator
  STEP_FORWARD = 2,          // forward the new order to the station controller
  STEP_STOP = 3,             // stop the order at the station
  STEP_REPORT_FUELING = 4,   // report the start of fueling to the aggregator
  STEP_START = 5,            // start the dispenser at the station
  STEP_COMPLETED = 6,        // record completion
  STEP_CANCELED = 7,         // report a cancellation to the aggregator
  STEP_EXPIRE = 8,           // record expiry
  STEP_POSTPAY_COMPLETE = 9, // post-payment completion on both sides
  STEP_POSTPAY_CANCEL = 10,  // post-payment cancellation on both sides
};

// What the run reads of a station controller's answer. A member that is missing or of another
// JSON type keeps its default.
struct station_reply {
  std::string msg; // with a non-empty "txt" appended as " (txt)"
  std::string txt;
  std::string cmd;
  std::string action;
  int prd = -1; // product of a price refresh
  int prs = 0;  // its new price in hundredths
  int trannum = -1;
  std::string timeset;
  std::string litre; // decimal text
  std::string extendedOrderId;
  std::string extendedDate;
  std::string orderStatus;
  int stat = -1;
  int res = -1;
  int err = 0;
  std::string tcod;
};

// False, with `out` at its defaults, when there is nothing to read: an empty text, text that is
// not one JSON document, or null.
bool read_station_reply(const std::string& text, station_reply& out);

// Runs `work` for the step `step` of the order `order_id`. An exception that escapes it is logged
// and reported as false; a request `ctx` not answered yet is then answered 500, so that every path
// answers exactly once. Never throws.
bool run_guarded(const std::string& order_id, int step, web::context* ctx,
                 const std::function<void()>& work) noexcept;

// What the order endpoint hands over.
struct order_event {
  std::string apikey;
  content::OrderData rec;
  content::AzsConnInfo link;
  IntStatusType event = INT_STATUS_UNSET; // of the event's status name
  web::json::value reply;                 // body of the answer, when it has one
  web::context_ptr ctx;                   // detached; answered here unless already answered
};

// Where a run's database work goes: the handler's transaction, or the unit of the job's try.
class run_db {
public:
  virtual ~run_db() = default;
  // The backend of the open transaction (opened on first use); null (logged) when there is none.
  virtual content::PGBackend* db() = 0;
  // Commits what was written so far: before every call to a peer, so that nothing is held while
  // it answers. False when the commit failed.
  virtual bool flush() = 0;
  // The order's stored internal status for a check before a call; false when not known.
  virtual bool read_order_status(int id_app, const std::string& id, int& status) {
    content::PGBackend* backend = db();
    return backend != nullptr && backend->read_order_status(id_app, id, status);
  }
  // A step's write followed at once by the commit before a call: both in one round trip
  // (PGBackend::write_order_step with commit); the transaction is over afterwards unless the
  // write was refused before anything was sent (-2).
  int write_committing(const content::OrderData& patch, const std::vector<int>& from,
                       std::string& failure);

protected:
  // The open transaction was ended by a COMMIT sent with its last statement.
  virtual void ended_with_write() = 0;
};

// The handler's: one transaction at a time on the backend the endpoint holds the order's lock
// on; dropped uncommitted, it rolls back.
class handler_db final : public run_db {
public:
  // `lock`, when the event holds one, is the lock held on `backend`.
  explicit handler_db(content::PGBackend& backend, order_lock* lock = nullptr)
      : backend_(backend), lock_(lock) {}
  content::PGBackend* db() override;
  bool flush() override;
  // The handler's last commit: the order's lock goes in the same round trip, as nothing of the
  // event is left to do under it, and so does a `booking` of the transaction when given.
  bool flush_releasing(content::booking_with_commit* booking = nullptr);
  // Whether that commit is one round trip, which a booking may then join.
  bool commits_releasing() const { return lock_ != nullptr && lock_->held(); }
  void rollback() noexcept;

private:
  void ended_with_write() override;

  content::PGBackend& backend_;
  order_lock* lock_;
  std::unique_ptr<content::transaction> tx_;
};

// The job's try, through its unit.
class job_db final : public run_db {
public:
  explicit job_db(job_unit& unit) : unit_(unit) {}
  content::PGBackend* db() override { return unit_.db(); }
  bool flush() override { return unit_.flush(); }
  bool read_order_status(int /*id_app*/, const std::string& /*id*/, int& status) override {
    return unit_.read_order_status(status);
  }

private:
  void ended_with_write() override { unit_.ended(); }

  job_unit& unit_;
};

// The handler of the "order" jobs, registered once by the root.
inline constexpr const char* order_job_kind = "order";
void register_order_jobs(job_runner& jobs, endpoint_env env);

class order_machine : public std::enable_shared_from_this<order_machine> {
  struct private_tag {};

public:
  // Runs the dispatch (for a new order also step 2) on the calling handler's thread, books the
  // first step of the rest in `db`'s transaction, which already holds the endpoint's write of the
  // event, commits it and only then answers the aggregator. Returns once nothing of the run needs
  // the handler any more.
  static void start(endpoint_env env, order_event event, handler_db& db);
  // One try of a stored step (the handler of the "order" jobs).
  static job_result run_job(endpoint_env env, const job_call& call, job_unit& unit);

  order_machine(private_tag, endpoint_env env, order_event event);
  ~order_machine();
  order_machine(const order_machine&) = delete;
  order_machine& operator=(const order_machine&) = delete;

private:
  static constexpr int retry_limit = 10;
  // How a step runs: its first part, then (for the steps that call a peer) tries until one
  // succeeds or `max_tries` have failed, pausing `pause` after every failed one.
  struct step_plan {
    void (order_machine::*begin)();
    bool (order_machine::*attempt)() = nullptr; // true on success; sets next_
    void (order_machine::*fault)() = nullptr;   // after the last failed try; sets next_
    web::millis pause{0};                       // before pause_scale
    int max_tries = retry_limit;
    // Whether a try first checks that the order is still in a state the step may move it from
    // (a settlement, once begun, goes through whatever happens to the order meanwhile).
    bool rechecks = true;
  };
  static step_plan plan_of(int step);

  // The handler's part.
  void run_in_handler();
  void _dispatch();
  int _dispatch_new_order();
  int _dispatch_status_change() const;
  void _redispatch();
  // The answer's status is settled where the run knows it; it goes out once the first booking
  // has been committed (send_answer).
  void answer();
  void send_answer();

  // One try of a job.
  void run_try();
  job_result outcome() const;

  // The run's state as a job's args, and back (order_run_args.cpp).
  web::json::value to_args() const;
  bool from_args(const web::json::value& args);
  std::string peer_of_step(int step) const;

  // The loop, one try per job run.
  void book(web::millis pause);
  void log_unbooked() const;
  void run_step();
  void begin_step();
  void attempt();
  void after_failed_try();
  void advance();
  void finish();
  static void log_finished(const std::string& id, const std::string& event_name);

  // The steps (order_machine_steps.cpp).
  void _forward_order();
  void _after_forward(const station_reply& r, bool sent_postpay);
  void _take_forward_answer(const station_reply& r, bool sent_postpay);
  void _take_station_values(const station_reply& r);
  void _refused_by_station(const station_reply& r);
  void _refresh_prices(const station_reply& r);
  void _accept_begin();
  bool _accept_try();
  void _accept_fault();
  int _after_accept() const;
  int _cancel_step() const;
  void _start_begin();
  bool _start_try();
  void _start_fault();
  void _fueling_begin();
  bool _fueling_try();
  void _fueling_fault();
  void _stop_begin();
  bool _stop_try();
  void _stop_fault();
  void _cancel_begin();
  bool _cancel_try();
  void _cancel_fault();
  void _cancel_result();
  void _completed();
  void _expire();
  void _postpay_complete_begin();
  bool _postpay_complete_try();
  void _postpay_cancel_begin();
  bool _postpay_cancel_try();
  bool postpay_settled();
  void _postpay_end();

  // Shared by the steps.
  void set_order_keys();
  // Before every call to a peer: what the step wrote is committed; false (the run halted) when
  // it could not be.
  [[nodiscard]] bool before_call();
  // Writes the columns the step set, if the stored order is still in a state the step may move
  // it from; otherwise, or when the write fails, the run stops where it is (halted_). With
  // `commit` (a write the step commits before its call at once), the commit goes with it.
  [[nodiscard]] bool write_patch(bool commit = false);
  void forget_written_values();
  IntStatusType write_target() const;
  // Before every call to a peer: false when the order has moved on without the run.
  bool still_current() const;
  std::string line(const char* phrase, const char* label) const;

  const gateway_settings& settings_;
  gateway_services& services_;
  order_upstream upstream_;
  order_station station_;
  std::string apikey_;
  content::OrderData rec_;   // the order as the run knows it
  content::OrderData patch_; // what the next write changes
  int station_id_;
  station_link link_;
  IntStatusType event_;
  std::string event_name_; // the status name the event arrived with
  web::json::value reply_;
  web::context_ptr ctx_;   // only while in the handler
  int answer_status_ = 0;  // settled by answer(), 0 while it is not
  run_db* db_ = nullptr;   // the handler's or the job's, for as long as it runs
  handler_db* handler_ = nullptr; // in the handler only: the first booking goes there
  bool booking_failed_ = false;
  std::optional<content::claimed_job> held_; // the handler's booking, running under this process
  std::optional<content::booking_with_commit> with_commit_; // the handler's, sent with its COMMIT
  std::string booked_peer_;                  // the handler's booking's
  std::vector<job_booking> next_jobs_;    // a job's try: booked with its end
  std::optional<web::millis> retry_pause_; // a job's try: the step's try failed
  web::json::object_ptr body_; // to the station, kept from step to step
  station_reply answer_;       // of the last station call
  int step_ = STEP_DONE;
  int next_ = STEP_DONE;
  int tries_ = 0;
  bool accepted_ = false;
  bool halted_ = false; // a write failed or found the order moved on: no further call
  // The status the run's own write left in the transaction still open, under the order's lock:
  // what a check before the call would read back.
  std::optional<int> written_status_;
  bool finished_ = false; // in a job: the run ended with this try
  // The first step of a status change, decided in the handler on the state the order had then:
  // decided again on the stored one when its turn comes, after the steps booked before it.
  bool redispatch_ = false;
  long last_ = 400;     // result of the last call of the step
  // A post-payment step's two sides, between its tries.
  postpay_side upstr_side_;
  postpay_side peer_side_;
};

} // namespace srv_apps
