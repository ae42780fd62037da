// The station configuration endpoint.
#include "stations.h"

#include "web/log.h"

namespace srv_apps {

std::string station_statement(int id_app, const std::string& stations) {
  std::string sql =
      "SELECT json_agg(r.AzsConf) as d FROM ("
      "SELECT l.id"
      ",json_build_object('Id',l.id::text"
      ",'Enable',COALESCE(NULLIF(not(l.deleted), true), ln.active, false)::bool"
      ",'Name',l.title::text"
      ",'Address',l.azs_addr::text"
      ",'Location',json_build_object('Lat', l.pos_lat, 'Lon', l.pos_lon)"
      ",'PostPay', COALESCE(ln.is_postpay, false::boolean)::boolean"
      ",'Columns', t.trk_colscf"
      ") as AzsConf"
      " FROM azslist l"
      ", links ln"
      ", (SELECT jt.id_shop, json_object_agg(jt.trk, jt.trk_js) as trk_colscf"
      " FROM (SELECT c.id_shop, c.trk"
      ", json_build_object('PostPay', COALESCE(max(c.is_postpay::integer)::boolean,  "
      "l0.is_postpay, false)::boolean"
      ",'Fuels', json_agg(m.prodmap)) as trk_js"
      " FROM azsconf  AS c, prodmaps AS m, apptypes AS a, links AS l0"
      " WHERE m.id_app = a.id AND c.prodcod = m.prodcod AND a.id=" +
      std::to_string(id_app) + "   AND l0.id_shop = c.id_shop";
  if (!stations.empty()) {
    sql += " AND c.id_shop in (" + stations + ")";
  }
  sql += "   AND c.deleted = false AND c.temp_blocked = false"
         " GROUP BY c.id_shop, c.trk, l0.is_postpay"
         ") AS jt"
         " GROUP BY jt.id_shop"
         ") AS t"
         " WHERE l.id = t.id_shop AND ln.id_shop = l.id"
         ") AS r;";
  return sql;
}

void stations::get_stations() {
  LOG(channel(), info, "Запрос конфигурации АЗС");
  serve(&station_statement, "");
}

} // namespace srv_apps
