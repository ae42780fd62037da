// How an order's run moves: the dispatch in the handler, then one executor task per try, each
// booking the next one on the delay queue.
#include "order_machine.h"

#include <exception>
#include <utility>

#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* channel = "orvale/order";

constexpr int retry_limit = 10;
// Before pause_scale, as every pause below.
constexpr web::millis before_loop_pause{500};
constexpr web::millis step_pause{500};
constexpr web::millis accept_retry_pause{500};
constexpr web::millis call_retry_pause{1000};

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
      ctx_(std::move(event.ctx)), lock_(std::move(event.lock)), body_(web::json::make_object()) {
  patch_.id = rec_.id;
  patch_.id_app = rec_.id_app;
}

order_machine::~order_machine() = default;

void order_machine::start(endpoint_env env, order_event event, std::unique_ptr<content::PGBackend> db) {
  auto run = std::make_shared<order_machine>(private_tag{}, env, std::move(event));
  run->db_ = std::move(db);
  run->guarded(&order_machine::run_in_handler);
}

void order_machine::run_in_handler() {
  _dispatch();
  db_.reset();
  LOG(channel, debug,
      "[" << rec_.id << "] Инициализация статуса обработки заказа [ step=" << step_ << " ]");
  if (step_ != STEP_FORWARD) {
    // The answer is out: nothing of the run waits in the handler any more.
    ctx_.reset();
    book(before_loop_pause + step_pause, &order_machine::run_step);
    return;
  }
  // The aggregator's answer waits for the one forwarding attempt, so the pause before the loop
  // and the step's own are taken here.
  (void)services_.clock.pause(before_loop_pause + step_pause); // a shutdown only shortens it
  begin_step();
  _forward_order();
  ctx_.reset();
  advance();
}

void order_machine::_dispatch() {
  if (event_ == INT_STATUS_CREATED) {
    step_ = _dispatch_new_order();
    if (step_ != STEP_FORWARD) {
      answer();
    }
    return;
  }
  answer(); // the endpoint has answered already; this only covers a path that has not
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
  const int state = db_->getTrkStatus(rec_.id_shop, rec_.prodcod, rec_.trk);
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

// A stop goes to the station only while it may be working on the order.
int order_machine::_cancel_step() const {
  const bool cancel_event =
      event_ == INT_STATUS_STATION_CANCELED || event_ == INT_STATUS_USER_CANCELED;
  const bool at_station =
      rec_.statusint == INT_STATUS_FUELING || rec_.statusint == INT_STATUS_IN_PROGRESS;
  return cancel_event && at_station ? STEP_STOP : STEP_CANCELED;
}

void order_machine::answer() {
  if (!ctx_ || ctx_->completed()) {
    return;
  }
  web::response& r = ctx_->response();
  // A run that could not store its state is not an accepted order.
  r.status(halted_ ? 502 : 200);
  if (!web::json::is_null(reply_)) {
    std::string text = web::json::write(reply_);
    LOG(channel, debug, "данные ответа : " << text);
    r.body(std::move(text));
  }
  ctx_->complete_response();
}

void order_machine::book(web::millis pause, void (order_machine::*next)()) {
  std::shared_ptr<order_machine> self = shared_from_this();
  web::executor::task task{[self, next] { self->guarded(next); }, [self] { self->abandoned(); },
                          "order"};
  if (!services_.background.post_after(pause, std::move(task))) {
    if (services_.background.stopping()) {
      // A try that was under way when the stop began: the same end as a run that was waiting.
      abandoned();
      return;
    }
    LOG(channel, error,
        "[" << rec_.id << "] Обработка заказа прервана: фоновая задача не принята [ Status=\""
            << event_name_ << "\" step=" << step_ << " try=" << tries_ << " ]");
    lock_.reset();
  }
}

void order_machine::guarded(void (order_machine::*work)()) {
  if (!run_guarded(rec_.id, step_, ctx_.get(), [this, work] { (this->*work)(); })) {
    // The run cannot tell where it stands: it ends here and frees the order for the next event.
    db_.reset();
    ctx_.reset();
    lock_.reset();
  }
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
    return {&order_machine::_postpay_complete};
  case STEP_POSTPAY_CANCEL:
    return {&order_machine::_postpay_cancel};
  default:
    return {&order_machine::finish};
  }
}

// Booked a step's pause after the previous step.
void order_machine::run_step() {
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
  patch_.reason.clear();
  patch_.ordstatext.clear();
  patch_.statusint = INT_STATUS_UNSET;
  patch_.statusconfirmed = CONFIRM_UNSET;
  accepted_ = false;
  last_ = 400;
  tries_ = 0;
  next_ = STEP_DONE;
}

void order_machine::attempt() {
  if (halted_ || !still_current()) {
    finish();
    return;
  }
  const step_plan plan = plan_of(step_);
  ++tries_;
  if ((this->*plan.attempt)()) {
    advance();
    return;
  }
  // Also after the last try: the pause comes before the step gives up.
  book(plan.pause, &order_machine::after_failed_try);
}

void order_machine::after_failed_try() {
  if (tries_ < retry_limit) {
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
  book(step_pause, &order_machine::run_step);
}

void order_machine::finish() {
  step_ = STEP_DONE;
  lock_.reset();
  LOG(channel, debug,
      "[" << rec_.id << "] Обработка заказа завершена [ Status=\"" << event_name_ << "\" ]");
}

void order_machine::abandoned() {
  LOG(channel, warning,
      "[" << rec_.id << "] Обработка заказа прервана остановкой службы [ Status=\"" << event_name_
          << "\" step=" << step_ << " try=" << tries_ << " ]");
  lock_.reset();
}

} // namespace srv_apps
