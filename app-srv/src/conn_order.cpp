// Persistence of orders: one `orders` row read into an OrderData, written back field by field, and
// the few column changes the station events make.
#include "conn_order_sql.h"

#include <cmath>
#include <vector>

#include "str.h"
#include "web/log.h"

namespace content {
namespace {

// The internal status codes process_order reports ("OrderCreated" and "StationCanceled").
constexpr int created_code = 1;
constexpr int station_canceled_code = 5;

void log_failure(web::log_level level, const char* channel, const std::string& text,
                 const std::string& message, const char* file = __builtin_FILE(),
                 int line = __builtin_LINE()) {
  if (web::log_enabled(level)) {
    web::log_write(channel, level, text + message, file, line);
  }
}

std::string result_message(const pg_result_ptr& res) {
  return res ? one_line(PQresultErrorMessage(res.get())) : "out of memory";
}

int result_status(const pg_result_ptr& res) {
  return res ? static_cast<int>(PQresultStatus(res.get())) : static_cast<int>(PGRES_FATAL_ERROR);
}

// The body of a quoted literal. A byte sequence that is not valid in the client encoding is
// reported by libpq and refused by the server, so nothing of it can end the literal early. libpq
// stops at a NUL byte; the NUL is kept in the text so that run() refuses the statement rather
// than sending one cut short at it (an id "a\0b" must not reach the order "a").
std::string esc(PGconn* conn, const std::string& text) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    const std::size_t nul = text.find('\0', start);
    const std::size_t length = (nul == std::string::npos ? text.size() : nul) - start;
    std::string part(length * 2 + 1, '\0');
    int error = 0;
    part.resize(PQescapeStringConn(conn, part.data(), text.data() + start, length, &error));
    out += part;
    if (nul == std::string::npos) {
      return out;
    }
    out += '\0';
    start = nul + 1;
  }
}

struct outcome {
  pg_result_ptr res;
  int status = PGRES_FATAL_ERROR;
  std::string message; // libpq's, or why the statement was not sent
};

outcome run(PGconn* conn, const std::string& sql) {
  outcome out;
  if (sql.find('\0') != std::string::npos) {
    out.message = "текст содержит нулевой байт";
    return out;
  }
  out.res.reset(PQexec(conn, sql.c_str()));
  out.status = result_status(out.res);
  out.message = result_message(out.res);
  return out;
}

std::string num(int n) {
  return std::to_string(n);
}

// A NaN or an infinity has no SQL spelling; it counts as not set like 0.
bool is_set(double value) {
  return value != 0 && std::isfinite(value);
}
std::string d4(double value) {
  return str::dbl2str(value, 4);
}

// Timestamps of the aggregator (UTC text, microseconds) and of the station (its own clock).
std::string ts1(PGconn* conn, const std::string& text) {
  return "to_timestamp('" + esc(conn, text) +
         "', 'YYYY-MM-DD HH24:MI:SS.US')::timestamp without time zone at time zone 'Etc/UTC'";
}
std::string ts2(PGconn* conn, const std::string& text) {
  return "to_timestamp('" + esc(conn, text) + "', 'DD.MM.YYYY HH24:MI:SS')";
}

constexpr const char* null_text = "NULL";

std::string quoted_or_null(PGconn* conn, const std::string& text) {
  if (text.empty()) {
    return null_text;
  }
  std::string out = "'";
  out += esc(conn, text);
  out += '\'';
  return out;
}
std::string reason_or_null(PGconn* conn, const std::string& text) {
  return text == null_text ? null_text : quoted_or_null(conn, text);
}
std::string d4_or_null(double value) {
  return is_set(value) ? d4(value) : null_text;
}
std::string int_or_null(int value, bool is_null) {
  return is_null ? null_text : num(value);
}

void set_text(std::string& sql, PGconn* conn, const char* clause, const std::string& text) {
  if (!text.empty()) {
    sql += clause + esc(conn, text) + "'";
  }
}
void set_d4(std::string& sql, const char* clause, double value) {
  if (is_set(value)) {
    sql += clause + d4(value);
  }
}
void set_reason(std::string& sql, PGconn* conn, const char* clause, const std::string& text) {
  if (!text.empty()) {
    sql += clause;
    sql += text == null_text ? null_text : "'" + esc(conn, text) + "' ";
  }
}

std::string key_clause(PGconn* conn, int id_app, const std::string& id) {
  return " Where id_app = " + num(id_app) + " and id = '" + esc(conn, id) + "'";
}

// --- reading a row ------------------------------------------------------------------------------

// NULL (and an empty text) leaves the field as it was; so does a value that is not a number,
// which the schema rules out but which must not end the request if it ever appears.
class row_reader {
public:
  row_reader(const PGresult* res, int row, const std::string& id) : res_(res), row_(row), id_(id) {}

  void text(const char* field, std::string& out) const {
    std::string v = PGBackend::_get_fvalue(res_, field, row_);
    if (!v.empty()) {
      out = std::move(v);
    }
  }
  void integer(const char* field, int& out) const {
    const std::string v = PGBackend::_get_fvalue(res_, field, row_);
    int n = 0;
    if (v.empty()) {
      return;
    }
    if (str::_stoi(v, &n) != 0) {
      return not_a_number(field, v);
    }
    out = n;
  }
  void decimal(const char* field, double& out) const {
    const std::string v = PGBackend::_get_fvalue(res_, field, row_);
    double x = 0;
    if (v.empty()) {
      return;
    }
    if (str::_stod(v, &x) != 0 || !std::isfinite(x)) {
      return not_a_number(field, v);
    }
    out = x;
  }

private:
  void not_a_number(const char* field, const std::string& v) const {
    LOG("Database/SELECT order", warning,
        "Значение поля " << field << " не является числом (заказ : '" << id_ << "') : '" << v
                         << "'");
  }

  const PGresult* res_;
  int row_;
  const std::string& id_;
};

void read_order_row(const row_reader& r, OrderData& d) {
  r.text("id", d.id);
  r.integer("id_app", d.id_app);
  r.text("timebeg", d.timebeg);
  r.integer("ord_typ", d.ord_typ);
  r.decimal("orderval", d.orderval);
  r.integer("id_shop", d.id_shop);
  r.text("shopext", d.shopext);
  r.integer("trk", d.trk);
  r.integer("prodcod", d.prodcod);
  r.text("prodname", d.prodname);
  r.text("priceid", d.priceid);
  r.text("prodext", d.prodext);
  r.decimal("price", d.price);
  r.decimal("ord_sum", d.ord_sum);
  r.decimal("ord_vol", d.ord_vol);
  r.decimal("sumpaid", d.sumpaid);
  r.integer("status", d.status);
  r.text("timeend", d.timeend);
  r.text("reasonid", d.reasonid);
  r.text("reason", d.reason);
  r.decimal("volume", d.volume);
  r.decimal("summa", d.summa);
  r.text("contractid", d.contractid);
  r.integer("trannum", d.trannum);
  r.text("user_phone", d.user_phone);
  r.text("user_mail", d.user_mail);
  r.text("prodident", d.prodident);
  r.text("ordtypext", d.ordtypext);
  r.text("ordstatext", d.ordstatext);
  r.decimal("volcompleted", d.volcompleted);
  r.decimal("sumpaidcompleted", d.sumpaidcompleted);
  r.decimal("sumpaidcardcompleted", d.sumpaidcardcompleted);
  r.decimal("sumpaidcard", d.sumpaidcard);
  r.integer("statusint", d.statusint);
  r.integer("statusconfirmed", d.statusconfirmed);
  r.integer("errcode", d.errcode);
  r.text("azstimebeg", d.azstimebeg);
  r.text("azstimelast", d.azstimelast);
}

// The outcome of one of the two column updates: the libpq status, logged when not a success.
int run_update(PGconn* conn, const std::string& sql, const char* channel,
               const std::string& failure_text) {
  const outcome out = run(conn, sql);
  if (out.status != PGRES_COMMAND_OK) {
    log_failure(web::log_level::error, channel, failure_text, out.message);
  }
  return out.status;
}

int refuse(const char* channel, const std::string& failure_text, const std::string& why) {
  log_failure(web::log_level::error, channel, failure_text, why);
  return PGRES_FATAL_ERROR;
}

std::string bad_trannum(const std::string& v) {
  return "номер транзакции не является целым числом : '" + v + "'";
}

bool digits(const std::string& text, std::size_t from, std::size_t count) {
  for (std::size_t i = from; i < from + count; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') {
      return false;
    }
  }
  return true;
}

int two_digits(const std::string& text, std::size_t at) {
  return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

} // namespace

// --- SQL texts ----------------------------------------------------------------------------------

namespace order_sql {

std::string select_order(PGconn* conn, int id_app, const std::string& id) {
  return "SELECT id, id_app, to_char(timebeg, 'YYYY-MM-DD HH24:MI:SS.US') as timebeg"
         ", ord_typ, orderval, id_shop, shopext, trk, prodcod, prodname, priceid, prodext"
         ", price, ord_sum, ord_vol, sumpaid, status, to_char(timeend, 'YYYY-MM-DD "
         "HH24:MI:SS.US') as timeend"
         ", reasonid, reason, volume, summa, contractid, trannum, user_phone, user_mail"
         ", prodident, ordtypext, ordstatext, volcompleted, sumpaidcompleted, sumpaidcardcompleted"
         ", sumpaidcard, statusint, statusconfirmed, errcode"
         ", to_char(azstimebeg, 'DD.MM.YYYY HH24:MI:SS') as azstimebeg"
         ", to_char(azstimelast, 'DD.MM.YYYY HH24:MI:SS') as azstimelast"
         " FROM orders WHERE id = '" +
         esc(conn, id) + "'   AND id_app = " + num(id_app) + " LIMIT 1";
}

std::string insert_order(PGconn* conn, const OrderData& d) {
  const std::vector<std::string> values = {
      "'" + esc(conn, d.id) + "'",
      num(d.id_app),
      d.timebeg.empty() ? null_text : ts1(conn, d.timebeg),
      int_or_null(d.ord_typ, d.ord_typ < 0),
      d4_or_null(d.orderval),
      int_or_null(d.id_shop, d.id_shop < 0),
      // The extended id decides, not the value written.
      d.StationExtendedId.empty() ? null_text : "'" + esc(conn, d.shopext) + "'",
      int_or_null(d.trk, d.trk <= 0),
      int_or_null(d.prodcod, d.prodcod < 0),
      quoted_or_null(conn, d.prodname),
      quoted_or_null(conn, d.priceid),
      quoted_or_null(conn, d.prodext),
      d4_or_null(d.price),
      d4_or_null(d.ord_sum),
      d4_or_null(d.ord_vol),
      d4_or_null(d.sumpaid),
      int_or_null(d.status, d.status < 0),
      d.timeend.empty() ? null_text : ts1(conn, d.timeend),
      reason_or_null(conn, d.reasonid),
      reason_or_null(conn, d.reason),
      d4_or_null(d.volume),
      d4_or_null(d.summa),
      quoted_or_null(conn, d.contractid),
      int_or_null(d.trannum, d.trannum <= 0),
      quoted_or_null(conn, d.user_phone),
      quoted_or_null(conn, d.user_mail),
      quoted_or_null(conn, d.prodident),
      quoted_or_null(conn, d.ordtypext),
      quoted_or_null(conn, d.ordstatext),
      d4_or_null(d.volcompleted),
      d4_or_null(d.sumpaidcompleted),
      d4_or_null(d.sumpaidcardcompleted),
      d4_or_null(d.sumpaidcard),
      int_or_null(d.statusint, d.statusint < 0),
      d.statusconfirmed < 0 ? null_text : (d.statusconfirmed != 0 ? "1" : "0"),
      num(d.errcode),
      d.azstimebeg.empty() ? null_text : ts2(conn, d.azstimebeg),
      d.azstimelast.empty() ? null_text : ts2(conn, d.azstimelast),
  };
  std::string sql =
      "INSERT INTO orders(id, id_app, timebeg, ord_typ, orderval, id_shop, shopext, trk, prodcod, "
      "prodname, priceid, prodext, price, ord_sum, ord_vol, sumpaid, status, timeend, reasonid, "
      "reason, volume, summa, contractid, trannum, user_phone, user_mail, prodident, ordtypext, "
      "ordstatext, volcompleted, sumpaidcompleted, sumpaidcardcompleted, sumpaidcard, statusint, "
      "statusconfirmed, errcode, azstimebeg, azstimelast) VALUES (";
  for (std::size_t i = 0; i < values.size(); ++i) {
    sql += (i == 0 ? "" : ",") + values[i];
  }
  return sql + ")";
}

namespace {

// ", column = value" for every column `d` sets, in the order of the table.
void append_set_columns(std::string& sql, PGconn* conn, const OrderData& d, bool with_errcode) {
  if (!d.timebeg.empty()) {
    sql += ", timebeg = " + ts1(conn, d.timebeg);
  }
  if (d.ord_typ != -1) {
    sql += ", ord_typ = " + num(d.ord_typ);
  }
  if (d.id_shop != -1) {
    sql += ", id_shop = " + num(d.id_shop);
  }
  if (!d.StationExtendedId.empty()) {
    sql += ", shopext = '" + esc(conn, d.shopext) + "'";
  }
  if (d.trk > 0) {
    sql += ", trk = " + num(d.trk);
  }
  set_d4(sql, ", orderval = ", d.orderval);
  if (d.prodcod != -1) {
    sql += ", prodcod = " + num(d.prodcod);
  }
  set_text(sql, conn, ", prodname = '", d.prodname);
  set_text(sql, conn, ", priceid = '", d.priceid);
  set_text(sql, conn, ", prodext = '", d.prodext);
  set_d4(sql, ", price = ", d.price);
  set_d4(sql, ", ord_sum = ", d.ord_sum);
  set_d4(sql, ", ord_vol = ", d.ord_vol);
  set_d4(sql, ", sumpaid = ", d.sumpaid);
  if (d.status != -1) {
    sql += ", status = " + num(d.status);
  }
  if (!d.timeend.empty()) {
    sql += ", timeend = " + ts1(conn, d.timeend);
  }
  set_reason(sql, conn, ", reasonid = ", d.reasonid);
  set_reason(sql, conn, ", reason = ", d.reason);
  set_d4(sql, ", volume = ", d.volume);
  set_d4(sql, ", summa = ", d.summa);
  set_text(sql, conn, ", contractid = '", d.contractid);
  if (d.trannum != 0) {
    sql += ", trannum = " + num(d.trannum);
  }
  set_text(sql, conn, ", user_phone = '", d.user_phone);
  set_text(sql, conn, ", user_mail = '", d.user_mail);
  set_text(sql, conn, ", prodident = '", d.prodident);
  set_text(sql, conn, ", ordtypext = '", d.ordtypext);
  set_text(sql, conn, ", ordstatext = '", d.ordstatext);
  set_d4(sql, ", volcompleted = ", d.volcompleted);
  set_d4(sql, ", sumpaidcompleted = ", d.sumpaidcompleted);
  set_d4(sql, ", sumpaidcardcompleted = ", d.sumpaidcardcompleted);
  set_d4(sql, ", sumpaidcard = ", d.sumpaidcard);
  if (d.statusint != -1) {
    sql += ", statusint = " + num(d.statusint);
  }
  if (d.statusconfirmed >= 0) {
    sql += d.statusconfirmed != 0 ? ", statusconfirmed = 1" : ", statusconfirmed = 0";
  }
  if (with_errcode) {
    sql += ", errcode = " + num(d.errcode);
  }
  if (!d.azstimebeg.empty()) {
    sql += ", azstimebeg = " + ts2(conn, d.azstimebeg);
  }
  if (!d.azstimelast.empty()) {
    sql += ", azstimelast = " + ts2(conn, d.azstimelast);
  }
}

} // namespace

std::string update_order(PGconn* conn, const OrderData& d) {
  const std::string id = esc(conn, d.id);
  std::string sql = "UPDATE orders SET id = '" + id + "', id_app = " + num(d.id_app);
  append_set_columns(sql, conn, d, true);
  return sql + " WHERE id = '" + id + "' AND id_app = " + num(d.id_app);
}

std::string update_order_step(PGconn* conn, const OrderData& d, const std::vector<int>& from) {
  std::string columns;
  append_set_columns(columns, conn, d, false);
  if (columns.empty()) {
    return std::string();
  }
  std::string states;
  for (int state : from) {
    states += (states.empty() ? "" : ",") + num(state);
  }
  // NULL is the unset status (-1) of the table of transitions.
  return "UPDATE orders SET " + columns.substr(2) + key_clause(conn, d.id_app, d.id) +
         " AND coalesce(statusint, -1) IN (" + (states.empty() ? "NULL" : states) + ")";
}

std::string cancel_order(PGconn* conn, int id_app, const std::string& id, const std::string& reason,
                         int status) {
  return "Update orders set status = " + num(status) + ", reason  = '" + esc(conn, reason) +
         "', timeend = now()" + key_clause(conn, id_app, id);
}

std::string set_transact(PGconn* conn, int id_app, const std::string& id, int trannum) {
  return "Update orders set trannum = " + num(trannum) + key_clause(conn, id_app, id);
}

std::string check_order(PGconn* conn, int id_app, const std::string& id) {
  return "SELECT o.id, o.id_shop, o.status FROM orders o WHERE o.id_app = " + num(id_app) +
         " AND o.id = '" + esc(conn, id) + "'";
}

bool is_decimal_number(const std::string& text) {
  std::size_t i = text.empty() || text[0] != '-' ? 0 : 1;
  const std::size_t int_start = i;
  while (i < text.size() && digits(text, i, 1)) {
    ++i;
  }
  if (i == int_start) {
    return false;
  }
  if (i == text.size()) {
    return true;
  }
  if (text[i] != '.' || i + 1 == text.size()) {
    return false;
  }
  for (++i; i < text.size(); ++i) {
    if (!digits(text, i, 1)) {
      return false;
    }
  }
  return true;
}

bool is_station_time(const std::string& text) {
  // DD.MM.YYYY HH:MI:SS
  if (text.size() != 19 || !digits(text, 0, 2) || text[2] != '.' || !digits(text, 3, 2) ||
      text[5] != '.' || !digits(text, 6, 4) || text[10] != ' ' || !digits(text, 11, 2) ||
      text[13] != ':' || !digits(text, 14, 2) || text[16] != ':' || !digits(text, 17, 2)) {
    return false;
  }
  const int day = two_digits(text, 0);
  const int month = two_digits(text, 3);
  return day >= 1 && day <= 31 && month >= 1 && month <= 12 && two_digits(text, 11) <= 23 &&
         two_digits(text, 14) <= 59 && two_digits(text, 17) <= 59;
}

} // namespace order_sql

// --- the backend's order operations -------------------------------------------------------------

int PGBackend::_sel_order(OrderData& d, int& status) {
  status = 0;
  if (!conn_) {
    return -1;
  }
  if (d.id_app < 0 || d.id.empty()) {
    return 0;
  }
  const outcome out = run(conn_.get(), order_sql::select_order(conn_.get(), d.id_app, d.id));
  status = out.status;
  if (status != PGRES_TUPLES_OK) {
    log_failure(web::log_level::debug, "Database/SELECT order",
                "Ошибка получения данных заказа : (заказ : '" + d.id + "') : ", out.message);
    return 0;
  }
  const int rows = PQntuples(out.res.get());
  const std::string id = d.id;
  for (int row = 0; row < rows; ++row) {
    read_order_row(row_reader(out.res.get(), row, id), d);
  }
  return rows;
}

int PGBackend::_ins_order(OrderData& d, int& status) {
  status = 0;
  if (!conn_) {
    return -1;
  }
  if (d.id_app < 0 || d.id.empty()) {
    return 0;
  }
  const outcome out = run(conn_.get(), order_sql::insert_order(conn_.get(), d));
  status = out.status;
  if (status != PGRES_COMMAND_OK) {
    log_failure(web::log_level::error, "Database/INSERT order",
                "Ошибка добавления данных о заказе (заказ : '" + d.id + "') : ", out.message);
    return 0;
  }
  return 1;
}

int PGBackend::_upd_order(OrderData& d, int& status) {
  status = 0;
  if (!conn_) {
    return -1;
  }
  if (d.id_app < 0 || d.id.empty()) {
    return 0;
  }
  const outcome out = run(conn_.get(), order_sql::update_order(conn_.get(), d));
  status = out.status;
  if (status != PGRES_COMMAND_OK) {
    log_failure(web::log_level::error, "Database/UPDATE order",
                "Ошибка обновления данных заказа (заказ : '" + d.id + "') : ", out.message);
    return 0;
  }
  return 1;
}

int PGBackend::getOrder(int id_app, const std::string& id, OrderData& d, int& status) {
  d.id = id;
  d.id_app = id_app;
  return _sel_order(d, status);
}

int PGBackend::setOrder(OrderData& d, int& status, QueryModeType mode) {
  switch (mode) {
  case QUERY_INSERT:
    return _ins_order(d, status);
  case QUERY_UPDATE:
    return _upd_order(d, status);
  case QUERY_UPSERT: {
    OrderData stored;
    stored.id = d.id;
    stored.id_app = d.id_app;
    const int rows = _sel_order(stored, status);
    if (status != PGRES_TUPLES_OK || rows < 0) {
      return -1;
    }
    return rows > 0 ? _upd_order(d, status) : _ins_order(d, status);
  }
  }
  return -1;
}

int PGBackend::process_order(OrderData& d, int& out) {
  if (!conn_) {
    return -1;
  }
  out = d.ordstatext == "OrderCreated" ? created_code : station_canceled_code;
  return 0;
}

int PGBackend::cancel_order(int id_app, const std::string& id, const std::string& reason,
                            const std::string& status_name) {
  if (!conn_) {
    return -1;
  }
  int status = getStatusTypeId(id_app, status_name);
  if (status < 0) {
    status = 4;
  }
  return run_update(conn_.get(), order_sql::cancel_order(conn_.get(), id_app, id, reason, status),
                    "Database/CANCEL order",
                    "Ошибка обновления статуса заказа (заказ : '" + id + "') : ");
}

int PGBackend::set_transact(int id_app, const std::string& id, const std::string& trannum) {
  if (!conn_) {
    return -1;
  }
  static constexpr const char* channel = "Database/Set transaction";
  const std::string failure = "Ошибка обновления данных заказа (заказ : '" + id + "') : ";
  int number = 0;
  if (!str::is_decimal_int(trannum, number)) {
    return refuse(channel, failure, bad_trannum(trannum));
  }
  return run_update(conn_.get(), order_sql::set_transact(conn_.get(), id_app, id, number), channel,
                    failure);
}

bool PGBackend::check_order(int id_app, const std::string& id, int& id_shop, int& status) {
  if (!conn_ || id.empty()) {
    return false;
  }
  const outcome out = run(conn_.get(), order_sql::check_order(conn_.get(), id_app, id));
  if (out.status != PGRES_TUPLES_OK) {
    log_failure(web::log_level::debug, "Database/Check order",
                "Ошибка проверки данных заказа ( заказ : '" + id + "') : ", out.message);
    return false;
  }
  for (int row = 0; row < PQntuples(out.res.get()); ++row) {
    const row_reader r(out.res.get(), row, id);
    r.integer("id_shop", id_shop);
    r.integer("status", status);
  }
  return id_shop > 0;
}

int PGBackend::write_order_step(OrderData d, const std::vector<int>& from, std::string& failure) {
  if (!conn_) {
    failure = "нет соединения с БД";
    return -1;
  }
  d.status = -1;
  if (!d.ordstatext.empty()) {
    d.status = getStatusTypeId(d.id_app, d.ordstatext);
    if (d.status < 0) {
      failure = "статус '" + d.ordstatext + "' не известен";
      return -2;
    }
  }
  const std::string sql = order_sql::update_order_step(conn_.get(), d, from);
  if (sql.empty()) {
    return 1;
  }
  const outcome out = run(conn_.get(), sql);
  if (out.status != PGRES_COMMAND_OK) {
    failure = out.message;
    return -1;
  }
  int rows = 0;
  return str::_stoi(PQcmdTuples(out.res.get()), &rows) == 0 && rows > 0 ? 1 : 0;
}

bool PGBackend::read_order_status(int id_app, const std::string& id, int& statusint) {
  if (!conn_) {
    return false;
  }
  static constexpr const char* sql =
      "SELECT coalesce(statusint, -1) FROM orders WHERE id_app = $1::integer AND id = $2";
  const pg_result_ptr res = exec_params(conn_.get(), sql, {std::to_string(id_app), id});
  if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK || PQntuples(res.get()) != 1) {
    return false;
  }
  return str::_stoi(PQgetvalue(res.get(), 0, 0), &statusint) == 0;
}

} // namespace content
