// The price synchronisation: the latest effective price per station and product.
#include "sync_prices.h"

#include <optional>
#include "web/log.h"

namespace srv_apps {

const sync_data_set& sync_prices::data_set() {
  static const sync_data_set set{
      .tables = content::sync_set::prices,
      .start_message = "Запуск сихронизации цен",
      .load_message = "Запуск синхронизации цен",
      .end_message = "Завершение процесса синхронизации цен",
      .merge_failure = "Ошибка синхронизации цен (добавление/обновление из временных таблиц)",
      .log_unauthorised = false,
  };
  return set;
}

void sync_prices::get_sync_prices() {
  run(data_set(), static_cast<int>(settings.sync_price_interval.count()));
}

bool sync_prices::merge(content::PGBackend& local, const std::string& stamp, int loaded) {
  const std::optional<int> merged =
      content::merge_prices(local, stamp, channel(), data_set().merge_failure);
  if (!merged) {
    return false;
  }
  LOG(channel(), info, "Новых/измененных записей " << *merged << " из " << loaded << " полученных");
  return true;
}

} // namespace srv_apps
