// The HTTP listener on Poco: decoding, limits, dispatch, and the catch-all that guarantees every
// request one complete reply.
#include "web/server.h"

#include <algorithm>
#include <atomic>
#include <istream>
#include <thread>

#include <Poco/Exception.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/String.h>
#include <Poco/ThreadPool.h>
#include <Poco/URI.h>

#include "web/log.h"

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

bool is_form_content(const std::string& content_type) {
  std::string lowered = Poco::toLower(content_type);
  return lowered.rfind("application/x-www-form-urlencoded", 0) == 0;
}

void send_reply(net::HTTPServerResponse& resp, const response& r, bool keep_alive) {
  resp.setStatusAndReason(static_cast<net::HTTPResponse::HTTPStatus>(r.status()));
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
  std::ostream& out = resp.send();
  out.write(r.body().data(), static_cast<std::streamsize>(r.body().size()));
  out.flush();
}

void send_bare_status(net::HTTPServerResponse& resp, int status) {
  response r;
  r.status(status);
  send_reply(resp, r, false);
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

enum class body_status { ok, too_large, broken };

// Reads at most limit + 1 bytes, so a body over the limit is known without buffering it all.
body_status read_body(net::HTTPServerRequest& req, std::size_t limit, std::string& body) {
  if (req.hasContentLength() && req.getContentLength64() > static_cast<Poco::Int64>(limit)) {
    return body_status::too_large;
  }
  std::istream& in = req.stream();
  char buf[8192];
  while (in) {
    // Never ask for more than one byte past the limit: read() waits for all it asks for.
    const std::size_t want = std::min(sizeof buf, limit + 1 - body.size());
    in.read(buf, static_cast<std::streamsize>(want));
    body.append(buf, static_cast<std::size_t>(in.gcount()));
    if (body.size() > limit) {
      return body_status::too_large;
    }
  }
  // A time-out or a malformed chunk leaves the stream bad: the body is incomplete.
  return in.bad() ? body_status::broken : body_status::ok;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Form decoding: "+" is a blank, "%XX" a byte; a "%" not followed by two hex digits stays as is.
std::string form_decode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
               hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

// application/x-www-form-urlencoded pairs, names compared exactly later; "+" is a blank.
param_list parse_urlencoded(const std::string& text) {
  param_list out;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    auto amp = text.find('&', start);
    std::string item = text.substr(start, amp == std::string::npos ? amp : amp - start);
    if (!item.empty()) {
      auto eq = item.find('=');
      std::string name;
      std::string value;
      name = form_decode(item.substr(0, eq));
      if (eq != std::string::npos) {
        value = form_decode(item.substr(eq + 1));
      }
      out.emplace_back(std::move(name), std::move(value));
    }
    if (amp == std::string::npos) {
      break;
    }
    start = amp + 1;
  }
  return out;
}

class request_adapter final : public net::HTTPRequestHandler {
public:
  explicit request_adapter(std::shared_ptr<shared_state> state) : state_(std::move(state)) {}

  void handleRequest(net::HTTPServerRequest& req, net::HTTPServerResponse& resp) override {
    busy_guard busy(state_->busy);
    arrived_ = std::chrono::steady_clock::now();
    slot_ = state_->endpoint_slots.empty() ? 0 : state_->endpoint_slots.back();
    context_ptr ctx;
    try {
      ctx = prepare(req, resp);
      if (!ctx) {
        return; // answered already (400, 404, 413)
      }
      dispatch(ctx);
    } catch (const ExceptionHTTP& e) {
      LOG("orvale", error, e.what());
      answer_if_unsent(ctx, resp, e.response_code());
    } catch (const std::exception& e) {
      LOG("orvale", critical, "Необработанное исключение: " << e.what());
      answer_if_unsent(ctx, resp, 500);
    } catch (...) {
      LOG("orvale", critical, "Необработанное исключение");
      answer_if_unsent(ctx, resp, 500);
    }
  }

private:
  context_ptr prepare(net::HTTPServerRequest& req, net::HTTPServerResponse& resp) {
    Poco::URI uri;
    try {
      uri = Poco::URI(req.getURI());
    } catch (const Poco::Exception& e) {
      LOG("orvale", warning, "Некорректный адрес запроса: " << e.displayText());
      send_status(resp, 400);
      return nullptr;
    }
    std::string rest;
    if (!strip_script_name(uri.getPath(), state_->options.script, rest)) {
      send_status(resp, 404);
      return nullptr;
    }
    route_ = state_->routes->match_index(rest);
    if (!state_->endpoint_slots.empty()) {
      slot_ = state_->endpoint_slots[route_];
    }
    const std::size_t limit = static_cast<std::size_t>(state_->options.content_length_limit) * 1024;
    std::string body;
    switch (read_body(req, limit, body)) {
    case body_status::ok:
      break;
    case body_status::too_large:
      LOG("orvale", warning, "Превышен размер запроса (" << limit << " байт): " << uri.getPath());
      send_status(resp, 413);
      return nullptr;
    case body_status::broken:
      LOG("orvale", warning, "Тело запроса не получено полностью: " << uri.getPath());
      send_status(resp, 400);
      return nullptr;
    }
    param_list form;
    if (req.getMethod() == "POST" && is_form_content(req.getContentType())) {
      form = parse_urlencoded(body);
    }
    web::request r(req.getMethod(), uri.getPath(), parse_urlencoded(uri.getRawQuery()),
                   std::move(form), std::move(body), req.getContentType(),
                   req.clientAddress().toString());
    return std::make_shared<context>(
        std::move(r), [this, &resp](const response& reply, bool keep_alive) {
          count(reply.status());
          send_reply(resp, reply, keep_alive);
        });
  }

  void dispatch(const context_ptr& ctx) {
    if (route_ >= state_->routes->size()) {
      ctx->response().status(404);
      ctx->complete_response();
      return;
    }
    state_->routes->handler(route_)(ctx);
    if (ctx->completed()) {
      return;
    }
    if (ctx->detached()) {
      // The reply may come from another thread; Poco's objects live only until we return.
      const auto limit = std::chrono::seconds(state_->options.timeout);
      if (ctx->wait_completed(limit)) {
        return;
      }
      LOG("orvale", critical, "Запрос остался без ответа: " << ctx->request().path());
      ctx->response() = response();
      ctx->response().status(500);
    }
    ctx->complete_response();
  }

  void answer_if_unsent(const context_ptr& ctx, net::HTTPServerResponse& resp, int status) {
    if (ctx) {
      if (!ctx->completed()) {
        ctx->response() = response();
        ctx->response().status(status);
        ctx->complete_response();
      }
    } else if (!resp.sent()) {
      send_status(resp, status);
    }
  }

  // Answers sent before a context exists (bad address, body refused) are counted here too.
  void send_status(net::HTTPServerResponse& resp, int status) {
    count(status);
    send_bare_status(resp, status);
  }

  void count(int status) const {
    if (state_->meter) {
      state_->meter->count_request(slot_, status, std::chrono::steady_clock::now() - arrived_);
    }
  }

  std::shared_ptr<shared_state> state_;
  std::chrono::steady_clock::time_point arrived_;
  std::size_t route_ = 0;
  std::size_t slot_ = 0; // "other" until a route matched
};

class request_factory final : public net::HTTPRequestHandlerFactory {
public:
  explicit request_factory(std::shared_ptr<shared_state> state) : state_(std::move(state)) {}
  net::HTTPRequestHandler* createRequestHandler(const net::HTTPServerRequest&) override {
    return std::make_unique<request_adapter>(state_).release(); // Poco owns it now
  }

private:
  std::shared_ptr<shared_state> state_;
};

} // namespace

struct http_service::impl {
  std::shared_ptr<shared_state> state = std::make_shared<shared_state>();
  std::unique_ptr<Poco::ThreadPool> pool;
  std::unique_ptr<net::HTTPServer> server;
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

http_service::~http_service() { stop(std::chrono::milliseconds(0)); }

void http_service::start() {
  const service_options& o = impl_->state->options;
  const int threads = o.worker_threads > 0 ? o.worker_threads : 1;
  try {
    net::ServerSocket socket;
    // No SO_REUSEPORT: a second instance on the same port must fail, not share the traffic.
    socket.bind(net::SocketAddress(o.ip, static_cast<Poco::UInt16>(o.port)), true, false);
    socket.listen(256);
    impl_->port = socket.address().port();

    Poco::AutoPtr<net::HTTPServerParams> params(new net::HTTPServerParams);
    params->setMaxThreads(threads);
    params->setMaxQueued(o.max_queued);
    params->setTimeout(Poco::Timespan(o.timeout, 0));
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(Poco::Timespan(o.keep_alive_timeout, 0));
    params->setMaxKeepAliveRequests(0);
    params->setServerName("orvale");
    // An idle dispatcher runner notices a stop only when its wait ends; a short idle time keeps
    // shutdown (and a SIGHUP rebuild) from waiting out Poco's default of 10 s.
    params->setThreadIdleTime(Poco::Timespan(1, 0));
    params->duplicate();

    // Capacity above the worker count: the pool also runs the accept dispatcher.
    impl_->pool = std::make_unique<Poco::ThreadPool>(2, threads + 4, 60);
    impl_->server = std::make_unique<net::HTTPServer>(
        new request_factory(impl_->state), *impl_->pool, socket, params.get());
    impl_->server->start();
  } catch (const Poco::Exception& e) {
    impl_->server.reset();
    impl_->pool.reset();
    throw std::runtime_error("Cannot listen on " + o.ip + ":" + std::to_string(o.port) + ": " +
                             e.displayText());
  }
}

void http_service::stop(std::chrono::milliseconds grace) {
  if (!impl_->server) {
    return;
  }
  impl_->server->stop(); // no new connections
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (impl_->state->busy.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (impl_->state->busy.load() > 0) {
    LOG("orvale", warning,
        "Обработчики не завершились за отведённое время: " << impl_->state->busy.load());
  }
  impl_->server->stopAll(true);
  impl_->pool->joinAll();
  impl_->server.reset();
  impl_->pool.reset();
}

std::uint16_t http_service::port() const { return impl_->port; }

int http_service::busy_handlers() const { return impl_->state->busy.load(); }

} // namespace web
