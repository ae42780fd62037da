// The four post-payment workers and the two steps that run them side by side.
#include "order_postpay.h"

#include <exception>
#include <thread>

#include "web/log.h"

namespace srv_apps {
namespace {

constexpr web::millis retry_pause{2000}; // after every failed try, before pause_scale
constexpr int upstr_complete_tries = 5;
constexpr int peer_complete_tries = 20;
constexpr int peer_cancel_tries = 10;
constexpr int upstr_cancel_tries = 10;

constexpr const char* complete_channel = "orvale/complete";
constexpr const char* fwd_complete_channel = "orvale/fwd_complete";
constexpr const char* fwd_cancel_channel = "orvale/fwd_cancel";
constexpr const char* cancel_channel = "orvale/cancel";

constexpr const char* default_cancel_reason = "Отмена заказа (без указания причины)";

// Calls `attempt(try number)` until it returns 200 or `tries` calls were made, pausing after
// every other result. Returns the last result and whether a 200 ended the loop. A settlement given
// up is money one side never heard of: it is logged at error, whatever the log level.
template <class Attempt>
bool retry(web::clock_source& clock, int tries, int& result, const char* channel,
           const std::string& id, const char* event, Attempt attempt) {
  for (int n = 1; n <= tries; ++n) {
    result = static_cast<int>(attempt(n));
    if (result == 200) {
      return true;
    }
    if (!clock.pause(retry_pause)) {
      LOG(channel, notice, "Id=" << id << " Повторы прерваны остановкой службы, попытка " << n);
      return false;
    }
  }
  LOG(channel, error,
      "Id=" << id << " Передача \"" << event << "\" (PostPay) прекращена после " << tries
            << " попыток [HTTP/" << result << "]");
  return false;
}

// A reading of the aggregator parameters: only an object that is there is read.
std::string param_text(const web::json::value& params, const char* key, const char* def) {
  return web::json::is_null(params) ? def : web::json::get_string(params, key, def);
}

// The workers run on threads of their own, where an escaping exception would end the process.
template <class Work> void guarded(const char* channel, const std::string& id, Work work) noexcept {
  try {
    work();
  } catch (const std::exception& e) {
    LOG(channel, error, "Id=" << id << " Сбой обработчика постоплаты: " << e.what());
  } catch (...) {
    LOG(channel, error, "Id=" << id << " Сбой обработчика постоплаты");
  }
}

} // namespace

order_postpay::order_postpay(const order_upstream& upstream, const order_station& station,
                             web::clock_source& clock)
    : upstream_(upstream), station_(station), clock_(clock) {}

void order_postpay::_postpay_upstr_complete(const std::string& apikey,
                                            const web::json::value& params, int& result) noexcept {
  std::string id;
  guarded(complete_channel, id, [&] {
    id = param_text(params, "id", "");
    const double litre =
        web::json::is_null(params) ? 0.0 : web::json::get_double(params, "litre", 0.0);
    const std::string ext_id = param_text(params, "extendedOrderId", "");
    const std::string ext_date = param_text(params, "extendedDate", "");
    LOG(complete_channel, debug,
        "Id='" << id << "'"
               << " Передача статуса завершения "
               << " (PostPay Completed)");
    result = 503;
    retry(clock_, upstr_complete_tries, result, complete_channel, id, "Completed", [&](int n) {
      LOG(complete_channel, debug, "Id=" << id << " Trying Status\"Completed\" try [" << n << "]");
      const long r = upstream_.complete_order(apikey, id, ext_id, ext_date, litre);
      LOG(complete_channel, debug, "Id=" << id << " Result Status \"Completed\" response=" << r);
      return r;
    });
  });
}

void order_postpay::_postpay_peer_complete(const station_link& link, const std::string& apikey,
                                           const web::json::value& body, int& result) noexcept {
  std::string id;
  guarded(fwd_complete_channel, id, [&] {
    id = web::json::get_string(body, "id", "");
    LOG(fwd_complete_channel, debug,
        "Id=" << id << " Processing Forwarded to Azs \"Fueling\" (Start TRK) (PostPay Completed)");
    result = 502;
    std::string answer;
    const bool done =
        retry(clock_, peer_complete_tries, result, fwd_complete_channel, id, "Fueling", [&](int n) {
          LOG(fwd_complete_channel, debug,
              "Id=" << id << " Trying Forwarded to Azs Status\"Fueling\" try=" << n);
          const long r = station_.fwd_fueling(link, apikey, body, answer);
          LOG(fwd_complete_channel, debug,
              "Id=" << id << " Get Response to Azs Status\"Fueling\" response=[HTTP/" << r << "]"
                    << "Data=[" << answer << "]");
          return r;
        });
    if (!done) {
      LOG(fwd_complete_channel, debug,
          "Id=" << id << " Trying Fault Forwarded to Azs Status\"Fueling\" (Start TRK) [HTTP/"
                << result << "]");
    }
  });
}

void order_postpay::_postpay_peer_cancel(const station_link& link, const std::string& apikey,
                                         const web::json::value& body, int& result) noexcept {
  std::string id;
  guarded(fwd_cancel_channel, id, [&] {
    id = web::json::get_string(body, "id", "");
    LOG(fwd_cancel_channel, info,
        "Id=" << id << " Перенаправление на АЗС команды отмены "
              << "\"Canceled\" (STOP AZS) (POSTPAY Cancel)");
    result = 502;
    std::string answer;
    retry(clock_, peer_cancel_tries, result, fwd_cancel_channel, id, "AZS Canceled", [&](int n) {
      LOG(fwd_cancel_channel, debug, "Id=" << id << " Trying Status\"AZS Canceled\" try=" << n);
      const long r = station_.fwd_cancel_ext(link, apikey, body, answer);
      LOG(fwd_cancel_channel, debug,
          "Id=" << id << " Result Status \"AZS Canceled\" response=" << r);
      return r;
    });
  });
}

void order_postpay::_postpay_upstr_cancel(const std::string& apikey, const web::json::value& params,
                                          int& result) noexcept {
  std::string id;
  guarded(cancel_channel, id, [&] {
    id = param_text(params, "id", "");
    const std::string reason = param_text(params, "Reason", default_cancel_reason);
    if (apikey.empty()) {
      result = 401;
      return;
    }
    if (id.empty()) {
      result = 400;
      return;
    }
    result = 503;
    retry(clock_, upstr_cancel_tries, result, cancel_channel, id, "Canceled", [&](int n) {
      LOG(cancel_channel, debug,
          "Id=" << id << " Trying Status\"Canceled\" : " << reason << " try [" << n << "]");
      const long r = upstream_.cancel_order(apikey, id, reason);
      LOG(cancel_channel, debug, "Id=" << id << " Result Status \"Canceled\" response=" << r);
      return r;
    });
  });
}

void order_postpay::run_postpay_complete(const std::string& apikey,
                                         const web::json::value& upstr_params,
                                         const station_link& link,
                                         const web::json::value& station_body, int& upstr_result,
                                         int& peer_result) {
  // A jthread joins on destruction, so a failure to start the second still waits for the first.
  std::jthread upstr([this, key = apikey, &upstr_params, &upstr_result] {
    _postpay_upstr_complete(key, upstr_params, upstr_result);
  });
  std::jthread peer([this, key = apikey, &link, &station_body, &peer_result] {
    _postpay_peer_complete(link, key, station_body, peer_result);
  });
  upstr.join();
  peer.join();
}

void order_postpay::run_postpay_cancel(const std::string& apikey,
                                       const web::json::value& upstr_params,
                                       const station_link& link,
                                       const web::json::value& station_body, int& upstr_result,
                                       int& peer_result) {
  std::jthread upstr([this, key = apikey, &upstr_params, &upstr_result] {
    _postpay_upstr_cancel(key, upstr_params, upstr_result);
  });
  std::jthread peer([this, key = apikey, &link, &station_body, &peer_result] {
    _postpay_peer_cancel(link, key, station_body, peer_result);
  });
  upstr.join();
  peer.join();
}

} // namespace srv_apps
