// The catalogue statements and their run.
#include "conn_catalogue.h"

#include "conn_pg.h"

namespace content {

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

std::string station_statement(int id_app, const std::string& stations) {
  std::string sql = "SELECT json_agg(r.AzsConf) as d FROM ("
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

bool read_catalogue(const PGBackend& db, const std::string& sql, std::string& document,
                    std::string& failure) {
  const pg_result_ptr res = exec_params(native_connection(db), sql.c_str(), {});
  if (!reached(res, PGRES_TUPLES_OK)) {
    failure = one_line(PQresultErrorMessage(res.get()));
    return false;
  }
  const PGresult* r = res.get();
  document.clear();
  if (PQntuples(r) == 1 && !PQgetisnull(r, 0, 0)) {
    document.assign(PQgetvalue(r, 0, 0), static_cast<std::size_t>(PQgetlength(r, 0, 0)));
    return true;
  }
  for (int row = 0; row < PQntuples(r); ++row) {
    if (!PQgetisnull(r, row, 0)) {
      document += PQgetvalue(r, row, 0);
    }
  }
  return true;
}

} // namespace content
