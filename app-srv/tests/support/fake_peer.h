// A real HTTP peer for tests (the aggregator, a station controller): answers from a script and
// keeps every request it received.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace orvale_test {

struct reply {
  int status = 200;
  std::string body;
  std::chrono::milliseconds delay{0};            // before the answer; cut short when the peer stops
  std::string content_type = "application/json"; // sent only with a body
  std::vector<std::pair<std::string, std::string>> headers; // further reply headers, e.g. Location

  // A constructor, so that {503} compiles under -Wextra (no missing member initialisers).
  reply(int s = 200, std::string b = "", std::chrono::milliseconds d = {})
      : status(s), body(std::move(b)), delay(d) {}
};

struct seen_request {
  std::string method;
  std::string path;  // the target up to '?', not decoded
  std::string query; // after '?', not decoded; "" without one
  std::string body;
  std::string content_type;
  std::string client; // the caller's address and port: one per connection
  std::vector<std::pair<std::string, std::string>> headers;
  std::chrono::steady_clock::time_point at; // on arrival, before any scripted delay
  int answered = 0; // the scripted status it got; 0 when the connection was closed instead

  std::string header(const std::string& name) const; // case-insensitive; "" when absent
};

// The certificate and private key (PEM files) a peer presents over TLS.
struct tls_identity {
  std::string cert_file;
  std::string key_file;
};

// Listens on 127.0.0.1 at a port of the system's choosing from construction to destruction.
// Every method may be called from any thread while requests arrive.
class fake_peer {
public:
  fake_peer();
  // The same peer speaking HTTPS only, presenting `tls`; asks no certificate of its clients.
  explicit fake_peer(const tls_identity& tls);
  ~fake_peer(); // prompt, even while scripted delays are running
  fake_peer(const fake_peer&) = delete;
  fake_peer& operator=(const fake_peer&) = delete;

  // Requests whose path (without the query) equals `path` get these replies in turn, the last one
  // again and again. Replaces an earlier script of the path; an empty list unscripts it.
  // Unscripted paths get 404 with an empty body.
  void script(const std::string& path, std::vector<reply> replies);
  // Requests for `path` are recorded, then their connection is closed with no answer at all.
  void close_connections_on(const std::string& path);

  std::vector<seen_request> requests() const; // in order of arrival
  std::vector<seen_request> requests(const std::string& path) const;

  [[nodiscard]] testing::AssertionResult wait_for(std::size_t n,
                                                  std::chrono::milliseconds limit) const;
  [[nodiscard]] testing::AssertionResult wait_for(const std::string& path, std::size_t n,
                                                  std::chrono::milliseconds limit) const;

  std::uint16_t port() const;
  std::string base_url() const; // "http://127.0.0.1:PORT", or "https://..." over TLS

private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

} // namespace orvale_test
