// The three data sets of the synchronisation: their tables, load statements, back-office
// queries and merges.
#include "conn_sync_pg.h"

namespace content {
namespace {

// --- prices: the latest effective price per station and product ----------------------------------

// Only known stations and products; a stored price gives way only to a later one. Returns the
// number of prices inserted or replaced.
constexpr const char* prices_merge_sql =
    "WITH recs AS ( INSERT INTO curprices(id_shop, prodcod, price, timeset, timeget, deleted) "
    "SELECT t.id_shop, t.prodcod, t.price, t.timeset, t.timeget, t.deleted FROM temp_load_prices "
    "t, azslist a, products p WHERE t.id_shop = a.id AND t.prodcod = p.prodcod AND t.timeget = $1 "
    " ON CONFLICT ON CONSTRAINT curprices_pkey DO UPDATE SET price = EXCLUDED.price, timeset = "
    "EXCLUDED.timeset, timeget = EXCLUDED.timeget, deleted = EXCLUDED.deleted WHERE "
    "curprices.timeset < EXCLUDED.timeset RETURNING 1 AS done) SELECT sum(recs.done) from recs;";

// --- products: the back-office product directory ------------------------------------------------

// min_dens, max_dens and article are not loaded: the temporary table's defaults replace them.
constexpr const char* products_merge_sql =
    "INSERT INTO products  ( prodcod, prodtyp, title, min_dens, max_dens, showing, article, "
    "num_modification, full_del) SELECT prodcod, prodtyp, title, min_dens, max_dens, showing, "
    "article, num_modification, full_del FROM temp_load_products WHERE syncdate = $1 ON CONFLICT "
    "(prodcod) DO UPDATE SET prodtyp = EXCLUDED.prodtyp, title = EXCLUDED.title, min_dens = "
    "EXCLUDED.min_dens, max_dens = EXCLUDED.max_dens, showing = EXCLUDED.showing, article = "
    "EXCLUDED.article, num_modification = EXCLUDED.num_modification, full_del = "
    "EXCLUDED.full_del;";

// --- stations: stations, links and nozzles of the current shift ---------------------------------

// The stamp becomes timefix; pos_lat and pos_lon are written on insert only.
constexpr const char* stations_sql =
    "INSERT INTO azslist  (id, title, company, proprietor, exploit, owner, num_num, doc_num, "
    "doc_address, deleted, id_shop_type, azs_country, azs_city, azs_zip, azs_street, azs_addr, "
    "pos_lat, pos_lon, timefix) SELECT id, title, company, proprietor, exploit, owner, num_num, "
    "doc_num, doc_address, deleted, id_shop_type, azs_country, azs_city, azs_zip, azs_street, "
    "azs_addr, pos_lat, pos_lon, syncdate FROM temp_load_conf  WHERE rn = 1 AND syncdate = $1 ON "
    "CONFLICT (id) DO UPDATE SET title = EXCLUDED.title, company = EXCLUDED.company, proprietor = "
    "EXCLUDED.proprietor, exploit = EXCLUDED.exploit, owner = EXCLUDED.owner, num_num = "
    "EXCLUDED.num_num, doc_num = EXCLUDED.doc_num, doc_address = EXCLUDED.doc_address, deleted = "
    "EXCLUDED.deleted, id_shop_type = EXCLUDED.id_shop_type, azs_country = EXCLUDED.azs_country, "
    "azs_city = EXCLUDED.azs_city, azs_zip = EXCLUDED.azs_zip, azs_street = EXCLUDED.azs_street, "
    "azs_addr = EXCLUDED.azs_addr, timefix = EXCLUDED.timefix;";

// The controller key is never taken from the back-office: registration issues it, and a key
// that arrived here would let a controller in before it was registered.
constexpr const char* links_sql =
    "INSERT INTO links ( id_shop, addr, port ) SELECT id, link_addr, link_port FROM "
    "temp_load_conf WHERE rn = 1 and syncdate = $1 and link_addr is not null ON CONFLICT "
    "(id_shop) DO UPDATE SET addr = EXCLUDED.addr, port = EXCLUDED.port ;";

// Only nozzles of known products; a nozzle present again is enabled again.
constexpr const char* nozzles_sql =
    "INSERT INTO azsconf (id_shop, trk, sch, prodcod, tanknum) SELECT t.id, t.trk, t.sch, "
    "t.prodcod, t.tanknum FROM temp_load_conf t, products p WHERE t.prodcod = p.prodcod and "
    "syncdate = $1 ON CONFLICT ON CONSTRAINT azsconf_pkey DO UPDATE SET prodcod = "
    "EXCLUDED.prodcod, tanknum = EXCLUDED.tanknum, deleted = false;";

// Local nozzles of the stations in this run that the run does not list; their number.
constexpr const char* disable_sql =
    "WITH recs AS ( UPDATE azsconf set deleted=true FROM ( SELECT id_shop, trk, sch FROM( SELECT "
    "a.id_shop, a.trk, a.sch, t.sch as sch_del FROM (SELECT a0.id_shop, a0.trk, a0.sch, "
    "t1.syncdate FROM azsconf a0, temp_load_conf t1 WHERE t1.syncdate = $1 AND t1.id = "
    "a0.id_shop AND t1.rn = 1) as a LEFT JOIN temp_load_conf t ON a.id_shop=t.id and a.trk = "
    "t.trk and a.sch = t.sch and a.syncdate = t.syncdate) s WHERE sch_del is NULL ) d WHERE "
    "azsconf.id_shop = d.id_shop AND azsconf.trk = d.trk AND azsconf.sch = d.sch RETURNING 1 AS "
    "done ) SELECT sum(recs.done) FROM recs;";

const sync_tables& price_tables() {
  using namespace pg_type;
  static const sync_tables set{
      .tablename = "curprices",
      .text_null_as_empty = true,
      .load_statement = "INSERT INTO temp_load_prices(timeget, id_shop, prodcod, price, timeset, "
                        "deleted) VALUES ($1, $2, $3, $4, $5, $6);",
      .load_types = {timestamp, int4, int4, float8, timestamp, boolean},
      // Price, time and deleted flag are NOT NULL in curprices.
      .required_params = {4, 5, 6},
      .delete_older = "DELETE FROM temp_load_prices WHERE timeget < $1;",
      .delete_own = "DELETE FROM temp_load_prices WHERE timeget = $1;",
      // Per station and product the latest price already in effect on the back-office's clock,
      // for stations of price type 5 (or none) and products of the back-office directory.
      .backoffice_query =
          "SELECT t.id_shop, t.prod, t.price, t.settime as timeset, t.deleted FROM ( SELECT "
          "p.id_shop, p.prod, p.price , row_number() OVER (PARTITION BY p.id_shop, p.prod ORDER BY "
          "p.settime DESC) as rn , p.settime, COALESCE(a.reserv , 5) as typ, a.deleted FROM "
          "pd_prodprices p, sd_ident a WHERE p.id_shop = a.id AND p.settime < now() ) t, "
          "pd_products d WHERE t.rn = 1 AND t.typ = 5 AND t.prod = d.prodcod",
  };
  return set;
}

const sync_tables& product_tables() {
  static const sync_tables set{
      .tablename = "products",
      .text_null_as_empty = true,
      .load_statement = "INSERT INTO temp_load_products ( syncdate,  prodcod, prodtyp, title, "
                        "showing, num_modification, full_del) VALUES ($1, $2, $3, $4, $5, $6, $7);",
      .load_types = {pg_type::timestamp, pg_type::int4, pg_type::int4, pg_type::text,
                     pg_type::boolean, pg_type::numeric, pg_type::boolean},
      // The product code is the key of products.
      .required_params = {2},
      .delete_older = "DELETE FROM temp_load_products WHERE syncdate < $1;",
      .delete_own = "DELETE FROM temp_load_products WHERE syncdate = $1;",
      .backoffice_query =
          "SELECT prodcod, prodtyp, title, showing, num_modification, full_del FROM pd_products",
  };
  return set;
}

const sync_tables& station_tables() {
  using namespace pg_type;
  static const sync_tables set{
      .tablename = "azsconf",
      .text_null_as_empty = false,
      .load_statement =
          "INSERT INTO temp_load_conf (syncdate, rn, id, title, company, proprietor, exploit, "
          "owner, num_num, doc_num, doc_address, deleted, id_shop_type, azs_country, azs_city, "
          "azs_zip, azs_street, azs_addr, pos_lat, pos_lon, link_addr, link_port, link_pass, "
          "prodcod, trk, sch, tanknum) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, "
          "$13, $14, $15, $16, $17, $18, $19, $20, $21, $22, $23, $24, $25, $26, $27);",
      .load_types = {timestamp, int4,   int4,    text, int4, int4, int4, int4, int4,
                     int4,      text,   boolean, int4, text, text, text, text, text,
                     float8,    float8, text,    int4, text, int4, int4, int4, int4},
      // The station id is the key of azslist.
      .required_params = {3},
      .delete_older = "DELETE FROM temp_load_conf WHERE syncdate < $1;",
      .delete_own = "DELETE FROM temp_load_conf WHERE syncdate = $1;",
      // Stations with a shift and of type 1 or 2; one row per nozzle of the current shift, or
      // one row with NULL nozzle columns for a station without any.
      .backoffice_query =
          "with ss AS (select id_shop, max(num) as shift from sj_shifts group by id_shop), "
          "azslist AS ( SELECT a.id , a.title||' АЗС '||COALESCE(NULLIF(a.doc_num, 0), "
          "NULLIF(a.num_num, 0), a.id)::text as title, a.num_company as company, "
          "a.num_proprietor as proprietor, a.num_exploit as exploit, a.num_owner as owner, "
          "a.num_num, a.doc_num, a.doc_address::text, a.deleted, a.id_shop_type::text, "
          "a.azs_country::text, a.azs_city::text, a.azs_zip::text, a.azs_street::text, "
          "a.azs_addr::text, 0.0 as pos_lat, 0.0 as pos_lon, rc_addr.tvalue::text as link_addr, "
          "COALESCE((rc_port.tvalue::text)::integer, 58082)  as link_port, rc_pass.tvalue::text "
          "as link_pass from ss, sd_ident a LEFT JOIN uremote.sd_remote_conf as rc_addr on "
          "rc_addr.id_shop = a.id and rc_addr.typ = 0 LEFT JOIN uremote.sd_remote_conf as "
          "rc_port on rc_port.id_shop = a.id and rc_port.typ = 10 LEFT JOIN "
          "uremote.sd_remote_conf as rc_pass on rc_pass.id_shop = a.id and rc_pass.typ = 11 "
          "WHERE a.id = ss.id_shop), azsconf AS (SELECT m.id_shop, m.trk, m.sch, m.prodcod, "
          "m.tanknum, null::text as descr FROM pj_trksum AS m, ss WHERE m.id_shop = ss.id_shop "
          "AND m.shift = ss.shift AND m.typ = 1 AND m.prodcod IS NOT NULL AND m.prodcod != 0 "
          "GROUP BY m.id_shop, m.trk, m.sch, m.prodcod, m.tanknum) SELECT row_number() OVER "
          "(PARTITION BY l.id ORDER BY c.trk, c.sch, c.prodcod) as rn , l.id, l.title, "
          "l.company, l.proprietor, l.exploit, l.owner, l.num_num, l.doc_num, l.doc_address, "
          "l.deleted , l.id_shop_type, l.azs_country, l.azs_city, l.azs_zip, l.azs_street, "
          "l.azs_addr, l.pos_lat, l.pos_lon , l.link_addr, l.link_port, l.link_pass, c.prodcod, "
          "c.trk, c.sch, c.tanknum FROM azslist l LEFT JOIN azsconf c on c.id_shop = l.id WHERE "
          "l.id_shop_type::numeric in (1,2)",
  };
  return set;
}

} // namespace

const sync_tables& tables_of(sync_set set) {
  switch (set) {
  case sync_set::prices:
    return price_tables();
  case sync_set::products:
    return product_tables();
  case sync_set::stations:
    break;
  }
  return station_tables();
}

std::optional<int> merge_prices(const PGBackend& local, const std::string& stamp,
                                const std::string& channel, const std::string& failure_text) {
  merge_transaction tx(native_connection(local), stamp, channel, failure_text);
  const pg_result_ptr res = tx.run(prices_merge_sql, PGRES_TUPLES_OK);
  if (!res || !tx.commit()) {
    return std::nullopt;
  }
  return returned_count(res.get()).value_or(0);
}

bool merge_products(const PGBackend& local, const std::string& stamp, const std::string& channel,
                    const std::string& failure_text) {
  merge_transaction tx(native_connection(local), stamp, channel, failure_text);
  tx.run(products_merge_sql, PGRES_COMMAND_OK);
  return tx.commit();
}

bool merge_stations(const PGBackend& local, const std::string& stamp, const std::string& channel,
                    const std::string& failure_text) {
  merge_transaction tx(native_connection(local), stamp, channel, failure_text);
  tx.run(stations_sql, PGRES_COMMAND_OK);
  tx.run(links_sql, PGRES_COMMAND_OK);
  tx.run(nozzles_sql, PGRES_COMMAND_OK);
  tx.run(disable_sql, PGRES_TUPLES_OK);
  return tx.commit();
}

// The nozzles were marked in the committed merge, so a failure here leaves the run to finish.
std::optional<int> count_disabled_nozzles(const PGBackend& local, const std::string& stamp,
                                          const std::string& channel,
                                          const std::string& failure_text) {
  merge_transaction tx(native_connection(local), stamp, channel, failure_text);
  const pg_result_ptr res = tx.run(disable_sql, PGRES_TUPLES_OK);
  if (!res) {
    return std::nullopt;
  }
  const std::optional<int> disabled = returned_count(res.get());
  static_cast<void>(tx.commit());
  return disabled;
}

} // namespace content
