// Order events checked against the local database, merged with the stored order and written; the
// two small writers of the order state machine.
#include "order_request.h"

#include <cmath>
#include <exception>

#include "order_status.h"
#include "str.h"
#include "web/http.h"
#include "web/log.h"

namespace srv_apps {
namespace {

namespace json = web::json;
using content::OrderData;
using web::ExceptionHTTP;

constexpr const char* channel = "orvale/order";

bool connected(content::PGBackend* db) {
  return db != nullptr && db->connect() == 0 && db->connected();
}

// One run of process_request. Each stage raises ExceptionHTTP for a refusal; run() catches it at
// the stage's end, answers its code and logs its message, so a refusal never writes anything.
class order_event {
public:
  order_event(content::PGBackend* db, const std::string& apikey, const json::value& body,
              OrderData& rec, content::AzsConnInfo& link, int& result, int& http_status)
      : db_(db), apikey_(apikey), body_(body), rec_(rec), link_(link), result_(result),
        http_(http_status) {}

  void run() {
    if (!stage(&order_event::_access)) {
      return;
    }
    rec_.id_app = app_id_;
    read_event_keys(body_, rec_);
    LOG(channel, info, event_log_line(rec_));
    LOG(channel, debug, "данные заказа : " << json::write(body_));
    if (!stage(&order_event::_identity)) {
      return;
    }
    merge_order_keys(body_, is_new_ ? nullptr : &stored_, rec_);
    if (!stage(&order_event::_validate)) {
      return;
    }
    _write();
  }

private:
  bool stage(void (order_event::*step)()) {
    try {
      (this->*step)();
      return true;
    } catch (const ExceptionHTTP& e) {
      http_ = e.response_code();
      LOG(channel, error, e.what());
      return false;
    }
  }

  // Messages that concern one order start with its id in brackets.
  std::string tagged(const std::string& text) const { return "[" + rec_.id + text; }

  void _access() {
    if (db_ == nullptr) {
      result_ = ORDER_RESULT_DB_FAILURE;
      throw ExceptionHTTP("Отсутствует объект БД", 412);
    }
    if (db_->connect() != 0 || !db_->connected()) {
      result_ = ORDER_RESULT_NO_CONNECTION;
      throw ExceptionHTTP("Нет соединения с БД", 406);
    }
    content::AppTypeInfo app;
    app.authAppInfo(*db_, apikey_);
    if (app.id() < 0) {
      result_ = ORDER_RESULT_INVALID;
      throw ExceptionHTTP("Ошибка получения данных о приложении", 401);
    }
    app_id_ = app.id();
  }

  void _identity() {
    if (rec_.id.empty()) {
      throw ExceptionHTTP("Не задан идентификатор заказа ", 400);
    }
    rec_.status = db_->getStatusTypeId(rec_.id_app, rec_.ordstatext);
    if (rec_.status < 0) {
      throw ExceptionHTTP(tagged("] Статус заказа задан не верно"), 400);
    }
    is_new_ = rec_.ordstatext == STATUS_ORDER_CREATED;
    if (is_new_) {
      return;
    }
    LOG(channel, debug, tagged("] Запрос сохраненных данных по заказу из БД "));
    if (!load_stored(stored_)) {
      throw ExceptionHTTP(tagged("] Заказ не найден"), 400);
    }
    LOG(channel, debug,
        tagged("] Сохраненные данные заказа [")
            << " Id = " << stored_.id << " DateCreate = " << stored_.timebeg
            << " StationId = " << stored_.shopext << " StationExtendedId = " << stored_.id_shop
            << " ColumnId = " << stored_.trk << "]");
  }

  void _validate() {
    result_ = ORDER_RESULT_INVALID;
    if (rec_.StationExtendedId.empty() || rec_.trk == 0) {
      throw ExceptionHTTP(tagged("] Не указаны данные по АЗС или ТРК"), 400);
    }
    if (rec_.prodident.empty() || rec_.price == 0) {
      throw ExceptionHTTP(tagged("] Не указаны данные по продукту или цене"), 402);
    }
    if (rec_.ord_vol == 0) {
      throw ExceptionHTTP(tagged("] Не указаны данные по объему заказа"), 409);
    }
    rec_.id_shop = db_->check_azs(rec_.StationExtendedId);
    if (rec_.id_shop < 1) {
      throw ExceptionHTTP(tagged("] АЗС не найдена"), 400);
    }
    link_ = content::AzsConnInfo();
    link_.getAzsConnValues(*db_, rec_.id_shop);
    if (link_.id() < 0 || link_.endpoint_str().empty()) {
      result_ = ORDER_RESULT_NO_CONNECTION;
      throw ExceptionHTTP(tagged("] Отсутствуют данные для соединения с АЗС"), 400);
    }
    rec_.ord_typ = db_->getOrderTypeId(rec_.id_app, rec_.ordtypext);
    if (rec_.ord_typ < 0) {
      throw ExceptionHTTP(tagged("] Тип заказа задан не верно"), 501);
    }
    rec_.prodcod = db_->getProductId(rec_.id_app, rec_.prodident);
    if (rec_.prodcod < 1) {
      throw ExceptionHTTP(tagged("] Неправильно указан продукт"), 402);
    }
    rec_.current_price = db_->getPrice(rec_.id_shop, rec_.prodcod, rec_.trk);
    rec_.timebeg = str::str_to_timestamp(rec_.timebeg, 6);
    rec_.timeend = str::str_to_timestamp(rec_.timeend, 6);
    rec_.statusint = _orderStatus_name2code(rec_.ordstatext);
    // Looked up again: the row decides between insert and update, and what an update keeps.
    found_ = load_stored(current_);
  }

  void _write() {
    if (found_) {
      keep_stored_progress();
    }
    if (rec_.ordstatext == STATUS_COMPLETED) {
      default_reason("NULL", "NULL");
    } else if (rec_.ordstatext == STATUS_EXPIRE) {
      default_reason("expire", "Ожидание данных от АЗС");
    }
    if (is_new_ && found_) {
      result_ = ORDER_RESULT_REPEATED;
      http_ = 200;
      return;
    }
    int status = 0;
    const int written =
        db_->setOrder(rec_, status, found_ ? content::QUERY_UPDATE : content::QUERY_INSERT);
    const char* mode = found_ ? "UPDATE" : "INSERT";
    LOG(channel, debug,
        tagged("] обработка заказа БД [ mode=\"")
            << mode << "\"  result=" << written << " status=" << status << " ]");
    if (status == content::RESULT_STATUS_COMMAND_OK) {
      result_ = ORDER_RESULT_OK;
      http_ = 200;
      return;
    }
    LOG(channel, error,
        tagged("] Ошибка выполения операции с БД [ mode=\"")
            << mode << "\"  result=" << written << " status=" << status << " ]");
    result_ = ORDER_RESULT_DB_FAILURE;
    http_ = 502;
  }

  // True when the order is stored; a failed lookup ends the request with 502.
  bool load_stored(OrderData& stored) {
    int status = 0;
    const int rows = db_->getOrder(rec_.id_app, rec_.id, stored, status);
    if (rows < 0 || (rows == 0 && status != content::RESULT_STATUS_TUPLES_OK)) {
      if (rows == 0) {
        result_ = ORDER_RESULT_DB_FAILURE;
      }
      throw ExceptionHTTP(tagged("] Ошибка получения данных заказа из БД [ result=") +
                              std::to_string(rows) + " status=" + std::to_string(status) + " ]",
                          502);
    }
    return rows > 0;
  }

  // What the gateway and the station have recorded is not the aggregator's to overwrite.
  void keep_stored_progress() {
    if (current_.statusint != INT_STATUS_UNSET) {
      rec_.statusint = current_.statusint;
    }
    if (current_.statusconfirmed != CONFIRM_UNSET) {
      rec_.statusconfirmed = current_.statusconfirmed;
    }
    if (!current_.azstimebeg.empty()) {
      rec_.azstimebeg = current_.azstimebeg;
    }
    if (!current_.azstimelast.empty()) {
      rec_.azstimelast = current_.azstimelast;
    }
    rec_.volume = current_.volume;
    rec_.summa = current_.summa;
    rec_.trannum = current_.trannum;
    rec_.errcode = current_.errcode;
  }

  void default_reason(const char* reasonid, const char* reason) {
    if (rec_.reasonid.empty()) {
      rec_.reasonid = reasonid;
    }
    if (rec_.reason.empty()) {
      rec_.reason = reason;
    }
  }

  content::PGBackend* db_;
  const std::string& apikey_;
  const json::value& body_;
  OrderData& rec_;
  content::AzsConnInfo& link_;
  int& result_;
  int& http_;
  int app_id_ = -1;
  bool is_new_ = true;
  bool found_ = false;
  OrderData stored_;  // as the aggregator's missing keys see it
  OrderData current_; // as it is just before the write
};

} // namespace

void process_request(content::PGBackend* db, const std::string& apikey, const json::value& body,
                     OrderData& rec, content::AzsConnInfo& link, int& result, int& http_status) {
  try {
    order_event(db, apikey, body, rec, link, result, http_status).run();
  } catch (const std::exception& e) {
    // Nothing below throws by design; should a library call do so, the request fails alone.
    LOG(channel, critical, "Ошибка обработки заказа : " << e.what());
    http_status = 500;
  }
}

void update_product_price(content::PGBackend* db, int id_shop, int prodcod, double price,
                          int& result, int& http_status) {
  result = ORDER_RESULT_INVALID;
  if (!connected(db)) {
    result = ORDER_RESULT_NO_CONNECTION;
    http_status = 406;
    return;
  }
  if (id_shop <= 0 || prodcod <= 0 || !(price > 0) || !std::isfinite(price)) {
    http_status = 400;
    return;
  }
  // Insert or update: a station may report a price for a product it has no row for yet, and an
  // UPDATE of a missing row would report success and store nothing.
  int status = 0;
  db->setPrice(id_shop, prodcod, price, status, content::QUERY_UPSERT);
  if (status == content::RESULT_STATUS_COMMAND_OK) {
    result = ORDER_RESULT_OK;
    http_status = 200;
    return;
  }
  LOG(channel, error,
      "Не удалось обновить цену для АЗС=\"" << id_shop << "\" Продукт=\"" << prodcod
                                            << "\" [ status = " << status << " ]");
  result = ORDER_RESULT_DB_FAILURE;
  http_status = 502;
}

void update_order_info(content::PGBackend* db, OrderData& rec, int& result, int& http_status) {
  result = ORDER_RESULT_INVALID;
  if (!connected(db)) {
    result = ORDER_RESULT_NO_CONNECTION;
    http_status = 406;
    return;
  }
  if (rec.id_app < 0 || rec.id.empty()) {
    http_status = 400;
    return;
  }
  rec.status = -1;
  if (!rec.ordstatext.empty()) {
    rec.status = db->getStatusTypeId(rec.id_app, rec.ordstatext);
    if (rec.status < 0) {
      http_status = 501;
      return;
    }
  }
  int status = 0;
  db->setOrder(rec, status, content::QUERY_UPDATE);
  if (status == content::RESULT_STATUS_COMMAND_OK) {
    result = ORDER_RESULT_OK;
    http_status = 200;
    return;
  }
  LOG(channel, error,
      "Не удалось обновить заказ Id=\"" << rec.id << "\" [ status = " << status << " ]");
  result = ORDER_RESULT_DB_FAILURE;
  http_status = 502;
}

} // namespace srv_apps
