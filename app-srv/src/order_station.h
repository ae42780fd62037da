// The station controller's API as the order endpoint calls it: the new order, the dispenser
// start, the cancellation and the price-list request, below the link's "/api/azstank" endpoint,
// with the three-part "apikey" credential.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "conn.h"
#include "outgoing.h"
#include "station_limit.h"
#include "web/json.h"

namespace srv_apps {

// What a call needs of a station link: its base URL ("" without a link) and its key.
struct station_link {
  std::string endpoint;
  std::string key;

  station_link() = default;
  station_link(std::string endpoint_url, std::string station_key)
      : endpoint(std::move(endpoint_url)), key(std::move(station_key)) {}
  // Implicit, so that callers hand over the link they looked up.
  station_link(const content::AzsConnInfo& link) // NOLINT(google-explicit-constructor)
      : endpoint(link.endpoint_str()), key(link.key()) {}
};

class order_station {
public:
  // Without `limits`, calls are not bounded per controller; without `counts`, not counted;
  // without `connections`, each call connects anew.
  order_station(std::string app_key, tls_settings tls, station_limiter* limits = nullptr,
                web::peer_call_counts* counts = nullptr, connection_cache* connections = nullptr);

  // The "apikey" value of the order calls: the aggregator's key, the gateway's, the station's.
  std::string credential(const std::string& apikey, const station_link& link) const;
  // The same, its parts percent-encoded for a query string.
  std::string query_credential(const std::string& apikey, const station_link& link) const;

  // A request to the endpoint followed by `path_and_query`, with the stations' TLS settings, a
  // 10 s limit and the reply read; method, body and headers are the caller's. Its URL is ""
  // when the link has no endpoint.
  outgoing_request request(const station_link& link, const std::string& path_and_query) const;

  // Every call returns the result code of perform_call, never throws, and replaces `answer` with
  // the reply body received ("" when nothing arrived), whatever the status.
  long fwd_order(const station_link& link, const std::string& apikey, const web::json::value& body,
                 std::string& answer) const;
  long fwd_fueling(const station_link& link, const std::string& apikey,
                   const web::json::value& body, std::string& answer) const;
  // The query carries the body's "id", "Reason" (percent-encoded), "ReasonRef" (default "sys")
  // and "extendedOrderId".
  long fwd_cancel_ext(const station_link& link, const std::string& apikey,
                      const web::json::value& body, std::string& answer) const;
  // A GET of "/callback/prices" in callback mode, else "/station/prices"; credential of the
  // gateway and the station only (`apikey` is not sent).
  long fwd_pricelist_request(const station_link& link, const std::string& apikey,
                             std::string& answer, bool callback) const;

  // A call slot for the link's controller; false (logged) when none became free in time: the
  // caller then treats the call as a failed transfer. Taken by the calls an HTTP worker waits
  // for (the new order, ping and lock), not by those of an order's run after its answer.
  [[nodiscard]] station_limiter::slot reserve(const station_link& link) const;

  // "DD.MM.YYYY hh:mm:ss" in local time; 0 stands for now.
  static std::string _makeExtDate(const std::time_t& when);

private:
  std::string app_key_;
  tls_settings tls_;
  station_limiter* limits_;
  web::peer_call_counts* counts_; // the root's, which outlives every call
  connection_cache* connections_; // the root's, likewise
};

// The two header sets of the station calls: JSON bodies, and the others.
std::vector<std::string> station_json_headers();
std::vector<std::string> station_plain_headers();

// Debug lines of a forwarded call labelled e.g. "Order"; `with_body` adds the JSON body and its
// length to the send line.
call_texts forward_texts(const std::string& label, bool with_body);

} // namespace srv_apps
