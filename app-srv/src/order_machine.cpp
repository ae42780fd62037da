// How an order's run moves: the dispatch in the handler, then one stored job per step, one try
// per run of it, each step booking the next with its end.
#include "order_machine.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* channel = "orvale/order";

// Before pause_scale, as every pause below.
constexpr web::millis before_loop_pause{500};
constexpr web::millis step_pause{500};
constexpr web::millis accept_retry_pause{500};
constexpr web::millis call_retry_pause{1000};
// After every failed try of a post-payment side; one more try than the side's last gives up.
constexpr web::millis postpay_retry_pause{2000};

constexpr int trk_deleted = 1;
constexpr int trk_blocked = 2;

} // namespace

bool read_station_reply(const std::string& text, station_reply& out) {
  out = station_reply();
  web::json::value doc;
  if (text.empty() || !web::json::parse(text, doc) || web::json::is_null(doc)) {
    return false;
  }
  station_reply r;
  r.msg = web::json::get_string(doc, "msg", r.msg);
  r.txt = web::json::get_string(doc, "txt", r.txt);
  if (!r.txt.empty()) {
    r.msg += " (" + r.txt + ")";
  }
  r.cmd = web::json::get_string(doc, "cmd", r.cmd);
  r.action = web::json::get_string(doc, "action", r.action);
  r.prd = web::json::get_int(doc, "prd", r.prd);
  r.prs = web::json::get_int(doc, "prs", r.prs);
  r.trannum = web::json::get_int(doc, "trannum", r.trannum);
  r.timeset = web::json::get_string(doc, "timeset", r.timeset);
  r.litre = web::json::get_string(doc, "litre", r.litre);
  r.extendedOrderId = web::json::get_string(doc, "extendedOrderId", r.extendedOrderId);
  r.extendedDate = web::json::get_string(doc, "extendedDate", r.extendedDate);
  r.orderStatus = web::json::get_string(doc, "orderStatus", r.orderStatus);
  r.stat = web::json::get_int(doc, "stat", r.stat);
  r.res = web::json::get_int(doc, "res", r.res);
  r.err = web::json::get_int(doc, "err", r.err);
  r.tcod = web::json::get_string(doc, "tcod", r.tcod);
  out = std::move(r);
  return true;
}

bool run_guarded(const std::string& order_id, int step, web::context* ctx,
                 const std::function<void()>& work) noexcept {
  try {
    try {
      work();
      return true;
    } catch (const std::exception& e) {
      LOG(channel, critical,
          "[" << order_id << "] Сбой обработки заказа [ step=" << step << " ] : " << e.what());
    } catch (...) {
      LOG(channel, critical, "[" << order_id << "] Сбой обработки заказа [ step=" << step << " ]");
    }
    if (ctx != nullptr && !ctx->completed()) {
      ctx->response() = web::response();
      ctx->response().status(500);
      ctx->complete_response();
    }
  } catch (...) {
    // Logging itself failed (no memory): the server's adapter answers what is still unanswered.
  }
  return false;
}

order_machine::order_machine(private_tag, endpoint_env env, order_event event)
    : settings_(env.settings), services_(env.services), upstream_(env.services.aggregator),
      station_(env.services.stations), apikey_(std::move(event.apikey)),
      rec_(std::move(event.rec)), station_id_(event.link.id()), link_(event.link),
      event_(event.event), event_name_(rec_.ordstatext), reply_(std::move(event.reply)),
      ctx_(std::move(event.ctx)), body_(web::json::make_object()) {
  patch_.id = rec_.id;
  patch_.id_app = rec_.id_app;
}

order_machine::~order_machine() = default;

content::PGBackend* handler_db::db() {
  if (!tx_) {
    tx_ = std::make_unique<content::transaction>(backend_, content::transaction::held_back{});
  }
  return tx_->ok() ? &backend_ : nullptr;
}

bool handler_db::flush() {
  if (!tx_) {
    return true;
  }
  std::unique_ptr<content::transaction> tx = std::move(tx_);
  return tx->ok() && tx->commit();
}

bool handler_db::flush_releasing(content::booking_with_commit* booking) {
  if (booking == nullptr && (!commits_releasing() || !tx_)) {
    return flush();
  }
  if (!commits_releasing() || !tx_) {
    return false; // a booking made for this commit is never left out of it
  }
  std::unique_ptr<content::transaction> tx = std::move(tx_);
  if (!tx->ok()) {
    return false;
  }
  const bool committed = lock_->commit_releasing(booking);
  tx->ended(); // by that COMMIT, or its failure
  return committed;
}

int run_db::write_committing(const content::OrderData& patch, const std::vector<int>& from,
                             std::string& failure) {
  content::PGBackend* backend = db();
  if (backend == nullptr) {
    failure = "нет соединения с БД";
    return -1;
  }
  const int written = backend->write_order_step(patch, from, failure, /*commit=*/true);
  if (written != -2) {
    ended_with_write();
  }
  return written;
}

void handler_db::ended_with_write() {
  tx_->ended();
  tx_.reset();
}

void handler_db::rollback() noexcept {
  if (tx_) {
    tx_->rollback();
    tx_.reset();
  }
}

void order_machine::start(endpoint_env env, order_event event, handler_db& db) {
  auto run = std::make_shared<order_machine>(private_tag{}, env, std::move(event));
  run->db_ = &db;
  run->handler_ = &db;
  if (!run_guarded(run->rec_.id, run->step_, run->ctx_.get(), [&run] { run->run_in_handler(); })) {
    // The run cannot tell where it stands: nothing of it is kept, and the order is free for the
    // next event.
    db.rollback();
  }
}

void order_machine::run_in_handler() {
  _dispatch();
  LOG(channel, debug,
      "[" << rec_.id << "] Инициализация статуса обработки заказа [ step=" << step_ << " ]");
  if (step_ != STEP_FORWARD) {
    redispatch_ = event_ != INT_STATUS_CREATED;
    book(before_loop_pause + step_pause);
  } else {
    // The aggregator's answer waits for the one forwarding attempt, so the pause before the loop
    // and the step's own are taken here.
    (void)services_.clock.pause(before_loop_pause + step_pause); // a shutdown only shortens it
    begin_step();
    _forward_order();
    advance();
  }
  content::booking_with_commit* with_commit = with_commit_ ? &*with_commit_ : nullptr;
  if (booking_failed_ || !handler_->flush_releasing(with_commit)) {
    if (with_commit != nullptr && with_commit->booked().id < 0) {
      log_unbooked();
    }
    // The event and the rest of its run are one: neither stands without the other.
    handler_->rollback();
    halted_ = true;
    answer_status_ = 0;
    answer();
  } else {
    if (with_commit != nullptr) {
      held_ = job_runner::held_after_commit(*with_commit);
    }
    if (held_) {
      services_.jobs.adopt(std::move(*held_)); // no claim: a worker takes it from here
    } else {
      services_.jobs.nudge(booked_peer_);
    }
  }
  send_answer();
}

void order_machine::_dispatch() {
  if (event_ == INT_STATUS_CREATED) {
    step_ = _dispatch_new_order();
    if (step_ != STEP_FORWARD) {
      answer();
    }
    return;
  }
  answer();
  step_ = _dispatch_status_change();
}

int order_machine::_dispatch_new_order() {
  rec_.postpay = !rec_.ExtendedId.empty();
  if (rec_.postpay && !settings_.postpay_allow) {
    event_ = INT_STATUS_STATION_CANCELED;
    rec_.reason = "Заказы в режиме постоплаты запрещены";
    rec_.ordstatext = STATUS_STATION_CANCELED;
    return STEP_CANCELED;
  }
  content::PGBackend* db = db_->db();
  const int state = db != nullptr ? db->getTrkStatus(rec_.id_shop, rec_.prodcod, rec_.trk) : -1;
  if (state == 0) {
    return STEP_FORWARD;
  }
  event_ = INT_STATUS_STATION_CANCELED;
  rec_.ordstatext = STATUS_STATION_CANCELED;
  if (state == trk_deleted) {
    rec_.reason = "ТРК отключена для работы с данным видом оплаты: ";
  } else if (state == trk_blocked) {
    rec_.reason = "ТРК временно не принимает заказы с данным видом оплаты: ";
  } else {
    rec_.reason = "ТРК не настроена для работы с данным видом оплаты: ";
  }
  rec_.reason += "Повторите попытку c другой ТРК";
  return STEP_CANCELED;
}

int order_machine::_dispatch_status_change() const {
  switch (event_) {
  case INT_STATUS_COMPLETED:
    return STEP_COMPLETED;
  case INT_STATUS_EXPIRE:
    return STEP_EXPIRE;
  default:
    return _cancel_step();
  }
}

// An earlier event's run may have moved the order on between this event's answer and its first
// step (its steps booked before this one run first): a stop is due only if the order is at the
// station now.
void order_machine::_redispatch() {
  redispatch_ = false;
  int stored = INT_STATUS_UNSET;
  content::PGBackend* db = db_->db();
  if (db == nullptr || !db->read_order_status(rec_.id_app, rec_.id, stored)) {
    return; // not known: the step decided in the handler stands, its writes are checked
  }
  rec_.statusint = stored;
  step_ = _dispatch_status_change();
}

// A stop goes to the station only while it may be working on the order.
int order_machine::_cancel_step() const {
  const bool cancel_event =
      event_ == INT_STATUS_STATION_CANCELED || event_ == INT_STATUS_USER_CANCELED;
  const bool at_station =
      rec_.statusint == INT_STATUS_FUELING || rec_.statusint == INT_STATUS_IN_PROGRESS;
  return cancel_event && at_station ? STEP_STOP : STEP_CANCELED;
}

void order_machine::answer() {
  if (answer_status_ == 0) {
    // A run that could not store its state is not an accepted order.
    answer_status_ = halted_ ? 502 : 200;
  }
}

void order_machine::send_answer() {
  if (!ctx_ || ctx_->completed()) {
    return;
  }
  answer();
  web::response& r = ctx_->response();
  r.status(answer_status_);
  if (answer_status_ == 200 && !web::json::is_null(reply_)) {
    std::string text = web::json::write(reply_);
    LOG(channel, debug, "данные ответа : " << text);
    r.body(std::move(text));
  }
  ctx_->complete_response();
  ctx_.reset();
}

job_result order_machine::run_job(endpoint_env env, const job_call& call, job_unit& unit) {
  auto run = std::make_shared<order_machine>(private_tag{}, env, order_event{});
  if (!run->from_args(call.args)) {
    LOG(channel, error,
        "[" << call.order_id << "] Обработка заказа прервана: данные задания не прочитаны");
    return job_result::failed("args");
  }
  job_db db(unit);
  run->db_ = &db;
  if (!run_guarded(run->rec_.id, run->step_, nullptr, [&run] { run->run_try(); })) {
    // The run cannot tell where it stands: it ends here, and the order is free for the next
    // event.
    return job_result::failed("Сбой обработки заказа");
  }
  return run->outcome();
}

// The step's tries so far are in the args: none yet is the step's first run.
void order_machine::run_try() {
  if (tries_ == 0) {
    run_step();
    return;
  }
  after_failed_try();
}

job_result order_machine::outcome() const {
  if (retry_pause_) {
    return job_result::retry(*retry_pause_, "HTTP " + std::to_string(last_), to_args());
  }
  job_result done = job_result::done();
  done.next = next_jobs_;
  if (finished_) {
    done.committed = [id = rec_.id, name = event_name_] { log_finished(id, name); };
  }
  return done;
}

// In the handler the first step of the rest goes into its transaction; in a job the next step is
// booked with the end of this one.
void order_machine::book(web::millis pause) {
  job_booking next;
  next.kind = order_job_kind;
  next.id_app = rec_.id_app;
  next.order_id = rec_.id;
  next.args = to_args();
  next.peer = peer_of_step(step_);
  next.pause = pause;
  if (handler_ == nullptr) {
    next_jobs_.push_back(std::move(next));
    return;
  }
  // A handler books one step, its run's first or next: with its lock held, that booking waits
  // for the handler's last COMMIT and goes with it.
  booked_peer_ = next.peer;
  content::PGBackend* db = db_->db();
  const bool booked =
      db != nullptr && (handler_->commits_releasing()
                            ? services_.jobs.book_before_commit(*db, next, with_commit_)
                            : services_.jobs.book(*db, next, held_));
  if (!booked) {
    log_unbooked();
    booking_failed_ = true;
  }
}

void order_machine::log_unbooked() const {
  LOG(channel, error,
      "[" << rec_.id << "] Обработка заказа прервана: задание не записано [ Status=\""
          << event_name_ << "\" step=" << step_ << " ]");
}

order_machine::step_plan order_machine::plan_of(int step) {
  switch (step) {
  case STEP_ACCEPT:
    return {&order_machine::_accept_begin, &order_machine::_accept_try,
            &order_machine::_accept_fault, accept_retry_pause};
  case STEP_FORWARD:
    return {&order_machine::_forward_order};
  case STEP_STOP:
    return {&order_machine::_stop_begin, &order_machine::_stop_try, &order_machine::_stop_fault,
            call_retry_pause};
  case STEP_REPORT_FUELING:
    return {&order_machine::_fueling_begin, &order_machine::_fueling_try,
            &order_machine::_fueling_fault, call_retry_pause};
  case STEP_START:
    return {&order_machine::_start_begin, &order_machine::_start_try, &order_machine::_start_fault,
            call_retry_pause};
  case STEP_COMPLETED:
    return {&order_machine::_completed};
  case STEP_CANCELED:
    return {&order_machine::_cancel_begin, &order_machine::_cancel_try,
            &order_machine::_cancel_fault, call_retry_pause};
  case STEP_EXPIRE:
    return {&order_machine::_expire};
  case STEP_POSTPAY_COMPLETE:
    return {&order_machine::_postpay_complete_begin, &order_machine::_postpay_complete_try,
            &order_machine::_postpay_end, postpay_retry_pause,
            1 + std::max(order_postpay::upstr_complete_tries, order_postpay::peer_complete_tries),
            false};
  case STEP_POSTPAY_CANCEL:
    return {&order_machine::_postpay_cancel_begin, &order_machine::_postpay_cancel_try,
            &order_machine::_postpay_end, postpay_retry_pause,
            1 + std::max(order_postpay::upstr_cancel_tries, order_postpay::peer_cancel_tries),
            false};
  default:
    return {&order_machine::finish};
  }
}

// The first run of a step's job, booked the step's pause after the previous step.
void order_machine::run_step() {
  if (redispatch_) {
    _redispatch();
  }
  begin_step();
  const step_plan plan = plan_of(step_);
  (this->*plan.begin)();
  if (halted_) {
    finish();
    return;
  }
  if (plan.attempt == nullptr) {
    advance();
    return;
  }
  attempt();
}

void order_machine::begin_step() {
  written_status_.reset();
  patch_.reason.clear();
  patch_.ordstatext.clear();
  patch_.statusint = INT_STATUS_UNSET;
  patch_.statusconfirmed = CONFIRM_UNSET;
  accepted_ = false;
  last_ = 400;
  tries_ = 0;
  next_ = STEP_DONE;
  upstr_side_ = postpay_side();
  peer_side_ = postpay_side();
}

void order_machine::attempt() {
  const step_plan plan = plan_of(step_);
  if (halted_ || (plan.rechecks && !still_current())) {
    finish();
    return;
  }
  ++tries_;
  if ((this->*plan.attempt)()) {
    advance();
    return;
  }
  if (halted_) {
    finish();
    return;
  }
  // Also after the last try: the pause comes before the step gives up. The job runs again then.
  retry_pause_ = plan.pause;
}

// A later run of a step's job, the step's pause after its failed try.
void order_machine::after_failed_try() {
  if (tries_ < plan_of(step_).max_tries) {
    attempt();
    return;
  }
  (this->*plan_of(step_).fault)();
  advance();
}

void order_machine::advance() {
  if (halted_) {
    finish();
    return;
  }
  step_ = next_;
  if (step_ == STEP_DONE) {
    finish();
    return;
  }
  tries_ = 0;
  book(step_pause);
}

void order_machine::finish() {
  step_ = STEP_DONE;
  if (handler_ == nullptr) {
    finished_ = true; // said once the job's end, with the step's last write, is committed
    return;
  }
  log_finished(rec_.id, event_name_);
}

void order_machine::log_finished(const std::string& id, const std::string& event_name) {
  LOG(channel, debug, "[" << id << "] Обработка заказа завершена [ Status=\"" << event_name << "\" ]");
}

} // namespace srv_apps
