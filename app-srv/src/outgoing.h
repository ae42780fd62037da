// Outgoing HTTP calls to the aggregator and to station controllers: one libcurl transfer per call,
// the result codes every caller relies on, and each call's debug lines. Callers differ only in
// URL, body, headers, time limit, TLS settings, log texts and whether they read the reply.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "web/clock.h"
#include "web/metrics.h"

namespace srv_apps {

// Results that are not an HTTP status of the peer.
constexpr long no_address_status = 503;       // no base URL or station endpoint: nothing sent
constexpr long client_failure_status = 500;   // the transfer could not be set up
constexpr long transfer_failure_status = 502; // no HTTP status was received

// A reply body a call reads is kept up to this size; a larger one makes the call a transfer
// failure, so a misbehaving peer cannot make a worker hold an unbounded answer.
constexpr std::size_t max_reply_bytes = 1024 * 1024;

struct tls_settings {
  bool verify = true;  // peer certificate and host name
  std::string ca_file; // PEM bundle used instead of the system's store; "" keeps the system's
};

// The debug lines of one call, on `channel`. An empty text writes no line at all.
struct call_texts {
  std::string channel = "orvale";
  std::string handle_error;   // the whole line when no transfer handle could be made
  std::string send;           // followed by the URL
  std::string body_label;     // followed by the body; "" leaves the body out of the send line
  std::string length_label;   // followed by the body length; "" leaves it out
  std::string transfer_error; // followed by the libcurl code, " descr=" and libcurl's text
  std::string reply;          // followed by the HTTP status
};

// Transfer handles kept between calls, each with the connection it opened and the peer kept
// alive: a call to a peer called before goes over such a connection instead of connecting anew.
// A handle new for every call leaves a socket in TIME_WAIT per call, and at a few hundred calls
// a second to one peer the local ports run out. Handles are kept per peer (scheme, host and
// port), few of them and, with an idle limit, not longer than it: a peer that serves each
// connection on a thread of its own holds a thread for every idle one. Safe to share between
// threads.
//
// Without connections (`keeps_connections` false) every call still connects anew and closes its
// connection when it ends; only the handles are kept, for any peer, which spares each call the
// handle's set-up (its wake-up socket pair among it) and keeps the host names it resolved.
class connection_cache {
public:
  using clock = std::chrono::steady_clock;

  // `max_idle` handles per peer (in all, without connections); `idle_limit` zero keeps them
  // until the peer closes them.
  explicit connection_cache(std::size_t max_idle = 8, web::millis idle_limit = web::millis(0),
                            bool keeps_connections = true)
      : max_idle_(max_idle), idle_limit_(idle_limit), keeps_connections_(keeps_connections) {}
  connection_cache(const connection_cache&) = delete;
  connection_cache& operator=(const connection_cache&) = delete;

  struct handle_free {
    void operator()(void* handle) const noexcept;
  };
  using handle = std::unique_ptr<void, handle_free>;

  // The handle given back last for `peer` (its options reset), or null when none is idle.
  handle take(const std::string& peer);
  // Back after a call; closed (with its connections) when enough are idle for its peer.
  void give_back(const std::string& peer, handle h);
  std::size_t idle() const;
  web::millis idle_limit() const { return idle_limit_; }
  bool keeps_connections() const { return keeps_connections_; }

private:
  struct idle_handle {
    std::string peer;
    handle h;
    clock::time_point returned;
  };
  // Moves the handles idle beyond the limit out of idle_, to be closed outside the lock.
  void drop_expired(clock::time_point now, std::vector<handle>& closing); // mu_ held

  // The key a handle is kept under: its peer, or one for all when no connection is kept.
  std::string key_of(const std::string& peer) const;

  const std::size_t max_idle_;
  const web::millis idle_limit_;
  const bool keeps_connections_;
  mutable std::mutex mu_;
  std::deque<idle_handle> idle_; // guarded by mu_; the oldest returned first
};

struct outgoing_request {
  std::string url;  // complete; "" gives no_address_status without any network activity
  bool post = true; // false: a GET without body
  std::string body; // sent with its length declared in advance
  std::vector<std::string> headers;
  web::millis time_limit{10000}; // the whole transfer, redirects included
  tls_settings tls;
  bool read_reply = false; // false: the reply body is discarded
  std::size_t reply_limit = max_reply_bytes; // bytes of a read reply; more is a transfer failure
  // Where the call's outcome is counted (the operators' metrics); null counts nothing. A call
  // without an address sends nothing and is not counted.
  web::peer_call_counts* counts = nullptr;
  // Where the call's handle comes from and goes back to; null: a handle of its own.
  connection_cache* connections = nullptr;
};

struct outgoing_result {
  long status = transfer_failure_status;
  std::string reply;     // with read_reply: the body received ("" after an oversized one)
  int transfer_code = 0; // the libcurl code of a failed transfer, 0 otherwise
  bool answered = false; // the status is the peer's own (a 500 or 502 may be either)
};

// "scheme://host:port" of a URL, the key of the per-peer limits; "" when it has no host.
std::string peer_of(const std::string& url);

// Never throws. Requires libcurl's process-wide initialisation (done once by the process entry).
// Redirects are followed (at most 10) to http and https only.
[[nodiscard]] outgoing_result perform_call(const outgoing_request& request,
                                           const call_texts& texts);

// Percent-encoding of every byte other than ASCII letters, digits and "-._~".
std::string url_escape(const std::string& text);

// A form value as received, except the bytes that would change the form's structure or that no
// form may carry raw: "&", "=", "+", "%" and control bytes become %XX. Everything else, Cyrillic
// UTF-8 and blanks included, goes as it is.
std::string form_escape(const std::string& text);

// True when the URL's scheme is https in any letter case.
bool is_https(const std::string& url);

// Logs once, when the root reads its settings, that certificates go unchecked: always while
// station verification is off (any station link may use TLS), and for the aggregator when its
// verification is off and its URL is https.
void warn_unverified_tls(const std::string& upstream_url, bool upstream_verify,
                         bool station_verify);

// libcurl callbacks. The upload source is the rest of the body still to send.
struct upload_source {
  const char* next = nullptr;
  std::size_t left = 0;
};
std::size_t read_callback(char* dest, std::size_t size, std::size_t count, void* source);

// Where a read reply goes: appended up to `limit`; one block past it fails the transfer.
struct reply_sink {
  std::string text;
  std::size_t limit = max_reply_bytes;
  bool overflow = false;
};
std::size_t write_callback(char* data, std::size_t size, std::size_t count, void* sink);

} // namespace srv_apps
