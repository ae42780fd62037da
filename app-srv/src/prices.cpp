// The price list endpoint.
#include "prices.h"

#include "web/log.h"

namespace srv_apps {

// Distinct (station, product) pairs first: several nozzles of one product give one element.
std::string price_statement(int id_app, const std::string& stations) {
  std::string sql = "WITH cf AS ( SELECT distinct id_shop, prodcod from azsconf)"
                    " SELECT json_agg( t.jsdata ) FROM "
                    "(SELECT p.id_shop , json_build_object("
                    "'StationId', p.id_shop::text"
                    ",'ProductId', m.prodmap::text"
                    ",'Price' , round(p.price,2)) as jsdata"
                    " FROM curprices AS p, prodmaps AS m, apptypes AS a, cf"
                    " WHERE p.id_shop = cf.id_shop AND p.prodcod = cf.prodcod";
  if (!stations.empty()) {
    sql += " AND p.id_shop IN (" + stations + ")";
  }
  sql += " AND p.prodcod = m.prodcod AND m.id_app = a.id";
  sql += " AND a.id = " + std::to_string(id_app);
  sql += " ORDER BY p.id_shop, p.prodcod) AS t";
  return sql;
}

void prices::get_prices() {
  LOG(channel(), info, "Запрос списка цен");
  serve(&price_statement, "Ошибка запроса на получение цен из БД : ");
}

} // namespace srv_apps
