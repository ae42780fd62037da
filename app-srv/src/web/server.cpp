// The HTTP listener on Poco: decoding, limits, dispatch, and the catch-all that guarantees every
// request one complete reply.
#include "web/server.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

#include <Poco/Exception.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Timestamp.h>
#include <Poco/URI.h>

#include "web/log.h"
#include "web/request_reader.h"

namespace web {

void route_table::add(const std::string& pattern, route_handler handler, std::string endpoint) {
  routes_.push_back(route{std::regex(pattern), std::move(handler), std::move(endpoint)});
}

const route_handler* route_table::match(const std::string& rest) const {
  const std::size_t i = match_index(rest);
  return i < routes_.size() ? &routes_[i].handler : nullptr;
}

std::size_t route_table::match_index(const std::string& rest) const {
  for (std::size_t i = 0; i < routes_.size(); ++i) {
    if (std::regex_match(rest, routes_[i].pattern)) {
      return i;
    }
  }
  return routes_.size();
}

bool strip_script_name(const std::string& path, const std::string& script, std::string& rest) {
  if (path.compare(0, script.size(), script) != 0) {
    return false;
  }
  if (path.size() > script.size() && path[script.size()] != '/') {
    return false; // "/orvalex" is not below "/orvale"
  }
  rest = path.substr(script.size());
  return true;
}

namespace {

namespace net = Poco::Net;

// The reply's head and body as one block, so that it leaves in one write.
std::string format_reply(const net::HTTPRequest& head, const response& r, bool keep_alive) {
  net::HTTPResponse resp;
  resp.setVersion(head.getVersion() == net::HTTPMessage::HTTP_1_0 ? net::HTTPMessage::HTTP_1_0
                                                                  : net::HTTPMessage::HTTP_1_1);
  resp.setStatusAndReason(static_cast<net::HTTPResponse::HTTPStatus>(r.status()));
  resp.setDate(Poco::Timestamp());
  resp.set("Server", "orvale");
  if (!r.content_type().empty()) {
    resp.setContentType(r.content_type());
  }
  if (!r.content_encoding().empty()) {
    resp.set("Content-Encoding", r.content_encoding());
  }
  if (!r.content_language().empty()) {
    resp.set("Content-Language", r.content_language());
  }
  for (const auto& [name, value] : r.headers()) {
    resp.set(name, value);
  }
  resp.setContentLength64(static_cast<Poco::Int64>(r.body().size()));
  resp.setKeepAlive(keep_alive);
  std::ostringstream out;
  resp.write(out);
  std::string text = out.str();
  if (head.getMethod() != net::HTTPRequest::HTTP_HEAD) {
    text += r.body();
  }
  return text;
}

struct shared_state {
  service_options options;
  std::shared_ptr<const route_table> routes;
  std::shared_ptr<metrics> meter;          // may be null
  std::vector<std::size_t> endpoint_slots; // of each route in `meter`, then the "other" slot
  std::atomic<int> busy{0};
};

class busy_guard {
public:
  explicit busy_guard(std::atomic<int>& n) : n_(n) { ++n_; }
  ~busy_guard() { --n_; }
  busy_guard(const busy_guard&) = delete;
  busy_guard& operator=(const busy_guard&) = delete;

private:
  std::atomic<int>& n_;
};

// One request on a worker thread: decoding, dispatch and the catch-all that guarantees one reply.
class request_adapter {
public:
  request_adapter(const shared_state& state, full_request& r) : state_(state), r_(r) {}

  // True when the connection may carry the next request.
  bool handle() {
    arrived_ = std::chrono::steady_clock::now();
    slot_ = state_.endpoint_slots.empty() ? 0 : state_.endpoint_slots.back();
    context_ptr ctx;
    try {
      ctx = prepare();
      if (!ctx) {
        return keep_alive_; // answered already (400, 404)
      }
      dispatch(ctx);
    } catch (const ExceptionHTTP& e) {
      LOG("orvale", error, e.what());
      answer_if_unsent(ctx, e.response_code());
    } catch (const std::exception& e) {
      LOG("orvale", critical, "Необработанное исключение: " << e.what());
      answer_if_unsent(ctx, 500);
    } catch (...) {
      LOG("orvale", critical, "Необработанное исключение");
      answer_if_unsent(ctx, 500);
    }
    if (ctx) {
      // A detached handler may be writing its reply on another thread right now: the connection
      // is closed or handed back only once that write is over.
      ctx->wait_completed(std::chrono::milliseconds(0));
    }
    return keep_alive_;
  }

private:
  context_ptr prepare() {
    Poco::URI uri;
    try {
      uri = Poco::URI(r_.head.getURI());
    } catch (const Poco::Exception& e) {
      LOG("orvale", warning, "Некорректный адрес запроса: " << e.displayText());
      send_status(400);
      return nullptr;
    }
    std::string rest;
    if (!strip_script_name(uri.getPath(), state_.options.script, rest)) {
      send_status(404);
      return nullptr;
    }
    route_ = state_.routes->match_index(rest);
    if (!state_.endpoint_slots.empty()) {
      slot_ = state_.endpoint_slots[route_];
    }
    web::request req(r_.head.getMethod(), uri.getPath(),
                     parse_urlencoded(uri.getRawQuery(), max_form_fields), {}, std::move(r_.body),
                     r_.head.getContentType(), r_.conn->remote, header_fields());
    return std::make_shared<context>(
        std::move(req), [this](const response& reply, bool keep) { send(reply, keep); });
  }

  param_list header_fields() const {
    param_list fields;
    fields.reserve(r_.head.size());
    for (const auto& [name, value] : r_.head) {
      fields.emplace_back(name, value);
    }
    return fields;
  }

    void dispatch(const context_ptr& ctx) {
    if (route_ >= state_.routes->size()) {
      ctx->response().status(404);
      ctx->complete_response();
      return;
    }
    state_.routes->handler(route_)(ctx);
    if (ctx->completed()) {
      return;
    }
    if (ctx->detached()) {
      // The reply may come from another thread; the connection is ours only until we return.
      const auto limit = std::chrono::seconds(state_.options.timeout);
      if (ctx->wait_completed(limit)) {
        return;
      }
      LOG("orvale", critical, "Запрос остался без ответа: " << ctx->request().path());
      ctx->response() = response();
      ctx->response().status(500);
    }
    ctx->complete_response();
  }

  // Every answer is counted, those sent before a route runs (bad address, 404) included.
  void send(const response& reply, bool keep) {
    if (state_.meter) {
      state_.meter->count_request(slot_, reply.status(),
                                  std::chrono::steady_clock::now() - arrived_);
    }
    const bool keep_alive = keep && r_.head.getKeepAlive();
    sent_ = true;
    keep_alive_ = false; // unless the whole reply goes out
    send_all(*r_.conn, format_reply(r_.head, reply, keep_alive),
             std::chrono::seconds(state_.options.timeout));
    keep_alive_ = keep_alive;
  }

  void send_status(int status) {
    response r;
    r.status(status);
    try {
      send(r, false);
    } catch (const std::exception& e) {
      LOG("orvale", debug, "Ответ не доставлен клиенту: " << e.what());
    }
  }

  void answer_if_unsent(const context_ptr& ctx, int status) {
    if (ctx) {
      if (!ctx->completed()) {
        ctx->response() = response();
        ctx->response().status(status);
        ctx->complete_response();
      }
    } else if (!sent_) {
      send_status(status);
    }
  }

  const shared_state& state_;
  full_request& r_;
  std::chrono::steady_clock::time_point arrived_;
  std::size_t route_ = 0;
  std::size_t slot_ = 0; // "other" until a route matched
  bool sent_ = false;
  bool keep_alive_ = false;
};

// Complete requests wait here for a worker; the queue is bounded by "service.max_queued".
class worker_pool {
public:
  using run_fn = std::function<void(full_request&)>;

  worker_pool(int threads, std::size_t max_queued, run_fn run)
      : max_queued_(max_queued), run_(std::move(run)) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] { work(); });
    }
  }
  ~worker_pool() { stop(); }
  worker_pool(const worker_pool&) = delete;
  worker_pool& operator=(const worker_pool&) = delete;

  // Leaves `r` untouched and returns false when the queue is full.
  bool offer(full_request&& r) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ || queue_.size() >= max_queued_ + idle_) {
        return false;
      }
      queue_.push_back(std::move(r));
    }
    cv_.notify_one();
    return true;
  }

  // Requests not yet started are dropped (their connections closed); running ones finish.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
      queue_.clear();
    }
    cv_.notify_all();
    for (auto& t : threads_) {
      if (t.joinable()) {
        t.join();
      }
    }
    threads_.clear();
  }

private:
  void work() {
    while (true) {
      full_request r;
      {
        std::unique_lock<std::mutex> lock(mu_);
        ++idle_;
        cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (stopping_) {
          return;
        }
        r = std::move(queue_.front());
        queue_.pop_front();
      }
      run_(r);
    }
  }

  const std::size_t max_queued_;
  run_fn run_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<full_request> queue_; // guarded by mu_
  std::size_t idle_ = 0;           // guarded by mu_
  bool stopping_ = false;          // guarded by mu_
  std::vector<std::thread> threads_;
};

} // namespace

struct http_service::impl {
  std::shared_ptr<shared_state> state = std::make_shared<shared_state>();
  std::unique_ptr<net::ServerSocket> socket;
  std::unique_ptr<worker_pool> workers;
  std::unique_ptr<request_reader> reader;
  std::uint16_t port = 0;
};

http_service::http_service(service_options options, std::shared_ptr<const route_table> routes,
                           std::shared_ptr<metrics> meter)
    : impl_(std::make_unique<impl>()) {
  shared_state& st = *impl_->state;
  st.options = std::move(options);
  st.routes = std::move(routes);
  st.meter = std::move(meter);
  if (st.meter) {
    for (std::size_t i = 0; i < st.routes->size(); ++i) {
      st.endpoint_slots.push_back(st.meter->endpoint_slot(st.routes->endpoint(i)));
    }
    st.endpoint_slots.push_back(st.meter->endpoint_slot("other"));
  }
}

http_service::~http_service() {
  stop(std::chrono::milliseconds(0));
}

// Reading and handling are apart: one thread reads every connection until its request is
// complete (or its deadline has passed), and only complete requests reach the worker threads.
// Clients that send slowly therefore occupy no worker, however many of them there are.
void http_service::start() {
  const service_options& o = impl_->state->options;
  const int threads = o.worker_threads > 0 ? o.worker_threads : 1;
  try {
    auto socket = std::make_unique<net::ServerSocket>();
    // No SO_REUSEPORT: a second instance on the same port must fail, not share the traffic.
    socket->bind(net::SocketAddress(o.ip, static_cast<Poco::UInt16>(o.port)), true, false);
    socket->listen(256);
    socket->setBlocking(false);
    impl_->port = socket->address().port();
    impl_->socket = std::move(socket);
  } catch (const Poco::Exception& e) {
    impl_->socket.reset();
    throw std::runtime_error("Cannot listen on " + o.ip + ":" + std::to_string(o.port) + ": " +
                             e.displayText());
  }
  reader_limits limits;
  limits.request_deadline = std::chrono::milliseconds(
      static_cast<long long>(o.request_deadline > 0 ? o.request_deadline * 1000 : 30000));
  limits.keep_alive = std::chrono::seconds(o.keep_alive_timeout > 0 ? o.keep_alive_timeout : 0);
  limits.body_limit = static_cast<std::size_t>(o.content_length_limit) * 1024;
  impl_->workers = std::make_unique<worker_pool>(
      threads, static_cast<std::size_t>(o.max_queued > 0 ? o.max_queued : 0),
      [impl = impl_.get()](full_request& r) {
        busy_guard busy(impl->state->busy);
        if (request_adapter(*impl->state, r).handle()) {
          impl->reader->keep(std::move(r.conn)); // the reader outlives the workers
        }
      });
  impl_->reader = std::make_unique<request_reader>(
      impl_->socket->impl()->sockfd(), limits,
      [workers = impl_->workers.get()](full_request&& r) { return workers->offer(std::move(r)); });
  impl_->reader->start();
}

void http_service::stop(std::chrono::milliseconds grace) {
  if (!impl_->reader) {
    return;
  }
  impl_->reader->stop_accepting(); // no new connections
  impl_->socket->close();
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (impl_->state->busy.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (impl_->state->busy.load() > 0) {
    LOG("orvale", warning,
        "Обработчики не завершились за отведённое время: " << impl_->state->busy.load());
  }
  impl_->reader->stop();
  impl_->workers->stop();
  impl_->reader.reset();
  impl_->workers.reset();
  impl_->socket.reset();
}

std::uint16_t http_service::port() const {
  return impl_->port;
}

int http_service::busy_handlers() const {
  return impl_->state->busy.load();
}

} // namespace web
