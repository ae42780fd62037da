// The price synchronisation: the latest effective price per station and product.
#include "sync_prices.h"

#include "web/log.h"

namespace srv_apps {
namespace {

// Only known stations and products; a stored price gives way only to a later one. Returns the
// number of prices inserted or replaced.
constexpr const char* merge_sql =
    "WITH recs AS ( INSERT INTO curprices(id_shop, prodcod, price, timeset, timeget, deleted) "
    "SELECT t.id_shop, t.prodcod, t.price, t.timeset, t.timeget, t.deleted FROM temp_load_prices "
    "t, azslist a, products p WHERE t.id_shop = a.id AND t.prodcod = p.prodcod AND t.timeget = $1 "
    " ON CONFLICT ON CONSTRAINT curprices_pkey DO UPDATE SET price = EXCLUDED.price, timeset = "
    "EXCLUDED.timeset, timeget = EXCLUDED.timeget, deleted = EXCLUDED.deleted WHERE "
    "curprices.timeset < EXCLUDED.timeset RETURNING 1 AS done) SELECT sum(recs.done) from recs;";

} // namespace

const sync_data_set& sync_prices::data_set() {
  using namespace pg_type;
  static const sync_data_set set{
      .tablename = "curprices",
      .start_message = "Запуск сихронизации цен",
      .load_message = "Запуск синхронизации цен",
      .end_message = "Завершение процесса синхронизации цен",
      .merge_failure = "Ошибка синхронизации цен (добавление/обновление из временных таблиц)",
      .log_unauthorised = false,
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

void sync_prices::get_sync_prices() {
  run(data_set(), static_cast<int>(settings.sync_price_interval.count()));
}

bool sync_prices::merge(PGconn* local, const std::string& stamp, int loaded) {
  merge_transaction tx(local, stamp, channel(), data_set().merge_failure);
  const content::pg_result_ptr res = tx.run(merge_sql, PGRES_TUPLES_OK);
  if (!res || !tx.commit()) {
    return false;
  }
  LOG(channel(), info,
      "Новых/измененных записей " << returned_count(res.get()).value_or(0) << " из " << loaded
                                  << " полученных");
  return true;
}

} // namespace srv_apps
