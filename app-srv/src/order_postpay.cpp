// The four sides of post-payment, one try per call, and the two steps' tries of both at once.
#include "order_postpay.h"

#include <exception>
#include <thread>
#include <utility>

#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* complete_channel = "orvale/complete";
constexpr const char* fwd_complete_channel = "orvale/fwd_complete";
constexpr const char* fwd_cancel_channel = "orvale/fwd_cancel";
constexpr const char* cancel_channel = "orvale/cancel";

constexpr const char* default_cancel_reason = "Отмена заказа (без указания причины)";

// One try of an open side: `attempt(try number)` is called unless the side's `tries` are used
// up, in which case the side closes with its error line (a settlement given up is money one side
// never heard of: said at error, whatever the log level). True when this call gave up.
template <class Attempt>
bool try_side(postpay_side& side, int tries, const char* channel, const std::string& id,
              const char* event, Attempt attempt) {
  if (!side.open) {
    return false;
  }
  if (side.tries >= tries) {
    side.open = false;
    LOG(channel, error,
        "Id=" << id << " Передача \"" << event << "\" (PostPay) прекращена после " << tries
              << " попыток [HTTP/" << side.result << "]");
    return true;
  }
  ++side.tries;
  side.result = static_cast<int>(attempt(side.tries));
  side.open = side.result != 200;
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

// The aggregator's side and the station's, each on a thread of its own, both joined before it
// returns (a jthread joins on destruction, so a failure to start the second still waits for the
// first).
template <class Upstr, class Peer> void both_at_once(Upstr upstr, Peer peer) {
  std::jthread upstr_try(std::move(upstr));
  std::jthread peer_try(std::move(peer));
  upstr_try.join();
  peer_try.join();
}

} // namespace

order_postpay::order_postpay(const order_upstream& upstream, const order_station& station)
    : upstream_(upstream), station_(station) {}

void order_postpay::_postpay_upstr_complete(const std::string& apikey,
                                            const web::json::value& params,
                                            postpay_side& side) const noexcept {
  std::string id;
  guarded(complete_channel, id, [&] {
    id = param_text(params, "id", "");
    const double litre =
        web::json::is_null(params) ? 0.0 : web::json::get_double(params, "litre", 0.0);
    const std::string ext_id = param_text(params, "extendedOrderId", "");
    const std::string ext_date = param_text(params, "extendedDate", "");
    if (side.tries == 0 && side.open) {
      LOG(complete_channel, debug,
          "Id='" << id << "'"
                 << " Передача статуса завершения "
                 << " (PostPay Completed)");
    }
    try_side(side, upstr_complete_tries, complete_channel, id, "Completed", [&](int n) {
      LOG(complete_channel, debug, "Id=" << id << " Trying Status\"Completed\" try [" << n << "]");
      const long r = upstream_.complete_order(apikey, id, ext_id, ext_date, litre);
      LOG(complete_channel, debug, "Id=" << id << " Result Status \"Completed\" response=" << r);
      return r;
    });
  });
}

void order_postpay::_postpay_peer_complete(const station_link& link, const std::string& apikey,
                                           const web::json::value& body,
                                           postpay_side& side) const noexcept {
  std::string id;
  guarded(fwd_complete_channel, id, [&] {
    id = web::json::get_string(body, "id", "");
    if (side.tries == 0 && side.open) {
      LOG(fwd_complete_channel, debug,
          "Id=" << id
                << " Processing Forwarded to Azs \"Fueling\" (Start TRK) (PostPay Completed)");
    }
    std::string answer;
    const bool gave_up =
        try_side(side, peer_complete_tries, fwd_complete_channel, id, "Fueling", [&](int n) {
          LOG(fwd_complete_channel, debug,
              "Id=" << id << " Trying Forwarded to Azs Status\"Fueling\" try=" << n);
          const long r = station_.fwd_fueling(link, apikey, body, answer);
          LOG(fwd_complete_channel, debug,
              "Id=" << id << " Get Response to Azs Status\"Fueling\" response=[HTTP/" << r << "]"
                    << "Data=[" << answer << "]");
          return r;
        });
    if (gave_up) {
      LOG(fwd_complete_channel, debug,
          "Id=" << id << " Trying Fault Forwarded to Azs Status\"Fueling\" (Start TRK) [HTTP/"
                << side.result << "]");
    }
  });
}

void order_postpay::_postpay_peer_cancel(const station_link& link, const std::string& apikey,
                                         const web::json::value& body,
                                         postpay_side& side) const noexcept {
  std::string id;
  guarded(fwd_cancel_channel, id, [&] {
    id = web::json::get_string(body, "id", "");
    if (side.tries == 0 && side.open) {
      LOG(fwd_cancel_channel, info,
          "Id=" << id << " Перенаправление на АЗС команды отмены "
                << "\"Canceled\" (STOP AZS) (POSTPAY Cancel)");
    }
    std::string answer;
    try_side(side, peer_cancel_tries, fwd_cancel_channel, id, "AZS Canceled", [&](int n) {
      LOG(fwd_cancel_channel, debug, "Id=" << id << " Trying Status\"AZS Canceled\" try=" << n);
      const long r = station_.fwd_cancel_ext(link, apikey, body, answer);
      LOG(fwd_cancel_channel, debug,
          "Id=" << id << " Result Status \"AZS Canceled\" response=" << r);
      return r;
    });
  });
}

void order_postpay::_postpay_upstr_cancel(const std::string& apikey, const web::json::value& params,
                                          postpay_side& side) const noexcept {
  std::string id;
  guarded(cancel_channel, id, [&] {
    id = param_text(params, "id", "");
    const std::string reason = param_text(params, "Reason", default_cancel_reason);
    if (!side.open) {
      return;
    }
    if (apikey.empty() || id.empty()) {
      side.result = apikey.empty() ? 401 : 400;
      side.open = false;
      return;
    }
    try_side(side, upstr_cancel_tries, cancel_channel, id, "Canceled", [&](int n) {
      LOG(cancel_channel, debug,
          "Id=" << id << " Trying Status\"Canceled\" : " << reason << " try [" << n << "]");
      const long r = upstream_.cancel_order(apikey, id, reason);
      LOG(cancel_channel, debug, "Id=" << id << " Result Status \"Canceled\" response=" << r);
      return r;
    });
  });
}

void order_postpay::try_complete(const std::string& apikey, const web::json::value& upstr_params,
                                 const station_link& link, const web::json::value& station_body,
                                 postpay_side& upstr, postpay_side& peer) const {
  both_at_once([&] { _postpay_upstr_complete(apikey, upstr_params, upstr); },
               [&] { _postpay_peer_complete(link, apikey, station_body, peer); });
}

void order_postpay::try_cancel(const std::string& apikey, const web::json::value& upstr_params,
                               const station_link& link, const web::json::value& station_body,
                               postpay_side& upstr, postpay_side& peer) const {
  both_at_once([&] { _postpay_upstr_cancel(apikey, upstr_params, upstr); },
               [&] { _postpay_peer_cancel(link, apikey, station_body, peer); });
}

} // namespace srv_apps
