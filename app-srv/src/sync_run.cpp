// The synchronisation run: from the key check to the cleanup of the run's temporary rows.
#include "sync_run.h"

#include "web/log.h"

namespace srv_apps {
namespace {

void reply_started(web::context& ctx) {
  web::response& r = ctx.response();
  r.status(200);
  r.content_type("application/json");
  r.content_encoding("utf-8");
  r.content_language("ru");
  ctx.complete_response();
}

} // namespace

// --- the run ------------------------------------------------------------------------------------

void sync_endpoint::run(const sync_data_set& set, int interval) {
  LOG(channel(), info, set.start_message);
  std::string key;
  if (request().method() == "POST") {
    key = request().form_value("key");
  }
  web::context_ptr ctx = release_context();
  serve([&] {
    if (!check_service_key(key, key_holder::operator_)) {
      throw ExceptionHTTP(set.log_unauthorised ? "Ошибка авторизации" : "", 401);
    }
    std::unique_ptr<content::PGBackend> local =
        open_backend(services.app_db, "Нет подключения к локальной БД",
                     "Нет подключения к локальной БД", 406, 406);
    std::string stamp;
    std::string error;
    switch (content::claim_sync_run(*local, set.tables, interval, stamp, error)) {
    case content::claim_result::failed:
      LOG(channel(), debug, error);
      throw ExceptionHTTP("", 504);
    case content::claim_result::refused:
      LOG(channel(), warning,
          "Ограничение по интервалу между синхронизациями [ " << interval << " мин. ]");
      throw ExceptionHTTP("", 504);
    case content::claim_result::claimed:
      break;
    }
    if (!content::prepare_sync_load(*local, set.tables, error)) {
      LOG(channel(), debug, error);
      throw ExceptionHTTP("", 500);
    }
    std::unique_ptr<content::PGBackend> velk = open_backend(
        services.backoffice_db, "Нет подключения к БД ВЕЛК", "Нет подключения к БД ВЕЛК", 406, 406);
    LOG(channel(), info, set.load_message);
    content::delete_older_loads(*local, set.tables, stamp);
    LOG(channel(), info, "Очистка временных таблиц");
    content::backoffice_rows rows;
    if (!content::read_backoffice(*velk, set.tables, rows, error)) {
      LOG(channel(), debug, error);
      throw ExceptionHTTP("", 404);
    }
    LOG(channel(), info, "Получено " << rows.count() << " записей из БД ВЕЛК");
    reply_started(*ctx);
    finish_run(set, *local, velk, std::move(rows), stamp);
  });
}

void sync_endpoint::finish_run(const sync_data_set& set, content::PGBackend& local,
                               std::unique_ptr<content::PGBackend>& velk,
                               content::backoffice_rows rows, const std::string& stamp) {
  LOG(channel(), info, "Загрузка даных во временные таблицы");
  const content::load_outcome load =
      content::load_sync_rows(local, rows, stamp, set.tables, channel());
  const int received = rows.count();
  rows.reset(nullptr);
  velk.reset();
  if (!load.ok) {
    // The syncinfo row keeps status -1: the next run after the interval loads afresh.
    LOG(channel(), error, "Ошибка загрузки данных во временные таблицы : " << load.error);
    return;
  }
  LOG(channel(), info, "Загружено " << load.loaded << " записей из " << received << " полученных");
  if (!merge(local, stamp, load.loaded)) {
    return;
  }
  // Statements run outside LOG: its message is not built at all when the level is off.
  const std::string status_error = content::set_sync_status(local, set.tables, stamp, "1");
  LOG(channel(), warning, "статус синхронизации :" << status_error);
  const std::string cleanup_error = content::delete_own_loads(local, set.tables, stamp);
  LOG(channel(), warning, "Очистка временных таблиц : " << cleanup_error);
  LOG(channel(), info, set.end_message);
}

} // namespace srv_apps
