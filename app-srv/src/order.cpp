// The order endpoint: every order event of the aggregator is checked, stored and handed to the
// order's run, which answers it once the rest of the run is booked.
#include "order.h"

#include <cmath>
#include <memory>
#include <exception>
#include <utility>

#include "conn_lock.h"
#include "order_machine.h"
#include "order_request.h"
#include "order_status.h"
#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

// The lookups the checks of a new order make, read ahead in one round trip instead of six; with
// `try_lock`, in the round trip of the lock's first try (true when that took the lock).
bool read_ahead_checks(int id_app, const web::json::value& body, content::PGBackend& db,
                       bool try_lock) {
  content::OrderData rec;
  read_event_keys(body, rec);
  merge_order_keys(body, nullptr, rec);
  return db.prefetch_order_lookups(id_app, rec.id, rec.ordstatext, rec.StationExtendedId,
                                   rec.ordtypext, rec.prodident, try_lock);
}

// A repeated new order is answered without the lock its read-ahead took: the lock's first try
// takes it from there, and it is given up at once.
void release_read_ahead_lock(content::PGBackend& db, int id_app, const std::string& id) {
  if (content::lock_order(db, id_app, id, std::chrono::milliseconds(0)) !=
      content::order_lock_attempt::locked) {
    return;
  }
  db.took_session_lock();
  if (content::unlock_order(db, id_app, id)) {
    db.released_session_lock(); // otherwise the pool resets the session, and the lock with it
  }
}

} // namespace

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
  std::unique_ptr<content::PGBackend> db =
      open_backend(services.app_db, "Не определена БД", "Отсутствует соединение с БД");
  // Lookups, the order's lock and transactions are all an event does on its session: its
  // statements may run prepared from the first one, the key lookup before the lock included.
  db->promise_transaction_work();
  const std::unique_ptr<order_lock> lock = _serialise(apikey, body, db);
  // The event's write, the run's part in the handler and the booking of the rest go through one
  // session: the one the lock is held on when there is one.
  handler_db work(lock ? lock->session() : *db, lock.get());
  order_event ev;
  ev.apikey = apikey;
  int http = 503;
  const bool repeated = _check_event(work.db(), body, ev, http);
  if (repeated || http != 200) {
    (void)work.flush(); // a refusal's write stands on its own; a failed one is logged there
  }
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
  if (http != 200) {
    _answer(*ctx, http, ev.reply);
    LOG(channel(), error, "Заказ не принят : HTTP [" << http << "]");
    return;
  }
  ev.ctx = ctx; // the run answers once its first booking is committed
  order_machine::start({settings, services}, std::move(ev), work);
}

bool order::_check_event(content::PGBackend* db, const web::json::value& body, order_event& ev,
                         int& http) {
  int result = ORDER_RESULT_OK;
  process_request(db, ev.apikey, body, ev.rec, ev.link, result, http);
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

// The caller's application, -1 for an unknown key. Kept in the process's cache of keys when
// there is one (a key changed or withdrawn in the database is announced, and looked up again);
// the lease then answers the event's own check of the key from there.
int order::_caller(const std::string& apikey, const content::PGBackend& db) {
  const auto look_up = [&] {
    content::AppTypeInfo app;
    app.authAppInfo(db, apikey);
    return app.id();
  };
  if (services.catalogue == nullptr) {
    return look_up();
  }
  // Shared with the catalogue endpoints' key lookups (catalogue.cpp).
  const auto compute = [&]() -> cached_entry_ptr {
    const int id = look_up();
    return id < 0 ? nullptr
                  : std::make_shared<const cached_entry>(cached_entry{std::to_string(id), {}});
  };
  const cached_entry_ptr known = services.catalogue->get("apikey\n" + apikey, compute);
  int id_app = -1;
  if (!known || !str::is_decimal_int(known->body, id_app)) {
    return -1;
  }
  db.know_caller(apikey, id_app);
  return id_app;
}

// Taken before the order is read, on the event's own pooled session, which then goes on to serve
// the event: a handler that waits here holds one session, and the handler or the step it waits
// for needs no other to finish. The caller and the order are looked up on the same session first,
// so that a request with an unknown key never waits. Null, with `db` left to the caller, when
// there is nothing to serialise.
std::unique_ptr<order_lock> order::_serialise(const std::string& apikey,
                                              const web::json::value& body,
                                              std::unique_ptr<content::PGBackend>& db) {
  content::OrderData event;
  read_event_keys(body, event);
  const int id_app = _caller(apikey, *db);
  if (id_app < 0 || event.id.empty()) {
    return nullptr; // refused before any order is read or written
  }
  const bool created = event.ordstatext == STATUS_ORDER_CREATED;
  // A new order's lookups go with the lock's first try; when that did not take it, they are
  // read once the lock is held.
  const bool read_ahead = created && read_ahead_checks(id_app, body, *db, /*try_lock=*/true);
  if (created) {
    // Answered at once without waiting for the first event's handler: it only reads the order.
    content::OrderData stored;
    int status = 0;
    if (db->getOrder(id_app, event.id, stored, status) > 0) {
      if (read_ahead) {
        release_read_ahead_lock(*db, id_app, event.id);
      }
      return nullptr;
    }
  }
  auto lock = std::make_unique<order_lock>(std::move(db));
  // How long an event waits for the handler of an earlier event of the same order (or one step
  // of its run) before it is refused with 504, so that the aggregator retries it later.
  const std::chrono::milliseconds lock_wait = settings.order_lock_wait;
  switch (lock->acquire(id_app, event.id, lock_wait)) {
  case order_lock::outcome::locked:
    if (created && !read_ahead) {
      read_ahead_checks(id_app, body, lock->session(), /*try_lock=*/false);
    }
    return lock;
  case order_lock::outcome::busy:
    throw ExceptionHTTP("[" + event.id + "] Заказ обрабатывается, повторите запрос позже", 504);
  case order_lock::outcome::failed:
    break;
  }
  throw ExceptionHTTP("[" + event.id + "] Ошибка блокировки заказа в БД", 502);
}

void order::_check_price(content::PGBackend* db, content::OrderData& rec, web::json::value& reply,
                         int& http) {
  if (same_published_price(rec.current_price, rec.price)) {
    return;
  }
  LOG(channel(), error, "[" << rec.id << "] Цена указана не верно");
  rec.ordstatext = STATUS_STATION_CANCELED;
  rec.statusint = INT_STATUS_STATION_CANCELED;
  int result = 0;
  int written = 0;
  update_order_info(db, rec, result, written); // logged there; the refusal stands either way
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
