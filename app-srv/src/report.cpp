// The reconciliation report endpoint and its call to the aggregator.
#include "report.h"

#include <exception>
#include <utility>

#include "order_upstream.h"
#include "outgoing.h"
#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* report_path = "/api/order/report";
constexpr web::millis report_time_limit{20000}; // twice a status call's: a report can be long

constexpr const char* bad_parameters = "Ошибка в параметрах запроса";

call_texts report_texts() {
  call_texts t;
  t.handle_error = "Ошибка инициализации запроса сверки curl_easy_init()";
  t.send = "Отправка запроса сверки данных endpoint=";
  t.body_label = " postdata=";
  t.length_label = " length=";
  t.transfer_error = "Ошибка отправки запроса сверки данных curle_easy_perform() err=";
  t.reply = "Ответ на запрос сверки данных response=";
  return t;
}

// The page number: absent is 0; otherwise the integer at the start of the text ("2abc" is 2).
bool read_page(const std::string& text, int& page) {
  page = 0;
  return text.empty() || str::_stoi(text, &page) == 0;
}

} // namespace

std::string report_form(const std::string& apikey, const std::string& sdate,
                        const std::string& edate, const std::string& station_id, int page) {
  std::string body = "apikey=" + form_escape(apikey) + "&sdate=" + form_escape(sdate) +
                     "&edate=" + form_escape(edate);
  if (!station_id.empty()) {
    body += "&stationId=" + form_escape(station_id);
  }
  body += "&page=" + std::to_string(page);
  return body;
}

void report::get_report() {
  LOG(channel(), info, "Запрос данных для сверки");
  const std::string key = param("key");
  const std::string app = param("app");
  const std::string station_id = param("stationId");
  const std::string sdate = param("sdate");
  std::string edate = param("edate");
  const std::string page_text = param("page");
  web::context_ptr ctx = release_context();
  serve([&] {
    if (!check_service_key(key, key_holder::operator_)) {
      throw ExceptionHTTP("Ошибка авторизации", 401);
    }
    if (app.empty()) {
      throw ExceptionHTTP("Не указано приложение сверки", 401);
    }
    int page = 0;
    if (!read_page(page_text, page) || sdate.empty()) {
      throw ExceptionHTTP(bad_parameters, 400);
    }
    if (edate.empty()) {
      edate = sdate;
    }
    const std::string app_key = _application_key(app);
    std::string body;
    const long status = fwd_report(app_key, sdate, edate, station_id, page, body);
    _relay_answer(*ctx, status, std::move(body));
  });
}

std::string report::_application_key(const std::string& app) {
  // Closed on return: not held while the aggregator takes its time.
  const auto db =
      open_backend(services.app_db, "Нет подключения к БД", "Нет подключения к БД", 406, 406);
  content::AppTypeInfo application;
  application.getAppTypeValues(*db, app);
  if (application.key().empty() || application.id() < 0) {
    throw ExceptionHTTP("Приложение для сверки не найдено", 401);
  }
  return application.key();
}

void report::_relay_answer(web::context& ctx, long status, std::string body) {
  web::response& r = ctx.response();
  r.content_language("ru");
  r.status(static_cast<int>(status));
  if (status == 200) {
    std::string json = "{}";
    // Half of a document is not the aggregator's answer: none at all is better.
    if (!body.empty() && !web::json::canonicalize(body, json)) {
      LOG(channel(), error, "Ответ агрегатора на запрос сверки не является JSON");
      r.status(502);
    } else {
      r.content_type("application/json; charset=utf-8");
      r.body(std::move(json));
    }
  }
  ctx.complete_response();
}

long report::fwd_report(const std::string& apikey, const std::string& sdate,
                        const std::string& edate, const std::string& station_id, int page,
                        std::string& body) {
  outgoing_result result;
  try {
    outgoing_request rq = services.aggregator.form_post(
        report_path, report_form(apikey, sdate, edate, station_id, page));
    rq.time_limit = report_time_limit;
    rq.read_reply = true;
    rq.reply_limit = max_report_bytes; // a month of orders is far more than a status reply
    result = perform_call(rq, report_texts());
  } catch (const std::exception& e) {
    LOG("orvale", error, "Ошибка подготовки запроса сверки данных: " << e.what());
    return client_failure_status;
  }
  if (result.status == 200) {
    body = std::move(result.reply);
  }
  return result.status;
}

} // namespace srv_apps
