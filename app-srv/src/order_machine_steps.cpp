// The steps of an order's run: what each sends, what it records, and where it goes next.
#include <ctime>
#include <utility>

#include "conn_order.h"
#include "order_machine.h"
#include "order_postpay.h"
#include "order_request.h"
#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* channel = "orvale/order";
constexpr const char* call_channel = "orvale"; // of the first line of the dispenser start

constexpr const char* accept_label = "Accept";
constexpr const char* fueling_label = "Fueling";
constexpr const char* canceled_label = "Canceled";
constexpr const char* stop_try_label = "AZS Canceled";
constexpr const char* completed_label = "Completed";
constexpr const char* expire_label = "Expire";

constexpr const char* default_cancel_reason = "Заказ не принят.";
constexpr const char* sql_null = "NULL"; // stored as SQL NULL

// "litre" of a station's answer when it is a number and nothing else.
bool parse_litre(const std::string& text, double& out) {
  std::size_t end = 0;
  double value = 0;
  if (text.empty() || str::_stod(text, &value, &end) != 0 || end != text.size()) {
    return false;
  }
  out = value;
  return true;
}

// A station time the database can store (DD.MM.YYYY HH24:MI:SS). Anything else would fail every
// later write of the run, so it is left out, and the rest of the answer is used.
bool valid_station_time(const std::string& order_id, const std::string& text, const char* key) {
  if (text.empty()) {
    return false;
  }
  if (content::order_sql::is_station_time(text)) {
    return true;
  }
  LOG(channel, warning,
      "[" << order_id << "] Время АЗС \"" << key << "\" не в формате DD.MM.YYYY HH24:MI:SS, не "
          << "сохранено : '" << text << "'");
  return false;
}

bool reported_to_aggregator(const std::string& status_name) {
  return status_name == STATUS_STATION_CANCELED || status_name == STATUS_USER_CANCELED ||
         status_name == STATUS_EXPIRE;
}

} // namespace

// "Id=<id><phrase><step>"<label>"", the start of every step line.
std::string order_machine::line(const char* phrase, const char* label) const {
  return "Id=" + rec_.id + phrase + std::to_string(step_) + "\"" + label + "\"";
}

bool order_machine::before_call() {
  if (halted_) {
    return false;
  }
  written_status_.reset();
  if (db_->flush()) {
    return true;
  }
  halted_ = true;
  LOG(channel, error,
      "[" << rec_.id << "] Состояние заказа не записано, обработка остановлена [ step=" << step_
          << " ] : COMMIT");
  return false;
}

// What the run writes next is meant for the state the run last stored (or, before its first
// write, the one the order arrived in).
IntStatusType order_machine::write_target() const {
  return static_cast<IntStatusType>(patch_.statusint != INT_STATUS_UNSET ? patch_.statusint
                                                                         : rec_.statusint);
}

bool order_machine::write_patch(bool commit) {
  std::string failure;
  int written = 0;
  for (int round = 0; round < 2; ++round) {
    content::PGBackend* db = db_->db();
    if (db == nullptr) {
      failure = "нет соединения с БД";
      written = -1;
      break;
    }
    const std::vector<int>& from = allowed_from(order_actor::run, write_target());
    written = commit ? db_->write_committing(patch_, from, failure)
                     : db->write_order_step(patch_, from, failure);
    if (written != -2) {
      break;
    }
    // A status name the station made up: the rest of its answer still counts.
    LOG(channel, warning, "[" << rec_.id << "] Статус не сохранен : " << failure);
    patch_.ordstatext.clear();
  }
  if (written == 1) {
    if (patch_.statusint != INT_STATUS_UNSET) {
      written_status_ = patch_.statusint;
    }
    forget_written_values();
    return true;
  }
  halted_ = true;
  if (written == 0) {
    LOG(channel, warning,
        "[" << rec_.id << "] Состояние заказа изменено вне обработки, обработка остановлена [ step="
            << step_ << " ]");
  } else {
    LOG(channel, error,
        "[" << rec_.id << "] Состояние заказа не записано, обработка остановлена [ step=" << step_
            << " ] : " << failure);
  }
  return false;
}

// Written values are not written again by later steps: what a step writes is what it changed.
void order_machine::forget_written_values() {
  patch_.volume = 0;
  patch_.volcompleted = 0;
  patch_.trannum = 0;
  patch_.azstimebeg.clear();
  patch_.azstimelast.clear();
  patch_.reasonid.clear();
}

bool order_machine::still_current() const {
  int stored = INT_STATUS_UNSET;
  if (written_status_) {
    stored = *written_status_;
  } else if (!db_->read_order_status(rec_.id_app, rec_.id, stored)) {
    return true; // not known: the step's own write is checked
  }
  if (may_move(order_actor::run, stored, write_target())) {
    return true;
  }
  LOG(channel, warning,
      "[" << rec_.id << "] Заказ уже в состоянии " << stored
          << ", обработка остановлена [ step=" << step_ << " ]");
  return false;
}

// The order's own keys of every station body.
void order_machine::set_order_keys() {
  body_->set("id", rec_.id);
  body_->set("app_id", rec_.id_app);
  body_->set("trk", rec_.trk);
  body_->set("prod", rec_.prodcod);
  body_->set("price", rec_.price);
  body_->set("volume", rec_.ord_vol);
  body_->set("summa", rec_.ord_sum);
}

// Step 2: one attempt; the aggregator's answer goes out after it, whatever its outcome.
void order_machine::_forward_order() {
  LOG(channel, debug,
      line(" Перенаправление заказа на АЗС Status=", accept_label) << " (Create Transaction)");
  set_order_keys();
  if (!rec_.contractid.empty()) {
    body_->set("contract", rec_.contractid);
  }
  if (!rec_.ExtendedId.empty()) {
    body_->set("ExtendedId", rec_.ExtendedId);
    body_->set("PostPay", true);
    rec_.postpay = true;
  }
  const bool sent_postpay = rec_.postpay;
  patch_.reason = rec_.reason;
  patch_.reasonid = rec_.reasonid;
  patch_.ordstatext = rec_.ordstatext;
  patch_.statusint = INT_STATUS_IN_PROGRESS;
  patch_.statusconfirmed = CONFIRM_NO;
  patch_.postpay = rec_.postpay;
  // The order is in progress for every other event before the station hears of it.
  if (!write_patch(/*commit=*/true) || !before_call()) {
    answer(); // nothing went to the station
    return;
  }

  std::string text;
  tries_ = 1;
  last_ = station_.fwd_order(link_, apikey_, body_, text);
  LOG(channel, debug,
      "Id=" << rec_.id << " Ответ АЗС на перенаправление заказа try=" << tries_
            << " response=" << last_ << " data = '" << text << "'");
  read_station_reply(text, answer_);
  _after_forward(answer_, sent_postpay);
}

void order_machine::_after_forward(const station_reply& r, bool sent_postpay) {
  if (r.action == "CHPRS" && r.cmd == "GETPRS" && r.prd > 0 && r.prs > 0) {
    _refresh_prices(r);
  }
  _take_forward_answer(r, sent_postpay);
  if (last_ == 200 || last_ == 402) {
    if (last_ == 200) {
      patch_.statusconfirmed = CONFIRM_YES;
      accepted_ = true;
      next_ = STEP_ACCEPT;
    }
    if (!write_patch()) {
      answer();
      return;
    }
    _take_station_values(r);
  }
  answer();
  if (!accepted_) {
    _refused_by_station(r);
  }
  rec_.statusint = patch_.statusint;
  rec_.statusconfirmed = patch_.statusconfirmed;
  rec_.volume = patch_.volume;
  rec_.volcompleted = patch_.volcompleted;
}

void order_machine::_take_forward_answer(const station_reply& r, bool sent_postpay) {
  patch_.statusint = rec_.statusint = INT_STATUS_CREATED;
  patch_.statusconfirmed = rec_.statusconfirmed = CONFIRM_NO;
  patch_.postpay = rec_.postpay;
  if (r.trannum > 0) {
    patch_.trannum = r.trannum;
  }
  // The station settles the order itself under its own transaction: an ordinary order from here.
  if (sent_postpay && rec_.trannum != patch_.trannum) {
    rec_.postpay = false;
    rec_.ExtendedId = std::to_string(patch_.trannum);
    body_->set("PostPay", false);
    body_->set("ExtendedId", rec_.ExtendedId);
  }
  rec_.trannum = patch_.trannum;
  if (valid_station_time(rec_.id, r.timeset, "timeset")) {
    patch_.azstimebeg = rec_.azstimebeg = r.timeset;
  }
}

// What the station's answer says of the order reaches the database with the next write.
void order_machine::_take_station_values(const station_reply& r) {
  patch_.reasonid.clear();
  if (!r.orderStatus.empty()) {
    patch_.ordstatext = r.orderStatus;
  }
  double litre = rec_.ord_vol;
  parse_litre(r.litre, litre);
  patch_.volcompleted = patch_.volume = rec_.volcompleted = rec_.volume = litre;
  if (valid_station_time(rec_.id, r.extendedDate, "extendedDate")) {
    patch_.azstimelast = rec_.azstimelast = r.extendedDate;
    rec_.azstimebeg = r.extendedDate;
  }
  int number = 0;
  if (str::is_decimal_int(r.extendedOrderId, number) && number > 0) {
    patch_.trannum = number;
    patch_.ExtendedId = r.extendedOrderId;
  }
}

void order_machine::_refused_by_station(const station_reply& r) {
  rec_.reason = r.msg.empty() ? "Заказ не принят на АЗС" : r.msg;
  rec_.ordstatext = STATUS_STATION_CANCELED;
  patch_.statusint = INT_STATUS_STATION_CANCELED;
  patch_.reason = rec_.reason;
  patch_.reasonid = "error";
  patch_.volcompleted = patch_.volume = rec_.volcompleted = rec_.volume = 0;
  if (write_patch()) {
    next_ = STEP_CANCELED;
  }
}

// The station named a price the aggregator does not know yet: store it and have the station push
// its whole list.
void order_machine::_refresh_prices(const station_reply& r) {
  int result = 0;
  int http = 0;
  update_product_price(db_->db(), station_id_, r.prd, r.prs / 100.0, result, http);
  if (!before_call()) {
    return;
  }
  LOG(channel, info, "Отправка запроса на АЗС на получение нового прайслиста");
  std::string text;
  const long status = station_.fwd_pricelist_request(link_, apikey_, text, true);
  LOG(channel, info, "Результат запроса на получение нового прайслиста от АЗС [" << status << "]");
}

// Step 1: confirm the accepted order to the aggregator.
void order_machine::_accept_begin() {
  LOG(channel, debug, line(" Processing Status=", accept_label));
}

bool order_machine::_accept_try() {
  LOG(channel, debug, line(" Trying Status=", accept_label) << " try=" << tries_);
  if (!before_call()) {
    return false;
  }
  last_ = upstream_.accept_order(apikey_, rec_.id);
  if (last_ != 200) {
    return false;
  }
  next_ = _after_accept();
  return true;
}

int order_machine::_after_accept() const {
  switch (rec_.statusint) {
  case INT_STATUS_CREATED:
    return rec_.postpay ? STEP_POSTPAY_COMPLETE : STEP_START;
  case INT_STATUS_COMPLETED:
    return STEP_COMPLETED;
  case INT_STATUS_EXPIRE:
    return STEP_EXPIRE;
  default:
    return _cancel_step();
  }
}

void order_machine::_accept_fault() {
  LOG(channel, debug, line(" Try fault Status=", accept_label) << " response=" << last_);
  rec_.reason = "Заказ не принят. Нет подтверждения от агрегатора";
  rec_.ordstatext = STATUS_STATION_CANCELED;
  patch_.ordstatext = rec_.ordstatext;
  patch_.reason = rec_.reason;
  patch_.statusint = INT_STATUS_UNSET;
  patch_.statusconfirmed = CONFIRM_UNSET;
  if (!write_patch()) {
    return;
  }
  if (rec_.postpay) {
    next_ = STEP_POSTPAY_CANCEL;
    return;
  }
  patch_.ordstatext.clear();
  patch_.reason.clear();
  next_ = STEP_STOP;
}

// Step 5: start the dispenser at the station.
void order_machine::_start_begin() {
  LOG(call_channel, debug,
      line(" Processing Forwarded to Azs Status=", fueling_label) << " (Start TRK)");
  set_order_keys();
  if (!rec_.ExtendedId.empty()) {
    body_->set("ExtendedId", rec_.ExtendedId);
  }
  patch_.statusint = INT_STATUS_FUELING;
  patch_.statusconfirmed = CONFIRM_NO;
  // Committed at once: the first try's check takes the status from it, then it calls.
  (void)write_patch(/*commit=*/true); // a failure halts the run before the first try
}

bool order_machine::_start_try() {
  LOG(channel, debug,
      line(" Trying Forwarded to Azs Status=", fueling_label) << " (Start TRK) try=" << tries_);
  std::string text;
  if (!before_call()) {
    return false;
  }
  last_ = station_.fwd_fueling(link_, apikey_, body_, text);
  read_station_reply(text, answer_);
  if (last_ == 200) {
    patch_.statusconfirmed = CONFIRM_YES;
    patch_.statusint = INT_STATUS_FUELING;
    if (write_patch()) {
      next_ = STEP_REPORT_FUELING;
    }
  }
  rec_.statusint = patch_.statusint;
  rec_.statusconfirmed = patch_.statusconfirmed;
  return last_ == 200;
}

void order_machine::_start_fault() {
  LOG(channel, debug,
      line(" Trying Fault Forwarded to Azs Status=", fueling_label)
          << " (Start TRK) response=" << last_);
  rec_.reason = answer_.msg.empty() ? "Не удалось передать заказ на ТРК" : answer_.msg;
  rec_.ordstatext = STATUS_STATION_CANCELED;
  next_ = STEP_STOP;
}

// Step 4: report the start of fueling to the aggregator.
void order_machine::_fueling_begin() {
  LOG(channel, debug, line(" Обработка команы на пуск АЗС Status=", fueling_label));
  patch_.statusconfirmed = CONFIRM_NO;
}

bool order_machine::_fueling_try() {
  LOG(channel, debug, line(" Trying Status=", fueling_label) << " try=" << tries_);
  if (!before_call()) {
    return false;
  }
  last_ = upstream_.fueling_order(apikey_, rec_.id);
  if (last_ != 200) {
    return false;
  }
  patch_.statusint = INT_STATUS_FUELING;
  patch_.statusconfirmed = CONFIRM_YES;
  (void)write_patch(); // the run ends here either way
  next_ = STEP_DONE;
  return true;
}

void order_machine::_fueling_fault() {
  LOG(channel, debug, line(" Trying Fault Status=", fueling_label) << " response=" << last_);
  rec_.reason = "Заказ не согласован";
  rec_.ordstatext = STATUS_STATION_CANCELED;
  next_ = STEP_STOP;
}

// Step 3: stop the order at the station.
void order_machine::_stop_begin() {
  LOG(channel, info,
      line(" Перенаправление на АЗС команды отмены Status=", canceled_label) << " (STOP AZS)");
  patch_.statusconfirmed = CONFIRM_NO;
  patch_.statusint = INT_STATUS_USER_CANCELED;
  body_->set("id", rec_.id);
  body_->set("Reason", std::string("Заказ отменен пользователем"));
  body_->set("ExtendedId", patch_.ExtendedId);
  body_->set("ReasonRef", std::string("usr"));
}

bool order_machine::_stop_try() {
  LOG(channel, debug, line(" Trying Status=", stop_try_label) << " try=" << tries_);
  std::string text;
  if (!before_call()) {
    return false;
  }
  last_ = station_.fwd_cancel_ext(link_, apikey_, body_, text);
  if (last_ != 200) {
    return false;
  }
  patch_.statusint = INT_STATUS_USER_CANCELED;
  patch_.statusconfirmed = CONFIRM_YES;
  (void)write_patch(); // the run ends here either way
  next_ = STEP_DONE;
  return true;
}

void order_machine::_stop_fault() {
  next_ = STEP_CANCELED;
}

// Step 7: report the cancellation to the aggregator.
void order_machine::_cancel_begin() {
  LOG(channel, debug, line(" Processing Status=", canceled_label));
  patch_.reasonid = rec_.reasonid;
  patch_.reason = rec_.reason.empty() ? default_cancel_reason : rec_.reason;
  patch_.statusint = rec_.statusint;
  patch_.ordstatext =
      reported_to_aggregator(rec_.ordstatext) ? rec_.ordstatext : STATUS_STATION_CANCELED;
  patch_.statusconfirmed = CONFIRM_NO;
  if (patch_.ordstatext == STATUS_STATION_CANCELED) {
    patch_.statusint = INT_STATUS_STATION_CANCELED;
  } else if (patch_.ordstatext == STATUS_USER_CANCELED) {
    patch_.statusint = INT_STATUS_USER_CANCELED;
  }
  (void)write_patch(); // a failure halts the run before the first try
}

bool order_machine::_cancel_try() {
  LOG(channel, debug, line(" Trying Status=", canceled_label) << " try=" << tries_);
  if (!before_call()) {
    return false;
  }
  last_ = upstream_.cancel_order(apikey_, rec_.id, patch_.reason);
  if (last_ != 200) {
    return false;
  }
  patch_.statusconfirmed = CONFIRM_YES;
  if (write_patch()) {
    _cancel_result();
  }
  return true;
}

void order_machine::_cancel_fault() {
  _cancel_result();
}

void order_machine::_cancel_result() {
  LOG(channel, debug, line(" Result Status=", canceled_label) << " response=" << last_);
  rec_.reason = patch_.reason;
  rec_.ordstatext = patch_.ordstatext;
  rec_.statusint = patch_.statusint;
  rec_.statusconfirmed = patch_.statusconfirmed;
  next_ = STEP_DONE;
}

// Step 6: record the completion; nothing is sent.
void order_machine::_completed() {
  LOG(channel, debug, line(" Processing Status=", completed_label));
  patch_.statusint = INT_STATUS_COMPLETED;
  patch_.statusconfirmed = CONFIRM_NO;
  patch_.reason = sql_null;
  patch_.reasonid = sql_null;
  last_ = write_patch() ? 200 : 502;
  rec_.statusint = patch_.statusint;
  rec_.statusconfirmed = patch_.statusconfirmed;
  LOG(channel, debug, line(" Result Status=", completed_label) << " response=" << last_);
  next_ = STEP_DONE;
}

// Step 8: record the expiry; nothing is sent.
void order_machine::_expire() {
  LOG(channel, debug, line(" Processing Status=", expire_label));
  patch_.statusint = INT_STATUS_EXPIRE;
  patch_.statusconfirmed = CONFIRM_NO;
  patch_.reasonid = "expire";
  patch_.reason = "Ожидание подтверждения от АЗС";
  last_ = write_patch() ? 200 : 502;
  rec_.statusint = patch_.statusint;
  rec_.statusconfirmed = patch_.statusconfirmed;
  LOG(channel, debug, line(" Result Status=", expire_label) << " response=" << last_);
  next_ = STEP_DONE;
}

// Step 9: settle a post-paid order on both sides at once.
void order_machine::_postpay_complete_begin() {
  LOG(channel, debug, line(" Processing Status=", completed_label));
  set_order_keys();
  if (!rec_.ExtendedId.empty()) {
    body_->set("ExtendedId", rec_.ExtendedId);
  }
  body_->set("is_postpay", rec_.postpay);
  if (rec_.azstimelast.empty()) {
    const std::time_t now = 0;
    rec_.azstimelast = order_station::_makeExtDate(now);
  }
  patch_.ExtendedId = rec_.ExtendedId;
  patch_.trannum = rec_.trannum;
  patch_.azstimelast = rec_.azstimelast;
  patch_.statusint = INT_STATUS_COMPLETED;
  patch_.statusconfirmed = CONFIRM_NO;
  patch_.reason = sql_null;
  patch_.reasonid = sql_null;
  patch_.volume = rec_.volume;
  patch_.volcompleted = rec_.volcompleted;
  (void)write_patch(); // a failure halts the run before the first try
}

// A try of each side still open.
bool order_machine::_postpay_complete_try() {
  if (!before_call()) {
    return false;
  }
  web::json::object_ptr params = web::json::make_object();
  params->set("id", rec_.id);
  params->set("app_id", rec_.id_app);
  params->set("extendedOrderId", rec_.ExtendedId);
  params->set("litre", rec_.volcompleted);
  params->set("extendedDate", rec_.azstimelast);
  order_postpay(upstream_, station_)
      .try_complete(apikey_, params, link_, body_, upstr_side_, peer_side_);
  return postpay_settled();
}

// Step 10: cancel a post-paid order on both sides at once.
void order_machine::_postpay_cancel_begin() {
  LOG(channel, debug, line(" Processing Status=", canceled_label));
  patch_.reasonid = rec_.reasonid;
  patch_.reason = rec_.reason.empty() ? default_cancel_reason : rec_.reason;
  patch_.ordstatext = STATUS_STATION_CANCELED;
  patch_.statusint = INT_STATUS_STATION_CANCELED;
  patch_.statusconfirmed = CONFIRM_NO;
  if (!write_patch()) {
    return;
  }
  rec_.reason = patch_.reason;
  rec_.ordstatext = patch_.ordstatext;
  rec_.statusint = patch_.statusint;
  rec_.statusconfirmed = patch_.statusconfirmed;

  body_->set("id", rec_.id);
  body_->set("app_id", rec_.id_app);
  body_->set("Reason", rec_.reason);
  if (!rec_.ExtendedId.empty()) {
    body_->set("ExtendedId", rec_.ExtendedId);
  }
  body_->set("is_postpay", rec_.postpay);
}

bool order_machine::_postpay_cancel_try() {
  if (!before_call()) {
    return false;
  }
  web::json::object_ptr params = web::json::make_object();
  params->set("id", rec_.id);
  params->set("Reason", rec_.reason);
  params->set("extendedOrderId", rec_.ExtendedId);
  order_postpay(upstream_, station_)
      .try_cancel(apikey_, params, link_, body_, upstr_side_, peer_side_);
  return postpay_settled();
}

// A post-payment step ends once neither side is open.
bool order_machine::postpay_settled() {
  last_ = peer_side_.result;
  if (upstr_side_.open || peer_side_.open) {
    return false;
  }
  next_ = STEP_DONE;
  return true;
}

// Each side gives up on its own, with its own line, before the step's tries run out.
void order_machine::_postpay_end() {
  next_ = STEP_DONE;
}

} // namespace srv_apps
