// The product synchronisation: the back-office product directory merged into products.
#include "sync_products.h"


namespace srv_apps {

const sync_data_set& sync_products::data_set() {
  static const sync_data_set set{
      .tables = content::sync_set::products,
      .start_message = "Запуск сихронизации Cправочника продуктов",
      .load_message = "Запуск синхронизации справочника продуктов",
      .end_message = "Завершение процесса синхронизации Справочника продуктов",
      .merge_failure =
          "Ошибка синхронизации справочника продуктов (добавление/обновление из временных таблиц)",
      .log_unauthorised = true,
  };
  return set;
}

void sync_products::get_sync_products() {
  run(data_set(), static_cast<int>(settings.sync_conf_interval.count()));
}

bool sync_products::merge(content::PGBackend& local, const std::string& stamp, int /* loaded */) {
  return content::merge_products(local, stamp, channel(), data_set().merge_failure);
}

} // namespace srv_apps
