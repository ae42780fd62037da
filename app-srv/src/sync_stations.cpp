// The station configuration synchronisation: stations, links and nozzles of the current shift.
#include "sync_stations.h"

#include "web/log.h"

namespace srv_apps {

const sync_data_set& sync_stations::data_set() {
  static const sync_data_set set{
      .tables = content::sync_set::stations,
      .start_message = "Запуск сихронизации конфигураций АЗС",
      .load_message = "Запуск синхронизации конфигураций АЗС",
      .end_message = "Завершение процесса синхронизации конфигураций АЗС",
      .merge_failure =
          "Ошибка синхронизации конфигураций АЗС (добавление/обновление из временных таблиц)",
      .log_unauthorised = true,
  };
  return set;
}

void sync_stations::get_sync_stations() {
  run(data_set(), static_cast<int>(settings.sync_conf_interval.count()));
}

bool sync_stations::merge(content::PGBackend& local, const std::string& stamp, int /* loaded */) {
  if (!content::merge_stations(local, stamp, channel(), data_set().merge_failure)) {
    return false;
  }
  count_disabled(local, stamp);
  return true;
}

// A failure here leaves the run to finish: the nozzles were marked in the committed merge.
void sync_stations::count_disabled(content::PGBackend& local, const std::string& stamp) {
  if (const auto disabled = content::count_disabled_nozzles(local, stamp, channel(),
                                                            "Ошибка определения отключенных ТРК")) {
    LOG(channel(), info, "Помечено " << *disabled << " записей ТРК как отключенные");
  }
}

} // namespace srv_apps
