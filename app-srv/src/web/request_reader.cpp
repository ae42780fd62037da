// The reading stage of the listener: non-blocking sockets on one poll loop, per-request deadlines,
// and a parser that resumes where the previous arrival left it.
#include "web/request_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/String.h>

#include "web/log.h"

namespace web {

socket_fd::~socket_fd() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

socket_fd& socket_fd::operator=(socket_fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

namespace {

using std::chrono::milliseconds;

constexpr std::size_t head_limit = 64 * 1024;  // bytes of request line and header fields
constexpr std::size_t chunk_line_limit = 1024; // bytes of one chunk-size line
constexpr milliseconds lingering_close{2000};  // a refused client's last bytes are read
constexpr milliseconds longest_poll{1000};
constexpr std::size_t read_block = 16 * 1024;

enum class read_state { open, end, broken };

// Everything the socket holds now, without waiting.
read_state read_available(connection& c, bool discard) {
  char buf[read_block];
  while (true) {
    const ssize_t n = ::recv(c.socket.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      if (!discard) {
        c.received.append(buf, static_cast<std::size_t>(n));
      }
      if (static_cast<std::size_t>(n) < sizeof buf) {
        return read_state::open;
      }
      continue;
    }
    if (n == 0) {
      return read_state::end;
    }
    if (errno == EINTR) {
      continue;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? read_state::open : read_state::broken;
  }
}

// A bare reply for refusals the reader gives itself; the connection is closed after it.
std::string bare_reply(int status) {
  const auto code = static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status);
  return "HTTP/1.1 " + std::to_string(status) + " " +
         Poco::Net::HTTPResponse::getReasonForStatus(code) +
         "\r\nContent-Length: 0\r\nConnection: close\r\nServer: orvale\r\n\r\n";
}

// One attempt, never a wait: the reader thread must not block on a client that does not read.
void send_now(const connection& c, const std::string& data) {
  [[maybe_unused]] const ssize_t n =
      ::send(c.socket.get(), data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

bool parse_hex(std::string_view text, std::size_t& value) {
  if (text.empty() || text.size() > 8) { // 8 hex digits are far past any body limit
    return false;
  }
  value = 0;
  for (char ch : text) {
    int d = -1;
    if (ch >= '0' && ch <= '9') {
      d = ch - '0';
    } else if (ch >= 'a' && ch <= 'f') {
      d = ch - 'a' + 10;
    } else if (ch >= 'A' && ch <= 'F') {
      d = ch - 'A' + 10;
    }
    if (d < 0) {
      return false;
    }
    value = value * 16 + static_cast<std::size_t>(d);
  }
  return true;
}

bool expects_continue(const Poco::Net::HTTPRequest& head) {
  return Poco::icompare(head.get("Expect", ""), "100-continue") == 0;
}

void start_next_request(connection& c) {
  c.scanned = 0;
  c.head_end = 0;
  c.head.reset();
  c.next_chunk = 0;
  c.body.clear();
  c.continue_sent = false;
}

} // namespace

void send_all(const connection& c, const std::string& data, milliseconds limit) {
  const auto deadline = steady::now() + limit;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::send(c.socket.get(), data.data() + done, data.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      throw std::runtime_error(std::string("send: ") + std::strerror(errno));
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady::now());
    pollfd pfd{c.socket.get(), POLLOUT, 0};
    if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
      throw std::runtime_error("send: the client takes no more data");
    }
  }
}

request_reader::request_reader(int listen_fd, reader_limits limits, deliver_fn deliver)
    : listen_fd_(listen_fd), limits_(limits), deliver_(std::move(deliver)) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  wake_read_ = socket_fd(fds[0]);
  wake_write_ = socket_fd(fds[1]);
}

request_reader::~request_reader() {
  stop();
}

void request_reader::start() {
  thread_ = std::thread([this] { run(); });
}

void request_reader::stop_accepting() {
  std::unique_lock<std::mutex> lock(mu_);
  listening_ = false;
  if (!thread_.joinable()) {
    return;
  }
  lock.unlock();
  wake();
  lock.lock();
  // Until the reader has seen it, it may still be polling the listening socket: closed under it,
  // that descriptor would report errors, or worse, be another connection's after a reuse.
  listen_cv_.wait(lock, [this] { return !polling_listener_ || stopping_; });
}

void request_reader::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) {
    thread_.join();
  }
  reading_.clear();
  std::lock_guard<std::mutex> lock(mu_);
  returned_.clear();
}

void request_reader::keep(std::unique_ptr<connection> c) {
  start_next_request(*c);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) {
      return; // closed
    }
    returned_.push_back(std::move(c));
  }
  wake();
}

void request_reader::wake() {
  const char b = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), &b, 1);
}

void request_reader::run() {
  while (true) {
    std::vector<std::unique_ptr<connection>> back;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) {
        polling_listener_ = false;
        listen_cv_.notify_all();
        return;
      }
      back.swap(returned_);
      if (!listening_ && polling_listener_) {
        polling_listener_ = false;
        listen_cv_.notify_all();
      }
      accept_now_ = listening_;
    }
    const auto now = steady::now();
    for (auto& c : back) {
      // Pipelined bytes already hold (part of) the next request: its deadline runs now.
      c->idle = c->received.empty();
      c->deadline = now + (c->idle ? limits_.keep_alive : limits_.request_deadline);
      if (c->idle || serve(c, false, now)) {
        if (c) {
          reading_.push_back(std::move(c));
        }
      }
    }
    if (poll_once() < 0 && errno != EINTR) {
      LOG("orvale", critical, "Ошибка ожидания соединений: " << std::strerror(errno));
      return;
    }
  }
}

int request_reader::poll_once() {
  std::vector<pollfd> fds;
  fds.reserve(reading_.size() + 2);
  fds.push_back(pollfd{wake_read_.get(), POLLIN, 0});
  const bool accepting = accept_now_ && reading_.size() < limits_.max_connections;
  fds.push_back(pollfd{accepting ? listen_fd_ : -1, POLLIN, 0});
  auto next = steady::now() + longest_poll;
  for (const auto& c : reading_) {
    fds.push_back(pollfd{c->socket.get(), POLLIN, 0});
    next = std::min(next, c->deadline);
  }
  const auto wait = std::chrono::duration_cast<milliseconds>(next - steady::now()).count();
  const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0)));
  if (ready < 0) {
    return ready;
  }
  if (fds[0].revents != 0) {
    char drain[64];
    while (::read(wake_read_.get(), drain, sizeof drain) > 0) {
    }
  }
  const auto now = steady::now();
  std::vector<std::unique_ptr<connection>> still;
  still.reserve(reading_.size());
  for (std::size_t i = 0; i < reading_.size(); ++i) {
    std::unique_ptr<connection>& c = reading_[i];
    if (serve(c, fds[i + 2].revents != 0, now) && c) {
      still.push_back(std::move(c));
    }
  }
  reading_.swap(still);
  if (accepting && fds[1].revents != 0) {
    accept_new();
  }
  return ready;
}

void request_reader::accept_new() {
  while (reading_.size() < limits_.max_connections) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        LOG("orvale", error, "Ошибка приёма соединения: " << std::strerror(errno));
      }
      return;
    }
    socket_fd owned(fd);
    std::string peer;
    try {
      peer = Poco::Net::SocketAddress(reinterpret_cast<const sockaddr*>(&addr), len).toString();
    } catch (const Poco::Exception&) {
      peer = "?";
    }
    auto c = std::make_unique<connection>(std::move(owned), std::move(peer));
    // The whole request must arrive within the deadline, counted from the connection.
    c->deadline = steady::now() + limits_.request_deadline;
    reading_.push_back(std::move(c));
  }
}

bool request_reader::serve(std::unique_ptr<connection>& c, bool readable, steady::time_point now) {
  if (readable) {
    const read_state state = read_available(*c, c->closing);
    if (c->closing) {
      return state == read_state::open && now < c->deadline;
    }
    if (c->idle && !c->received.empty()) {
      c->idle = false;
      c->deadline = now + limits_.request_deadline;
    }
    if (state == read_state::broken) {
      return false;
    }
    // A client may close its side once it has sent the request: it still gets the reply.
    const progress p = c->received.empty() ? progress::waiting : parse(*c);
    if (p == progress::complete) {
      hand_on(c);
      return true;
    }
    if (state == read_state::end) {
      return false;
    }
    if (p == progress::refused) {
      return true; // lingering
    }
  } else if (!c->idle && !c->closing && !c->received.empty() && !c->head) {
    // Returned with pipelined bytes: they may hold a whole request already.
    if (const progress p = parse(*c); p == progress::complete) {
      hand_on(c);
      return true;
    }
  }
  if (now < c->deadline) {
    return true;
  }
  if (c->idle || c->closing) {
    return false;
  }
  refuse(*c, 408,
         "Запрос не получен полностью за " + std::to_string(limits_.request_deadline.count()) +
             " мс: " + c->remote);
  return true;
}

request_reader::progress request_reader::parse(connection& c) {
  if (!c.head) {
    if (const progress p = parse_head(c); p != progress::complete) {
      return p;
    }
  }
  return parse_body(c);
}

request_reader::progress request_reader::parse_head(connection& c) {
  // Resume the search a little before where it stopped: the blank line may straddle arrivals.
  const std::size_t from = c.scanned > 3 ? c.scanned - 3 : 0;
  const std::size_t end = c.received.find("\r\n\r\n", from);
  if (end == std::string::npos) {
    c.scanned = c.received.size();
    if (c.received.size() > head_limit) {
      refuse(c, 400, "Слишком длинный заголовок запроса: " + c.remote);
      return progress::refused;
    }
    return progress::waiting;
  }
  c.head_end = end + 4;
  auto head = std::make_unique<Poco::Net::HTTPRequest>();
  try {
    std::istringstream in(c.received.substr(0, c.head_end));
    head->read(in);
  } catch (const Poco::Exception& e) {
    refuse(c, 400, "Некорректный заголовок запроса: " + e.displayText() + ": " + c.remote);
    return progress::refused;
  }
  c.head = std::move(head);
  c.next_chunk = c.head_end;
  return progress::complete;
}

request_reader::progress request_reader::parse_body(connection& c) {
  const Poco::Net::HTTPRequest& head = *c.head;
  const std::size_t limit = limits_.body_limit;
  progress p = progress::waiting;
  if (head.getChunkedTransferEncoding()) {
    while (p == progress::waiting) {
      const std::size_t eol = c.received.find("\r\n", c.next_chunk);
      if (eol == std::string::npos) {
        if (c.received.size() - c.next_chunk > chunk_line_limit) {
          refuse(c, 400, "Некорректный блок тела запроса: " + c.remote);
          return progress::refused;
        }
        break;
      }
      std::string_view line(c.received.data() + c.next_chunk, eol - c.next_chunk);
      line = line.substr(0, line.find(';')); // extensions are ignored
      std::size_t size = 0;
      if (!parse_hex(line, size)) {
        refuse(c, 400, "Некорректный блок тела запроса: " + c.remote);
        return progress::refused;
      }
      if (size == 0) {
        // Trailer fields, then the blank line that ends the request.
        std::size_t at = eol + 2;
        std::size_t trailer_end = std::string::npos;
        while (true) {
          const std::size_t next = c.received.find("\r\n", at);
          if (next == std::string::npos) {
            break;
          }
          if (next == at) {
            trailer_end = next + 2;
            break;
          }
          at = next + 2;
        }
        if (trailer_end == std::string::npos) {
          if (c.received.size() - c.next_chunk > head_limit) {
            refuse(c, 400, "Некорректный блок тела запроса: " + c.remote);
            return progress::refused;
          }
          break;
        }
        c.next_chunk = trailer_end;
        p = progress::complete;
        break;
      }
      if (c.body.size() + size > limit) {
        refuse(c, 413,
               "Превышен размер запроса (" + std::to_string(limit) + " байт): " + head.getURI());
        return progress::refused;
      }
      if (c.received.size() < eol + 2 + size + 2) {
        break;
      }
      if (c.received.compare(eol + 2 + size, 2, "\r\n") != 0) {
        refuse(c, 400, "Некорректный блок тела запроса: " + c.remote);
        return progress::refused;
      }
      c.body.append(c.received, eol + 2, size);
      c.next_chunk = eol + 2 + size + 2;
    }
  } else {
    Poco::Int64 length = 0;
    try {
      length = head.hasContentLength() ? head.getContentLength64() : 0;
    } catch (const Poco::Exception&) {
      length = -1;
    }
    if (length < 0) {
      refuse(c, 400, "Некорректная длина тела запроса: " + c.remote);
      return progress::refused;
    }
    if (static_cast<Poco::UInt64>(length) > limit) {
      refuse(c, 413,
             "Превышен размер запроса (" + std::to_string(limit) + " байт): " + head.getURI());
      return progress::refused;
    }
    const auto size = static_cast<std::size_t>(length);
    if (c.received.size() - c.head_end >= size) {
      c.body.assign(c.received, c.head_end, size);
      c.next_chunk = c.head_end + size;
      p = progress::complete;
    }
  }
  if (p == progress::waiting && !c.continue_sent && expects_continue(head)) {
    c.continue_sent = true;
    send_now(c, "HTTP/1.1 100 Continue\r\n\r\n");
  }
  return p;
}

void request_reader::hand_on(std::unique_ptr<connection>& c) {
  full_request r;
  r.head = std::move(*c->head);
  r.body = std::move(c->body);
  c->received.erase(0, c->next_chunk); // what follows belongs to the next request
  start_next_request(*c);
  connection& kept = *c;
  r.conn = std::move(c);
  if (!deliver_(std::move(r))) {
    // deliver_ leaves the request with us when it has no room.
    c = std::move(r.conn);
    refuse(kept, 503, "Нет свободных обработчиков запросов: " + kept.remote);
  }
}

void request_reader::refuse(connection& c, int status, const std::string& why) {
  LOG("orvale", warning, why);
  send_now(c, bare_reply(status));
  // Closing with unread input would reset the connection and could destroy the reply before the
  // client reads it: stop sending, and read what still comes for a short while.
  ::shutdown(c.socket.get(), SHUT_WR);
  c.closing = true;
  c.deadline = steady::now() + lingering_close;
}

} // namespace web
