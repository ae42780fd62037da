// Reference lookups (stations, dispensers, product maps, order types and statuses) and the
// current price of a station's product. Every value is bound as a parameter, never spliced in.
#include "conn_pg.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "conn_order_sql.h"
#include "conn_reference_sql.h"
#include "conn_session.h"
#include "str.h"
#include "web/log.h"

namespace content {
namespace {

void log_failure(web::log_level level, const char* channel, const std::string& text,
                 const PGresult* res, const char* file = __builtin_FILE(),
                 int line = __builtin_LINE()) {
  if (web::log_enabled(level)) {
    web::log_write(channel, level, text + one_line(PQresultErrorMessage(res)), file, line);
  }
}

bool tuples_ok(const pg_result_ptr& res) {
  return res && PQresultStatus(res.get()) == PGRES_TUPLES_OK;
}

// Column 0 of the last row; nullopt without rows or for NULL.
std::optional<std::string> last_value(const pg_result_ptr& res) {
  const int rows = PQntuples(res.get());
  if (rows == 0 || PQgetisnull(res.get(), rows - 1, 0)) {
    return std::nullopt;
  }
  return std::string(PQgetvalue(res.get(), rows - 1, 0));
}

int to_int(const std::optional<std::string>& text, int fallback) {
  int out = fallback;
  if (!text || str::_stoi(*text, &out) != 0) {
    return fallback;
  }
  return out;
}

std::string num(int n) { return std::to_string(n); }

// The 4 decimals in which prices are written.
std::string price_text(double price) { return str::dbl2str(price, 4); }

} // namespace

// One pipeline, before the event's transaction begins (an error then ends only its own
// statement's implicit transaction and is not kept: the check runs it again and reports it).
bool PGBackend::prefetch_order_lookups(int id_app, const std::string& order_id,
                                       const std::string& status, const std::string& station,
                                       const std::string& order_type, const std::string& product,
                                       bool try_lock) {
  pooled_session* session = leased_ ? pooled_session::of(conn_.get()) : nullptr;
  if (session == nullptr || PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) {
    return false;
  }
  // The stored row, read under the order's lock, as the checks read it again inside their
  // transaction; with the lock's first try also once before it, for the check whether the order
  // is stored already (which answers a repeated event without waiting for the lock).
  const std::string stored_order = order_sql::select_order(conn_.get(), id_app, order_id);
  const bool stored_readable = stored_order.find('\0') == std::string::npos;
  std::vector<piped_statement> statements;
  std::size_t lock_at = 0;
  if (try_lock) {
    if (stored_readable) {
      statements.push_back({stored_order.c_str(), {}});
    }
    lock_at = statements.size();
    statements.push_back({reference_sql::try_lock_order, {num(id_app), order_id}});
  }
  if (status_type_ids_.count({id_app, status}) == 0) {
    statements.push_back({reference_sql::status_type, {num(id_app), status}});
  }
  if (int id = 0; str::is_decimal_int(station, id)) {
    statements.push_back({reference_sql::station, {num(id)}});
    statements.push_back({reference_sql::station_link, {num(id)}});
  }
  statements.push_back({reference_sql::order_type, {num(id_app), order_type}});
  statements.push_back({reference_sql::product, {num(id_app), product}});
  if (stored_readable) {
    statements.push_back({stored_order.c_str(), {}});
  }
  std::vector<pg_result_ptr> results = exec_pipeline(conn_.get(), statements);
  const bool locked = try_lock && results.size() > lock_at && tuples_ok(results[lock_at]) &&
                      PQntuples(results[lock_at].get()) == 1 &&
                      std::strcmp(PQgetvalue(results[lock_at].get(), 0, 0), "t") == 0;
  // Without the lock only what was read before it stands.
  const std::size_t kept = try_lock && !locked ? std::min(lock_at, results.size()) : results.size();
  for (std::size_t i = 0; i < kept; ++i) {
    if (!tuples_ok(results[i])) {
      continue;
    }
    std::vector<std::string> values;
    for (const auto& p : statements[i].params) {
      values.push_back(*p);
    }
    session->keep_read_ahead(statements[i].sql, std::move(values), std::move(results[i]));
  }
  return locked;
}

int PGBackend::check_azs(const std::string& id) {
  int station = 0;
  if (!conn_ || !str::is_decimal_int(id, station)) {
    return -1;
  }
  pg_result_ptr res = exec_params(conn_.get(), reference_sql::station, {num(station)});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::debug, "Database/Check AZS", "Ошибка проверки данных АЗС : ",
                res.get());
    return -1;
  }
  return to_int(last_value(res), -1);
}

bool PGBackend::check_azs_conf(const std::string& id, const std::string& trk) {
  int station = 0;
  int dispenser = 0;
  if (!conn_ || !str::is_decimal_int(id, station) || !str::is_decimal_int(trk, dispenser)) {
    return false;
  }
  static constexpr const char* sql = "SELECT a.id, c.trk FROM azsconf c, azslist a"
                                     " WHERE c.id_shop = a.id AND a.id = $1::integer"
                                     " AND c.trk = $2::integer AND a.deleted = 'f'"
                                     " AND c.deleted = 'f' LIMIT 1";
  pg_result_ptr res = exec_params(conn_.get(), sql, {num(station), num(dispenser)});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::debug, "Database/Check config",
                "Ошибка проверки конфигурации АЗС : ", res.get());
    return false;
  }
  const int rows = PQntuples(res.get());
  if (rows == 0) {
    return false;
  }
  int found_station = 0;
  int found_trk = 0;
  if (str::_stoi(PQgetvalue(res.get(), rows - 1, 0), &found_station) != 0 ||
      str::_stoi(PQgetvalue(res.get(), rows - 1, 1), &found_trk) != 0) {
    return false;
  }
  return found_station >= 1 && found_trk >= 1;
}

std::string PGBackend::getProductMap(int id_app, int prodcod) {
  if (!conn_) {
    return "";
  }
  static constexpr const char* sql = "SELECT m.prodmap FROM prodmaps m WHERE m.id_app = "
                                     "$1::integer AND m.prodcod = $2::integer LIMIT 1";
  pg_result_ptr res = exec_params(conn_.get(), sql, {num(id_app), num(prodcod)});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::error, "Database/Get Product Map",
                "Ошибка получения данных продукте (продукт : '" + num(prodcod) + "') : ",
                res.get());
    return "";
  }
  return last_value(res).value_or("");
}

int PGBackend::getProductId(int id_app, const std::string& prodmap) {
  if (!conn_) {
    return -1;
  }
  pg_result_ptr res = exec_params(conn_.get(), reference_sql::product, {num(id_app), prodmap});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::error, "Database/Get Product Id",
                "Ошибка получения данных о продукте (продукт : '" + prodmap + "') : ", res.get());
    return -1;
  }
  return to_int(last_value(res), -1);
}

int PGBackend::getOrderTypeId(int id_app, const std::string& name) {
  if (!conn_) {
    return -1;
  }
  pg_result_ptr res = exec_params(conn_.get(), reference_sql::order_type, {num(id_app), name});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::error, "Database/Get Order Type",
                "Ошибка получения данных о типе заказа (тип : '" + name + "') : ", res.get());
    return -1;
  }
  return to_int(last_value(res), -1);
}

int PGBackend::getStatusTypeId(int id_app, const std::string& name) {
  if (!conn_) {
    return -1;
  }
  const auto known = status_type_ids_.find({id_app, name});
  if (known != status_type_ids_.end()) {
    return known->second;
  }
  pg_result_ptr res = exec_params(conn_.get(), reference_sql::status_type, {num(id_app), name});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::error, "Database/Get Status Type",
                "Ошибка обновления данных о статусе заказа (статус : '" + name + "') : ",
                res.get());
    return -1;
  }
  const int id = to_int(last_value(res), -1);
  if (id >= 0) {
    status_type_ids_.emplace(std::make_pair(id_app, name), id);
  }
  return id;
}

std::string PGBackend::getOrderName(int id_app, int id) {
  if (!conn_) {
    return "";
  }
  static constexpr const char* sql = "SELECT o.sname FROM ordtypes o WHERE o.id_app = "
                                     "$1::integer AND o.id = $2::integer LIMIT 1";
  pg_result_ptr res = exec_params(conn_.get(), sql, {num(id_app), num(id)});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::error, "Database/Get Order TypeName",
                "Ошибка получения данных о типе заказа (тип : '" + num(id) + "') : ", res.get());
    return "";
  }
  return last_value(res).value_or("");
}

std::string PGBackend::getStatusName(int id_app, int id) {
  if (!conn_) {
    return "";
  }
  static constexpr const char* sql = "SELECT s.sname FROM stattypes s WHERE s.id_app = "
                                     "$1::integer AND s.id = $2::integer LIMIT 1";
  pg_result_ptr res = exec_params(conn_.get(), sql, {num(id_app), num(id)});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::error, "Database/Get Status TypeName",
                "Ошибка получения данных о статусе заказа (статус : '" + num(id) + "') : ",
                res.get());
    return "";
  }
  return last_value(res).value_or("");
}

int PGBackend::getTrkStatus(int id_shop, int prodcod, int trk) {
  if (!conn_) {
    return -1;
  }
  pg_result_ptr res = exec_params(conn_.get(), reference_sql::dispenser_state,
                                  {num(id_shop), num(prodcod), num(trk)});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::error, "Database/Get TRK State",
                "Ошибка получения статуса ТРК (продукт : '" + num(prodcod) + "' ТРК : '" +
                    num(trk) + "') : ",
                res.get());
    return -1;
  }
  return to_int(last_value(res), -1);
}

double PGBackend::getPrice(int id_shop, int prodcod, int trk) {
  if (!conn_) {
    return 0;
  }
  static constexpr const char* sql =
      "SELECT p.price FROM azsconf c, curprices p WHERE c.id_shop = p.id_shop"
      " AND c.prodcod = p.prodcod AND p.deleted = 'f' AND p.id_shop = $1::integer"
      " AND p.prodcod = $2::integer AND c.trk = $3::integer LIMIT 1";
  pg_result_ptr res = exec_params(conn_.get(), sql, {num(id_shop), num(prodcod), num(trk)});
  if (!tuples_ok(res)) {
    log_failure(web::log_level::error, "Database/Get Price",
                "Ошибка получения данных о цене (продукт : '" + num(prodcod) + "' ТРК : '" +
                    num(trk) + "') : ",
                res.get());
    return 0;
  }
  double price = 0;
  const auto text = last_value(res);
  if (!text || str::_stod(*text, &price) != 0) {
    return 0;
  }
  return price;
}

int PGBackend::_sel_prd_price(int id_shop, int prodcod, double& price, int& status) {
  status = 0;
  if (!conn_) {
    return -1;
  }
  if (id_shop < 1 || prodcod < 1) {
    return 0;
  }
  static constexpr const char* sql =
      "SELECT price FROM curprices WHERE id_shop = $1::integer   AND prodcod = $2::integer LIMIT 1";
  pg_result_ptr res = exec_params(conn_.get(), sql, {num(id_shop), num(prodcod)});
  status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
  if (!tuples_ok(res)) {
    log_failure(web::log_level::debug, "Database/SELECT price",
                "Ошибка получения данных по ценам : (АЗС : '" + num(id_shop) + "' Продукт: '" +
                    num(prodcod) + "') : ",
                res.get());
    return 0;
  }
  const int rows = PQntuples(res.get());
  double value = 0;
  if (const auto text = last_value(res); text && str::_stod(*text, &value) == 0) {
    price = value;
  }
  return rows;
}

namespace {

// The insert and the update of a price: the same checks, results and log shape.
int write_price(PGconn* conn, const char* sql, int id_shop, int prodcod, double price, int& status,
                const char* channel, const char* failure_text) {
  status = 0;
  if (conn == nullptr) {
    return -1;
  }
  if (id_shop < 1 || prodcod < 1 || !(price > 0)) {
    return 0;
  }
  pg_result_ptr res = exec_params(conn, sql, {num(id_shop), num(prodcod), price_text(price)});
  if (!res || PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
    status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
    log_failure(web::log_level::error, channel,
                std::string(failure_text) + " (АЗС : '" + num(id_shop) + "' Продукт : '" +
                    num(prodcod) + "') : ",
                res.get());
    return 0;
  }
  status = PGRES_COMMAND_OK;
  return 1;
}

} // namespace

int PGBackend::_ins_prd_price(int id_shop, int prodcod, double price, int& status) {
  static constexpr const char* sql =
      "INSERT INTO curprices( id_shop, prodcod, price, timeget, timeset) VALUES "
      "($1::integer,$2::integer,$3::numeric, now(), now())";
  return write_price(conn_.get(), sql, id_shop, prodcod, price, status, "Database/INSERT prices",
                     "Ошибка добавления данных по ценам");
}

int PGBackend::_upd_prd_price(int id_shop, int prodcod, double price, int& status) {
  static constexpr const char* sql =
      "UPDATE curprices SET price = $3::numeric, timeget = now(), timeset = now()"
      " WHERE id_shop = $1::integer AND prodcod = $2::integer";
  return write_price(conn_.get(), sql, id_shop, prodcod, price, status, "Database/UPDATE prices",
                     "Ошибка обновления данных по ценам");
}

int PGBackend::setPrice(int id_shop, int prodcod, double price, int& status, QueryModeType mode) {
  switch (mode) {
  case QUERY_INSERT:
    return _ins_prd_price(id_shop, prodcod, price, status);
  case QUERY_UPDATE:
    return _upd_prd_price(id_shop, prodcod, price, status);
  case QUERY_UPSERT: {
    double current = 0;
    const int rows = _sel_prd_price(id_shop, prodcod, current, status);
    if (status != PGRES_TUPLES_OK || rows < 0) {
      return -1;
    }
    return rows == 0 ? _ins_prd_price(id_shop, prodcod, price, status)
                     : _upd_prd_price(id_shop, prodcod, price, status);
  }
  }
  return -1;
}

} // namespace content
