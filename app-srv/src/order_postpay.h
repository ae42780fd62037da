// Settling a post-paid order on both sides at once: completion (the aggregator is told, the
// station starts the dispenser) or cancellation, each side one call tried until it succeeds.
#pragma once

#include <string>

#include "order_station.h"
#include "order_upstream.h"
#include "web/json.h"

namespace srv_apps {

// One side of a settlement across the tries of its step: stored with the run between tries, so
// that a restart goes on with the try after the last one made, and never repeats a side that was
// answered 200.
struct postpay_side {
  int tries = 0;    // made so far
  int result = 0;   // of the last try, or why nothing was sent
  bool open = true; // false after a 200, a refusal to send, or the give-up after the last try
};

class order_postpay {
public:
  // Tries per side.
  static constexpr int upstr_complete_tries = 5;
  static constexpr int peer_complete_tries = 20;
  static constexpr int peer_cancel_tries = 10;
  static constexpr int upstr_cancel_tries = 10;

  // The two objects must outlive this one.
  order_postpay(const order_upstream& upstream, const order_station& station);

  // One try of each open side, both at once, each on a thread of its own (both joined before it
  // returns; std::system_error only when a thread cannot be started, after joining any that
  // was). A side whose last try failed is closed at the next call, with its error line: the pause
  // after that try comes first, as after every other. Nothing else throws.
  //
  // Completion: complete_order with "id", "litre", "extendedOrderId", "extendedDate" of
  // `upstr_params`; fwd_fueling of `station_body`.
  void try_complete(const std::string& apikey, const web::json::value& upstr_params,
                    const station_link& link, const web::json::value& station_body,
                    postpay_side& upstr, postpay_side& peer) const;
  // Cancellation: cancel_order with "id" and "Reason" of `upstr_params` (401 without a key and
  // 400 without an id, then nothing is sent); fwd_cancel_ext of `station_body`.
  void try_cancel(const std::string& apikey, const web::json::value& upstr_params,
                  const station_link& link, const web::json::value& station_body,
                  postpay_side& upstr, postpay_side& peer) const;

  // The sides one by one, for the above.
  void _postpay_upstr_complete(const std::string& apikey, const web::json::value& params,
                               postpay_side& side) const noexcept;
  void _postpay_peer_complete(const station_link& link, const std::string& apikey,
                              const web::json::value& body, postpay_side& side) const noexcept;
  void _postpay_peer_cancel(const station_link& link, const std::string& apikey,
                            const web::json::value& body, postpay_side& side) const noexcept;
  void _postpay_upstr_cancel(const std::string& apikey, const web::json::value& params,
                             postpay_side& side) const noexcept;

private:
  const order_upstream& upstream_;
  const order_station& station_;
};

} // namespace srv_apps
