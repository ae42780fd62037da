// Persistence of orders: one `orders` row read into an OrderData, written back field by field, and
// the cancellation and transaction-number writes.
#include "conn_order_sql.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "conn_reference_sql.h"
#include "conn_session.h"
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

// `then`, when given, is a read the lease will make next: it goes in the statement's round trip,
// after it (it sees what the statement wrote), and its result waits on the lease (read-ahead).
outcome run(PGconn* conn, const std::string& sql, const piped_statement* then = nullptr) {
  outcome out;
  if (sql.find('\0') != std::string::npos) {
    out.message = "текст содержит нулевой байт";
    return out;
  }
  // A statement read ahead on this lease (a new order's stored row) is answered from there.
  pooled_session* session = pooled_session::of(conn);
  out.res = session != nullptr ? session->take_read_ahead(sql.c_str(), 0, nullptr) : nullptr;
  if (!out.res && session != nullptr && then != nullptr) {
    std::vector<pg_result_ptr> results = exec_pipeline(conn, {{sql.c_str(), {}}, *then});
    if (results.size() == 2 && result_status(results[1]) == PGRES_TUPLES_OK) {
      std::vector<std::string> values;
      for (const auto& p : then->params) {
        values.push_back(p.value_or(""));
      }
      session->keep_read_ahead(then->sql, std::move(values), std::move(results[1]));
    }
    out.res = first_result(conn, std::move(results));
  }
  if (!out.res && session != nullptr && session->opening_deferred()) {
    out.res = first_result(conn, exec_pipeline(conn, {{sql.c_str(), {}}}));
  }
  if (!out.res) {
    out.res.reset(PQexec(conn, sql.c_str()));
  }
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

// --- the columns -------------------------------------------------------------------------------

// How a column is read, inserted and updated; "not set" means NULL on insert and no SET clause.
enum class column_kind {
  key_text,     // id: part of the key, never SET
  key_int,      // id_app: likewise
  text,         // not set while ""
  reason,       // as text; the text "NULL" stores SQL NULL
  utc_time,     // the aggregator's YYYY-MM-DD HH24:MI:SS.US in UTC; not set while ""
  station_time, // the station's DD.MM.YYYY HH24:MI:SS; not set while ""
  code,         // an id or status: NULL on insert below 0, SET unless -1
  dispenser,    // not set at 0 or below
  trannum,      // NULL on insert at 0 or below, SET unless 0
  money,        // 4 decimals; not set at 0 or when not finite
  station_ext,  // written only when the aggregator sent a station extended id
  flag,         // statusconfirmed: 1 for anything but 0, not set below 0
  errcode,      // always written, but not by a step
};

struct order_column {
  const char* name;
  column_kind kind;
  std::string OrderData::*text = nullptr;
  int OrderData::*integer = nullptr;
  double OrderData::*decimal = nullptr;
  // The UPDATE lists this column right after the named one instead of at its place.
  const char* updated_after = nullptr;
};

constexpr order_column text_column(const char* name, column_kind kind,
                                   std::string OrderData::*member) {
  return {name, kind, member, nullptr, nullptr};
}
constexpr order_column int_column(const char* name, column_kind kind, int OrderData::*member) {
  return {name, kind, nullptr, member, nullptr};
}
constexpr order_column money_column(const char* name, double OrderData::*member,
                                    const char* updated_after = nullptr) {
  return {name, column_kind::money, nullptr, nullptr, member, updated_after};
}

using K = column_kind;
using D = OrderData;

// The `orders` columns in the order of SELECT and INSERT.
const order_column order_columns[] = {
    text_column("id", K::key_text, &D::id),
    int_column("id_app", K::key_int, &D::id_app),
    text_column("timebeg", K::utc_time, &D::timebeg),
    int_column("ord_typ", K::code, &D::ord_typ),
    money_column("orderval", &D::orderval, "trk"),
    int_column("id_shop", K::code, &D::id_shop),
    text_column("shopext", K::station_ext, &D::shopext),
    int_column("trk", K::dispenser, &D::trk),
    int_column("prodcod", K::code, &D::prodcod),
    text_column("prodname", K::text, &D::prodname),
    text_column("priceid", K::text, &D::priceid),
    text_column("prodext", K::text, &D::prodext),
    money_column("price", &D::price),
    money_column("ord_sum", &D::ord_sum),
    money_column("ord_vol", &D::ord_vol),
    money_column("sumpaid", &D::sumpaid),
    int_column("status", K::code, &D::status),
    text_column("timeend", K::utc_time, &D::timeend),
    text_column("reasonid", K::reason, &D::reasonid),
    text_column("reason", K::reason, &D::reason),
    money_column("volume", &D::volume),
    money_column("summa", &D::summa),
    text_column("contractid", K::text, &D::contractid),
    int_column("trannum", K::trannum, &D::trannum),
    text_column("user_phone", K::text, &D::user_phone),
    text_column("user_mail", K::text, &D::user_mail),
    text_column("prodident", K::text, &D::prodident),
    text_column("ordtypext", K::text, &D::ordtypext),
    text_column("ordstatext", K::text, &D::ordstatext),
    money_column("volcompleted", &D::volcompleted),
    money_column("sumpaidcompleted", &D::sumpaidcompleted),
    money_column("sumpaidcardcompleted", &D::sumpaidcardcompleted),
    money_column("sumpaidcard", &D::sumpaidcard),
    int_column("statusint", K::code, &D::statusint),
    int_column("statusconfirmed", K::flag, &D::statusconfirmed),
    int_column("errcode", K::errcode, &D::errcode),
    text_column("azstimebeg", K::station_time, &D::azstimebeg),
    text_column("azstimelast", K::station_time, &D::azstimelast),
};

// What SELECT lists for a column: timestamps come back as the text the program writes.
std::string selected(const order_column& c) {
  const std::string name = c.name;
  switch (c.kind) {
  case K::utc_time:
    return "to_char(" + name + ", 'YYYY-MM-DD HH24:MI:SS.US') as " + name;
  case K::station_time:
    return "to_char(" + name + ", 'DD.MM.YYYY HH24:MI:SS') as " + name;
  default:
    return name;
  }
}

void read_column(const row_reader& r, const order_column& c, OrderData& d) {
  if (c.text != nullptr) {
    r.text(c.name, d.*c.text);
  } else if (c.integer != nullptr) {
    r.integer(c.name, d.*c.integer);
  } else {
    r.decimal(c.name, d.*c.decimal);
  }
}

void read_order_row(const row_reader& r, OrderData& d) {
  for (const auto& c : order_columns) {
    read_column(r, c, d);
  }
}

// The value INSERT writes for a column.
std::string inserted(PGconn* conn, const order_column& c, const OrderData& d) {
  switch (c.kind) {
  case K::key_text:
    return "'" + esc(conn, d.*c.text) + "'";
  case K::key_int:
  case K::errcode:
    return num(d.*c.integer);
  case K::text:
    return quoted_or_null(conn, d.*c.text);
  case K::reason:
    return reason_or_null(conn, d.*c.text);
  case K::utc_time:
    return (d.*c.text).empty() ? null_text : ts1(conn, d.*c.text);
  case K::station_time:
    return (d.*c.text).empty() ? null_text : ts2(conn, d.*c.text);
  case K::code:
    return int_or_null(d.*c.integer, d.*c.integer < 0);
  case K::dispenser:
  case K::trannum:
    return int_or_null(d.*c.integer, d.*c.integer <= 0);
  case K::money:
    return d4_or_null(d.*c.decimal);
  case K::station_ext:
    // The extended id decides, not the value written.
    return d.StationExtendedId.empty() ? null_text : "'" + esc(conn, d.*c.text) + "'";
  case K::flag:
    return d.*c.integer < 0 ? null_text : (d.*c.integer != 0 ? "1" : "0");
  }
  return null_text;
}

// The value UPDATE sets for a column; nullopt when `d` does not set it.
std::optional<std::string> updated(PGconn* conn, const order_column& c, const OrderData& d,
                                   bool with_errcode) {
  switch (c.kind) {
  case K::key_text:
  case K::key_int:
    return std::nullopt;
  case K::text:
  case K::station_ext:
    if (c.kind == K::text ? (d.*c.text).empty() : d.StationExtendedId.empty()) {
      return std::nullopt;
    }
    return "'" + esc(conn, d.*c.text) + "'";
  case K::reason:
    if ((d.*c.text).empty()) {
      return std::nullopt;
    }
    return d.*c.text == null_text ? std::string(null_text) : "'" + esc(conn, d.*c.text) + "' ";
  case K::utc_time:
  case K::station_time:
    if ((d.*c.text).empty()) {
      return std::nullopt;
    }
    return c.kind == K::utc_time ? ts1(conn, d.*c.text) : ts2(conn, d.*c.text);
  case K::code:
    return d.*c.integer != -1 ? std::optional(num(d.*c.integer)) : std::nullopt;
  case K::dispenser:
    return d.*c.integer > 0 ? std::optional(num(d.*c.integer)) : std::nullopt;
  case K::trannum:
    return d.*c.integer != 0 ? std::optional(num(d.*c.integer)) : std::nullopt;
  case K::money:
    return is_set(d.*c.decimal) ? std::optional(d4(d.*c.decimal)) : std::nullopt;
  case K::flag:
    if (d.*c.integer < 0) {
      return std::nullopt;
    }
    return d.*c.integer != 0 ? "1" : "0";
  case K::errcode:
    return with_errcode ? std::optional(num(d.*c.integer)) : std::nullopt;
  }
  return std::nullopt;
}

void append_set_column(std::string& sql, PGconn* conn, const order_column& c, const OrderData& d,
                       bool with_errcode) {
  if (const auto value = updated(conn, c, d, with_errcode)) {
    sql += std::string(", ") + c.name + " = " + *value;
  }
}

// ", column = value" for every column `d` sets, in the order of the UPDATE.
void append_set_columns(std::string& sql, PGconn* conn, const OrderData& d, bool with_errcode) {
  for (const auto& c : order_columns) {
    if (c.updated_after != nullptr) {
      continue;
    }
    append_set_column(sql, conn, c, d, with_errcode);
    for (const auto& moved : order_columns) {
      if (moved.updated_after != nullptr && std::strcmp(moved.updated_after, c.name) == 0) {
        append_set_column(sql, conn, moved, d, with_errcode);
      }
    }
  }
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
  std::string sql = "SELECT ";
  for (const auto& c : order_columns) {
    sql += (&c == order_columns ? "" : ", ") + selected(c);
  }
  return sql + " FROM orders WHERE id = '" + esc(conn, id) + "'   AND id_app = " + num(id_app) +
         " LIMIT 1";
}

std::string insert_order(PGconn* conn, const OrderData& d) {
  std::string names;
  std::string values;
  for (const auto& c : order_columns) {
    const bool first = &c == order_columns;
    names += (first ? "" : ", ") + std::string(c.name);
    values += (first ? "" : ",") + inserted(conn, c, d);
  }
  return "INSERT INTO orders(" + names + ") VALUES (" + values + ")";
}

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
  // A new order's dispenser is checked next, in the same transaction (order_machine).
  const piped_statement dispenser{reference_sql::dispenser_state,
                                  {num(d.id_shop), num(d.prodcod), num(d.trk)}};
  const outcome out = run(conn_.get(), order_sql::insert_order(conn_.get(), d), &dispenser);
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

int PGBackend::write_order_step(OrderData d, const std::vector<int>& from, std::string& failure,
                                bool commit) {
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
  if (commit) {
    return write_committing(sql, failure);
  }
  if (sql.empty()) {
    return 1;
  }
  const outcome out = run(conn_.get(), sql);
  if (out.status != PGRES_COMMAND_OK) {
    failure = out.message;
    return -1;
  }
  return changed_rows(out.res.get()) > 0 ? 1 : 0;
}

int PGBackend::write_committing(const std::string& sql, std::string& failure) {
  PGconn* conn = conn_.get();
  std::vector<piped_statement> statements;
  if (!sql.empty()) {
    if (sql.find('\0') != std::string::npos) {
      failure = "текст содержит нулевой байт";
      const pg_result_ptr rolled(PQexec(conn, "ROLLBACK"));
      return -1;
    }
    statements.push_back({sql.c_str(), {}});
  }
  statements.push_back({"COMMIT", {}});
  const std::vector<pg_result_ptr> res = exec_pipeline(conn, statements);
  const pg_result_ptr* write = sql.empty() || res.empty() ? nullptr : &res.front();
  if (res.size() != statements.size() ||
      (write != nullptr && PQresultStatus(write->get()) != PGRES_COMMAND_OK)) {
    failure = write != nullptr ? result_message(*write) : one_line(PQerrorMessage(conn));
  } else if (!reached(res.back(), PGRES_COMMAND_OK) ||
             std::strcmp(PQcmdStatus(res.back().get()), "COMMIT") != 0) {
    // A transaction that had already failed answers COMMIT with the tag ROLLBACK and no error.
    failure = "COMMIT : " + (reached(res.back(), PGRES_COMMAND_OK)
                                 ? std::string(PQcmdStatus(res.back().get()))
                                 : result_message(res.back()));
  } else {
    return write == nullptr || changed_rows(write->get()) > 0 ? 1 : 0;
  }
  if (PQtransactionStatus(conn) != PQTRANS_IDLE) {
    const pg_result_ptr rolled(PQexec(conn, "ROLLBACK"));
  }
  return -1;
}

bool PGBackend::read_order_status(int id_app, const std::string& id, int& statusint) {
  if (!conn_) {
    return false;
  }
  const pg_result_ptr res =
      exec_params(conn_.get(), order_sql::read_status, {std::to_string(id_app), id});
  if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK || PQntuples(res.get()) != 1) {
    return false;
  }
  return str::_stoi(PQgetvalue(res.get(), 0, 0), &statusint) == 0;
}

} // namespace content
