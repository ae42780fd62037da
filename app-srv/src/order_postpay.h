// Settling a post-paid order on both sides at once: completion (the aggregator is told, the
// station starts the dispenser) or cancellation, each side a worker that retries its one call.
#pragma once

#include <string>

#include "order_station.h"
#include "order_upstream.h"
#include "web/clock.h"
#include "web/json.h"

namespace srv_apps {

class order_postpay {
public:
  // Every pause between tries goes through `clock`; the three objects must outlive this one.
  order_postpay(const order_upstream& upstream, const order_station& station,
                web::clock_source& clock);

  // The workers. Each retries its call until the first 200, pausing 2 s after every other result
  // (the last one included), writes the last result to `result` and never throws. A pause cut
  // short by the service's shutdown ends the retries.
  //
  // complete_order with "id", "litre", "extendedOrderId", "extendedDate" of `params`; 5 tries.
  void _postpay_upstr_complete(const std::string& apikey, const web::json::value& params,
                               int& result) noexcept;
  // fwd_fueling of `body`; 20 tries.
  void _postpay_peer_complete(const station_link& link, const std::string& apikey,
                              const web::json::value& body, int& result) noexcept;
  // fwd_cancel_ext of `body`; 10 tries.
  void _postpay_peer_cancel(const station_link& link, const std::string& apikey,
                            const web::json::value& body, int& result) noexcept;
  // cancel_order with "id" and "Reason" of `params`; 10 tries; 401 without a key and 400
  // without an id, then nothing is sent.
  void _postpay_upstr_cancel(const std::string& apikey, const web::json::value& params,
                             int& result) noexcept;

  // Both sides at once, each worker on a thread of its own; returns when both have ended (the
  // aggregator's worker is joined first). Throws std::system_error only when a thread cannot be
  // started, after joining any that was.
  void run_postpay_complete(const std::string& apikey, const web::json::value& upstr_params,
                            const station_link& link, const web::json::value& station_body,
                            int& upstr_result, int& peer_result);
  void run_postpay_cancel(const std::string& apikey, const web::json::value& upstr_params,
                          const station_link& link, const web::json::value& station_body,
                          int& upstr_result, int& peer_result);

private:
  const order_upstream& upstream_;
  const order_station& station_;
  web::clock_source& clock_;
};

} // namespace srv_apps
