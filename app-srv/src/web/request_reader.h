// Reading requests off their connections without a handler thread: one thread polls every
// connection that is between replies, collects what arrives, and hands a request on only once its
// head and body are complete. A client that dribbles its bytes costs a buffer, not a worker, and
// is cut off when its request deadline passes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <Poco/Net/HTTPRequest.h>

namespace web {

using steady = std::chrono::steady_clock;

// A socket owned from the line that accepted it.
class socket_fd {
public:
  explicit socket_fd(int fd = -1) : fd_(fd) {}
  ~socket_fd();
  socket_fd(socket_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  socket_fd& operator=(socket_fd&& other) noexcept;
  socket_fd(const socket_fd&) = delete;
  socket_fd& operator=(const socket_fd&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

// One client connection between requests, with the bytes of its next request received so far.
struct connection {
  connection(socket_fd fd, std::string peer) : socket(std::move(fd)), remote(std::move(peer)) {}
  socket_fd socket;
  std::string remote;   // "address:port"
  std::string received; // bytes not yet part of a handed-on request (pipelined ones included)
  steady::time_point deadline;
  bool idle = false;    // kept alive, nothing of the next request has arrived yet
  bool closing = false; // refused: its reply is out, what it still sends is discarded
  // Where parsing of the current request stands, so that each arrival costs only its own bytes.
  std::size_t scanned = 0;  // of `received`, searched for the head's end
  std::size_t head_end = 0; // past the head's blank line; 0 while the head is incomplete
  std::unique_ptr<Poco::Net::HTTPRequest> head;
  std::size_t next_chunk = 0; // of a chunked body: where the next chunk's size line starts
  std::string body;           // chunks decoded so far
  bool continue_sent = false; // "100 Continue" answered for the current request
};

// Writes all of `data` within `limit`; throws std::runtime_error when the peer is gone or slow.
void send_all(const connection& c, const std::string& data, std::chrono::milliseconds limit);

// A request whose head and body have arrived in full.
struct full_request {
  std::unique_ptr<connection> conn;
  Poco::Net::HTTPRequest head;
  std::string body;
};

struct reader_limits {
  std::chrono::milliseconds request_deadline{30000}; // head and body, from the first byte
  std::chrono::milliseconds keep_alive{5000};        // idle wait for the next request
  std::size_t body_limit = 1024 * 1024;              // bytes
  std::size_t max_connections = 4096;                // reading at once; accepting waits beyond
};

class request_reader {
public:
  // `deliver` takes a complete request and returns false when there is no room for it (the
  // reader then answers 503 and closes).
  using deliver_fn = std::function<bool(full_request&&)>;

  request_reader(int listen_fd, reader_limits limits, deliver_fn deliver);
  ~request_reader();
  request_reader(const request_reader&) = delete;
  request_reader& operator=(const request_reader&) = delete;

  void start();
  // No new connections: returns once the listening socket is no longer polled, so that the
  // caller may close it. Connections already open are still read.
  void stop_accepting();
  // Stops accepting and reading; connections still being read are closed.
  void stop();
  // A connection whose reply left it open waits here for its next request. Thread-safe.
  void keep(std::unique_ptr<connection> c);

private:
  enum class progress { waiting, complete, refused };
  void run();
  int poll_once();
  void accept_new();
  void wake();
  // False when the connection is to be dropped now.
  bool serve(std::unique_ptr<connection>& c, bool readable, steady::time_point now);
  progress parse(connection& c);
  progress parse_head(connection& c);
  progress parse_body(connection& c);
  void hand_on(std::unique_ptr<connection>& c);
  void refuse(connection& c, int status, const std::string& why);

  int listen_fd_;
  reader_limits limits_;
  deliver_fn deliver_;
  socket_fd wake_read_;
  socket_fd wake_write_;
  std::thread thread_;
  std::vector<std::unique_ptr<connection>> reading_; // only the reader thread touches these
  std::mutex mu_;
  std::vector<std::unique_ptr<connection>> returned_; // guarded by mu_
  bool stopping_ = false;                             // guarded by mu_
  bool listening_ = true;                             // guarded by mu_
  bool polling_listener_ = true;                      // guarded by mu_
  std::condition_variable listen_cv_;
  bool accept_now_ = true; // the reader thread's copy of listening_
};

} // namespace web
