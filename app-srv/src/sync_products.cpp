// The product synchronisation: the back-office product directory merged into products.
#include "sync_products.h"


namespace srv_apps {
namespace {

// min_dens, max_dens and article are not loaded: the temporary table's defaults replace them.
constexpr const char* merge_sql =
    "INSERT INTO products  ( prodcod, prodtyp, title, min_dens, max_dens, showing, article, "
    "num_modification, full_del) SELECT prodcod, prodtyp, title, min_dens, max_dens, showing, "
    "article, num_modification, full_del FROM temp_load_products WHERE syncdate = $1 ON CONFLICT "
    "(prodcod) DO UPDATE SET prodtyp = EXCLUDED.prodtyp, title = EXCLUDED.title, min_dens = "
    "EXCLUDED.min_dens, max_dens = EXCLUDED.max_dens, showing = EXCLUDED.showing, article = "
    "EXCLUDED.article, num_modification = EXCLUDED.num_modification, full_del = "
    "EXCLUDED.full_del;";

} // namespace

const sync_data_set& sync_products::data_set() {
  static const sync_data_set set{
      .tablename = "products",
      .start_message = "Запуск сихронизации Cправочника продуктов",
      .load_message = "Запуск синхронизации справочника продуктов",
      .end_message = "Завершение процесса синхронизации Справочника продуктов",
      .merge_failure =
          "Ошибка синхронизации справочника продуктов (добавление/обновление из временных таблиц)",
      .log_unauthorised = true,
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

void sync_products::get_sync_products() {
  run(data_set(), static_cast<int>(settings.sync_conf_interval.count()));
}

bool sync_products::merge(PGconn* local, const std::string& stamp, int /* loaded */) {
  merge_transaction tx(local, stamp, channel(), data_set().merge_failure);
  tx.run(merge_sql, PGRES_COMMAND_OK);
  return tx.commit();
}

} // namespace srv_apps
