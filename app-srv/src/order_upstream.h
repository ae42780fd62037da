// The aggregator's order-status API as the order endpoint calls it: accept, fueling, canceled and
// completed, each a small form POST whose HTTP status is the outcome (exactly 200 is success).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "outgoing.h"

namespace srv_apps {

// The four status calls' header lines; the station event relays send the same ones.
std::vector<std::string> status_headers();

// Debug lines of a status call labelled e.g. "Accept": "Send \"Accept\" status endpoint=" ...
// The cancellation's lines differ as the operators know them ("Error in", no length).
call_texts status_texts(const std::string& label);

class order_upstream {
public:
  // An empty base URL makes every call answer no_address_status without sending anything.
  order_upstream(std::string base_url, tls_settings tls, web::peer_call_counts* counts = nullptr);

  // A form POST of `body` to the base URL followed by `path` (no separator added), with the
  // status headers, a 10 s limit and the aggregator's TLS settings; the reply body is not read.
  // Other relays adjust the limit or read the reply before passing it to perform_call.
  outgoing_request form_post(const std::string& path, std::string body) const;

  const std::string& base_url() const { return base_url_; }

  // Every call returns the result code of perform_call and never throws. Values are sent as
  // given except the cancellation reason, which is percent-encoded.
  long accept_order(const std::string& apikey, const std::string& order_id) const;
  long fueling_order(const std::string& apikey, const std::string& order_id) const;
  long cancel_order(const std::string& apikey, const std::string& order_id,
                    const std::string& reason) const;
  // The litres go out with two decimals.
  long complete_order(const std::string& apikey, const std::string& order_id,
                      const std::string& extended_order_id, const std::string& extended_date,
                      double litre) const;

private:
  std::string base_url_;
  tls_settings tls_;
  web::peer_call_counts* counts_; // the root's, which outlives every call
  // Shared by copies. Every call goes to the one aggregator, so without kept connections its
  // local ports would run out at a few hundred calls a second. Station calls open a connection
  // each: libcurl sends a request again by itself when a reused connection drops unanswered,
  // and a dispenser command must not go twice on the library's initiative.
  std::shared_ptr<connection_cache> connections_ = std::make_shared<connection_cache>();
};

} // namespace srv_apps
