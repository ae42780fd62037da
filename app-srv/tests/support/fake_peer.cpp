// The scripted peer: a Poco HTTP server whose handlers share one recorder with the test thread.
#include "support/fake_peer.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/ThreadPool.h>

namespace orvale_test {
namespace {

namespace net = Poco::Net;

constexpr int max_threads = 32; // concurrent connections the peer serves

std::string describe(const std::vector<seen_request>& seen) {
  std::ostringstream out;
  for (const auto& r : seen) {
    out << "\n  " << r.method << ' ' << r.path << (r.query.empty() ? "" : "?") << r.query;
  }
  return out.str();
}

// What a handler does with one request.
struct action {
  bool close = false;
  reply answer{404};
};

// Shared by the test thread and the server's handler threads.
class recorder {
public:
  action take(seen_request req) {
    std::lock_guard lock(mu_);
    action act = next_action(req.path);
    req.answered = act.close ? 0 : act.answer.status;
    seen_.push_back(std::move(req));
    changed_.notify_all();
    return act;
  }

  void script(const std::string& path, std::vector<reply> replies) {
    std::lock_guard lock(mu_);
    if (replies.empty()) {
      scripts_.erase(path);
      return;
    }
    scripts_[path] = script_state{std::move(replies), 0};
  }

  void close_on(const std::string& path) {
    std::lock_guard lock(mu_);
    closing_.insert(path);
  }

  std::vector<seen_request> requests(const std::string* path) const {
    std::lock_guard lock(mu_);
    if (path == nullptr) {
      return seen_;
    }
    std::vector<seen_request> out;
    for (const auto& r : seen_) {
      if (r.path == *path) {
        out.push_back(r);
      }
    }
    return out;
  }

  testing::AssertionResult wait_for(const std::string* path, std::size_t n,
                                    std::chrono::milliseconds limit) const {
    std::unique_lock lock(mu_);
    const bool reached = changed_.wait_for(lock, limit, [&] { return count(path) >= n; });
    if (reached) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "waited " << limit.count() << " ms for " << n << " request(s)"
           << (path != nullptr ? " to " + *path : std::string()) << ", got " << count(path)
           << "; all requests so far:" << describe(seen_);
  }

  // False when the peer began to stop during the pause.
  bool pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(mu_);
    return !changed_.wait_for(lock, delay, [&] { return stopping_; });
  }

  void stop() {
    std::lock_guard lock(mu_);
    stopping_ = true;
    changed_.notify_all();
  }

private:
  struct script_state {
    std::vector<reply> replies;
    std::size_t used = 0;
  };

  action next_action(const std::string& path) { // with mu_ held
    if (closing_.count(path) != 0) {
      return action{true, reply{}};
    }
    auto it = scripts_.find(path);
    if (it == scripts_.end()) {
      return action{};
    }
    script_state& s = it->second;
    const std::size_t index = std::min(s.used, s.replies.size() - 1);
    ++s.used;
    return action{false, s.replies[index]};
  }

  std::size_t count(const std::string* path) const { // with mu_ held
    if (path == nullptr) {
      return seen_.size();
    }
    std::size_t n = 0;
    for (const auto& r : seen_) {
      n += r.path == *path ? 1 : 0;
    }
    return n;
  }

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;     // a request arrived or the peer stops
  std::map<std::string, script_state> scripts_; // guarded by mu_
  std::set<std::string> closing_;               // guarded by mu_
  std::vector<seen_request> seen_;              // guarded by mu_
  bool stopping_ = false;                       // guarded by mu_
};

seen_request read_request(net::HTTPServerRequest& req) {
  seen_request seen;
  seen.at = std::chrono::steady_clock::now();
  seen.method = req.getMethod();
  const std::string& target = req.getURI();
  const auto question = target.find('?');
  seen.path = target.substr(0, question);
  seen.query = question == std::string::npos ? "" : target.substr(question + 1);
  seen.content_type = req.getContentType();
  seen.client = req.clientAddress().toString();
  for (const auto& [name, value] : req) {
    seen.headers.emplace_back(name, value);
  }
  Poco::StreamCopier::copyToString(req.stream(), seen.body);
  return seen;
}

void close_without_answer(net::HTTPServerRequest& req, net::HTTPServerResponse& resp) {
  resp.setKeepAlive(false);
  if (auto* impl = dynamic_cast<net::HTTPServerRequestImpl*>(&req)) {
    impl->socket().shutdown();
  }
}

void answer(const reply& r, net::HTTPServerResponse& resp) {
  resp.setStatusAndReason(static_cast<net::HTTPResponse::HTTPStatus>(r.status));
  if (!r.body.empty()) {
    resp.setContentType(r.content_type);
  }
  for (const auto& [name, value] : r.headers) {
    resp.set(name, value);
  }
  resp.setContentLength(static_cast<std::streamsize>(r.body.size()));
  resp.send() << r.body;
}

class scripted_handler : public net::HTTPRequestHandler {
public:
  explicit scripted_handler(std::shared_ptr<recorder> rec) : rec_(std::move(rec)) {}

  void handleRequest(net::HTTPServerRequest& req, net::HTTPServerResponse& resp) override {
    const action act = rec_->take(read_request(req));
    if (act.close) {
      close_without_answer(req, resp);
      return;
    }
    if (act.answer.delay.count() > 0 && !rec_->pause(act.answer.delay)) {
      close_without_answer(req, resp);
      return;
    }
    answer(act.answer, resp);
  }

private:
  std::shared_ptr<recorder> rec_;
};

class scripted_factory : public net::HTTPRequestHandlerFactory {
public:
  explicit scripted_factory(std::shared_ptr<recorder> rec) : rec_(std::move(rec)) {}

  net::HTTPRequestHandler* createRequestHandler(const net::HTTPServerRequest&) override {
    return std::make_unique<scripted_handler>(rec_).release(); // Poco owns it now
  }

private:
  std::shared_ptr<recorder> rec_;
};

} // namespace

std::string seen_request::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (Poco::icompare(key, name) == 0) {
      return value;
    }
  }
  return "";
}

namespace {

// Keeps OpenSSL initialised while a TLS peer exists (Poco counts the calls).
struct ssl_library {
  ssl_library() { net::initializeSSL(); }
  ~ssl_library() { net::uninitializeSSL(); }
  ssl_library(const ssl_library&) = delete;
  ssl_library& operator=(const ssl_library&) = delete;
};

net::ServerSocket listen_socket(const tls_identity* tls) {
  const net::SocketAddress any_port("127.0.0.1", 0);
  if (tls == nullptr) {
    return net::ServerSocket(any_port);
  }
  auto context = Poco::makeAuto<net::Context>(net::Context::SERVER_USE, tls->key_file,
                                              tls->cert_file, "", net::Context::VERIFY_NONE);
  return net::SecureServerSocket(any_port, 64, context);
}

} // namespace

struct fake_peer::impl {
  std::unique_ptr<ssl_library> ssl;
  std::shared_ptr<recorder> rec = std::make_shared<recorder>();
  // Declared before the server, which must go first: its threads run in this pool.
  Poco::ThreadPool pool{2, max_threads + 2};
  net::ServerSocket socket;
  std::uint16_t port;
  std::string scheme;
  std::unique_ptr<net::HTTPServer> server;

  explicit impl(const tls_identity* tls)
      : ssl(tls != nullptr ? std::make_unique<ssl_library>() : nullptr), socket(listen_socket(tls)),
        port(socket.address().port()), scheme(tls != nullptr ? "https" : "http") {
    auto params = Poco::makeAuto<net::HTTPServerParams>();
    params->setMaxThreads(max_threads);
    params->setMaxQueued(64);
    params->setTimeout(Poco::Timespan(10, 0));
    params->setKeepAlive(true);
    server = std::make_unique<net::HTTPServer>(Poco::makeShared<scripted_factory>(rec), pool,
                                               socket, params);
    server->start();
  }

  ~impl() {
    rec->stop(); // wakes the handlers inside a scripted delay
    // The acceptor polls in 250 ms steps; on Linux shutting the listening socket wakes it now.
    socket.impl()->shutdownReceive();
    server->stopAll(true); // also shuts the sockets of kept-alive connections
    pool.joinAll();
  }
  impl(const impl&) = delete;
  impl& operator=(const impl&) = delete;
};

fake_peer::fake_peer() : impl_(std::make_unique<impl>(nullptr)) {}

fake_peer::fake_peer(const tls_identity& tls) : impl_(std::make_unique<impl>(&tls)) {}

fake_peer::~fake_peer() = default;

void fake_peer::script(const std::string& path, std::vector<reply> replies) {
  impl_->rec->script(path, std::move(replies));
}

void fake_peer::close_connections_on(const std::string& path) {
  impl_->rec->close_on(path);
}

std::vector<seen_request> fake_peer::requests() const {
  return impl_->rec->requests(nullptr);
}

std::vector<seen_request> fake_peer::requests(const std::string& path) const {
  return impl_->rec->requests(&path);
}

testing::AssertionResult fake_peer::wait_for(std::size_t n, std::chrono::milliseconds limit) const {
  return impl_->rec->wait_for(nullptr, n, limit);
}

testing::AssertionResult fake_peer::wait_for(const std::string& path, std::size_t n,
                                             std::chrono::milliseconds limit) const {
  return impl_->rec->wait_for(&path, n, limit);
}

std::uint16_t fake_peer::port() const {
  return impl_->port;
}

std::string fake_peer::base_url() const {
  return impl_->scheme + "://127.0.0.1:" + std::to_string(impl_->port);
}

} // namespace orvale_test
