// The order endpoint: every order event of the aggregator is checked, stored and answered here,
// then handed to the order's run.
#include "order.h"

#include <cmath>
#include <exception>
#include <utility>

#include "order_machine.h"
#include "order_request.h"
#include "order_status.h"
#include "web/log.h"

namespace srv_apps {

long long price_hundredths(double price) {
  // Read back from numeric(12,4), 45.675 is 45.67499999...: rounding price * 100 directly could
  // land on the wrong side of the half that the price list rounds up.
  const long long ten_thousandths = std::llround(price * 10000);
  return (ten_thousandths + (ten_thousandths < 0 ? -50 : 50)) / 100;
}

bool same_published_price(double current, double ordered) {
  constexpr double beyond_any_price = 1e12; // keeps the rounding in range
  if (current == 0 || ordered == 0 || !(std::fabs(current) < beyond_any_price) ||
      !(std::fabs(ordered) < beyond_any_price)) {
    return false;
  }
  return price_hundredths(current) == price_hundredths(ordered);
}

void order::get_order() {
  const web::context_ptr ctx = release_context();
  try {
    serve([&] { _serve(ctx); });
  } catch (const std::exception& e) {
    LOG(channel(), critical, "Сбой обработки заказа : " << e.what());
    answer_status(*ctx, 500);
  }
}

void order::_serve(const web::context_ptr& ctx) {
  const std::string apikey = request().query_value("apikey"); // the body is JSON, not a form
  LOG(channel(), info, "Запрос на обработку заказа");
  int body_error = BODY_OK;
  web::json::value body;
  if (request().method() == "POST") {
    const std::string& raw = request().raw_body();
    body = from_raw_post_data(raw.data(), raw.size(), body_error);
  }
  _check_request(body_error, apikey, body);
  std::unique_ptr<order_lock> lock = _serialise(apikey, body);
  std::unique_ptr<content::PGBackend> db =
      open_backend(services.app_db, "Не определена БД", "Отсутствует соединение с БД");
  order_event ev;
  ev.apikey = apikey;
  ev.lock = std::move(lock);
  int http = 503;
  const bool repeated = _check_event(*db, body, ev, http);
  if (repeated) {
    // The aggregator retries an order it has not had the answer for; the first event's run
    // carries the order, and a second one would start the dispenser twice.
    _answer(*ctx, http, ev.reply);
    return;
  }
  if (http == 402 && !same_published_price(ev.rec.current_price, ev.rec.price)) {
    _priceResponseBlock(ev.rec, ev.reply);
  }
  if (!web::json::is_null(ev.reply)) {
    ctx->response().content_type("application/json");
  }
  if (http == 200 && ev.event == INT_STATUS_CREATED) {
    ev.ctx = ctx; // the run answers after forwarding
  } else {
    _answer(*ctx, http, ev.reply);
  }
  if (http != 200) {
    LOG(channel(), error, "Заказ не принят : HTTP [" << http << "]");
    return;
  }
  order_machine::start({settings, services}, std::move(ev), std::move(db));
}

bool order::_check_event(content::PGBackend& db, const web::json::value& body, order_event& ev,
                         int& http) {
  int result = ORDER_RESULT_OK;
  process_request(&db, ev.apikey, body, ev.rec, ev.link, result, http);
  ev.event = _orderStatus_name2code(ev.rec.ordstatext);
  const bool repeated = result == ORDER_RESULT_REPEATED;
  if (http == 200 && ev.event == INT_STATUS_CREATED && !repeated) {
    _check_price(db, ev.rec, ev.reply, http);
  }
  LOG(channel(), debug,
      "[" << ev.rec.id << "] обработка данных заказа [ response=" << http << " err=" << result
          << " ]");
  return repeated;
}

void order::_check_request(int body_error, const std::string& apikey,
                           const web::json::value& body) {
  if (body_error != BODY_OK) {
    throw ExceptionHTTP("Ошибка обработки данных заказа", 500);
  }
  if (apikey.empty()) {
    throw ExceptionHTTP("Ошибка авторизации", 401);
  }
  if (web::json::is_null(body)) {
    throw ExceptionHTTP("Неверные данные заказа", 412);
  }
}

// Taken before the order is read, and before the event's pooled connection is leased: a run
// that waits here holds nothing the run it waits for may need. The caller and the order are
// looked up on a short pooled lease first, so that a request with an unknown key never opens the
// lock's session outside the pool. Null when there is nothing to serialise.
std::unique_ptr<order_lock> order::_serialise(const std::string& apikey,
                                              const web::json::value& body) {
  content::OrderData event;
  read_event_keys(body, event);
  content::AppTypeInfo app;
  {
    std::unique_ptr<content::PGBackend> lookup =
        open_backend(services.app_db, "Не определена БД", "Отсутствует соединение с БД");
    app.authAppInfo(*lookup, apikey);
    if (app.id() < 0 || event.id.empty()) {
      return nullptr; // refused before any order is read or written
    }
    if (event.ordstatext == STATUS_ORDER_CREATED) {
      // Answered at once without waiting for the first event's run: it only reads the order.
      content::OrderData stored;
      int status = 0;
      if (lookup->getOrder(app.id(), event.id, stored, status) > 0) {
        return nullptr;
      }
    }
  }
  std::unique_ptr<order_lock> lock = order_lock::open(services.app_db.record);
  if (!lock) {
    throw ExceptionHTTP("Отсутствует соединение с БД", 406);
  }
  // How long an event waits for the run of an earlier event of the same order before it is
  // refused with 504, so that the aggregator retries it later.
  const std::chrono::milliseconds lock_wait = settings.order_lock_wait;
  switch (lock->acquire(app.id(), event.id, lock_wait)) {
  case order_lock::outcome::locked:
    return lock;
  case order_lock::outcome::busy:
    throw ExceptionHTTP("[" + event.id + "] Заказ обрабатывается, повторите запрос позже", 504);
  case order_lock::outcome::failed:
    break;
  }
  throw ExceptionHTTP("[" + event.id + "] Ошибка блокировки заказа в БД", 502);
}

void order::_check_price(content::PGBackend& db, content::OrderData& rec, web::json::value& reply,
                         int& http) {
  if (same_published_price(rec.current_price, rec.price)) {
    return;
  }
  LOG(channel(), error, "[" << rec.id << "] Цена указана не верно");
  rec.ordstatext = STATUS_STATION_CANCELED;
  rec.statusint = INT_STATUS_STATION_CANCELED;
  int result = 0;
  int written = 0;
  update_order_info(&db, rec, result, written); // logged there; the refusal stands either way
  _priceResponseBlock(rec, reply);
  http = 402;
}

void order::_answer(web::context& ctx, int http, const web::json::value& reply) {
  web::response& r = ctx.response();
  r.status(http);
  if (!web::json::is_null(reply)) {
    std::string text = web::json::write(reply);
    LOG(channel(), debug, "данные ответа : " << text);
    r.body(std::move(text));
  }
  ctx.complete_response();
}

} // namespace srv_apps
