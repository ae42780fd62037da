// The station configuration synchronisation: stations, links and nozzles of the current shift.
#include "sync_stations.h"

#include "web/log.h"

namespace srv_apps {
namespace {

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

} // namespace

const sync_data_set& sync_stations::data_set() {
  using namespace pg_type;
  static const sync_data_set set{
      .tablename = "azsconf",
      .start_message = "Запуск сихронизации конфигураций АЗС",
      .load_message = "Запуск синхронизации конфигураций АЗС",
      .end_message = "Завершение процесса синхронизации конфигураций АЗС",
      .merge_failure =
          "Ошибка синхронизации конфигураций АЗС (добавление/обновление из временных таблиц)",
      .log_unauthorised = true,
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

void sync_stations::get_sync_stations() {
  run(data_set(), static_cast<int>(settings.sync_conf_interval.count()));
}

bool sync_stations::merge(PGconn* local, const std::string& stamp, int /* loaded */) {
  {
    merge_transaction tx(local, stamp, channel(), data_set().merge_failure);
    tx.run(stations_sql, PGRES_COMMAND_OK);
    tx.run(links_sql, PGRES_COMMAND_OK);
    tx.run(nozzles_sql, PGRES_COMMAND_OK);
    tx.run(disable_sql, PGRES_TUPLES_OK);
    if (!tx.commit()) {
      return false;
    }
  }
  count_disabled(local, stamp);
  return true;
}

// Runs the disabling statement once more, now only for its count: the nozzles were marked in
// the committed merge, so a failure here leaves the run to finish.
void sync_stations::count_disabled(PGconn* local, const std::string& stamp) {
  merge_transaction tx(local, stamp, channel(), "Ошибка определения отключенных ТРК");
  const content::pg_result_ptr res = tx.run(disable_sql, PGRES_TUPLES_OK);
  if (!res) {
    return;
  }
  if (const auto disabled = returned_count(res.get())) {
    LOG(channel(), info, "Помечено " << *disabled << " записей ТРК как отключенные");
  }
  static_cast<void>(tx.commit());
}

} // namespace srv_apps
