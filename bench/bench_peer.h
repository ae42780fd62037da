// A peer the benchmarks play (station controllers, the aggregator): Poco's HTTP server on
// 127.0.0.1, every request answered by a new Handler that records into a shared Log.
#pragma once

#include <cstdint>
#include <memory>

#include <Poco/AutoPtr.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/ThreadPool.h>

#include "bench_common.h"

namespace bench {

template <class Handler, class Log> class http_peer {
public:
  http_peer(std::uint16_t port, Log& log) : pool_(4, 256) {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress(local_host, port), 256);
    Poco::AutoPtr<Poco::Net::HTTPServerParams> params(new Poco::Net::HTTPServerParams);
    params->setMaxThreads(200);
    params->setMaxQueued(1024);
    params->setKeepAlive(true);
    params->duplicate();
    server_ = std::make_unique<Poco::Net::HTTPServer>(std::make_unique<factory>(log).release(),
                                                      pool_, socket, params.get());
    server_->start();
  }
  ~http_peer() {
    server_->stopAll(true);
    pool_.joinAll();
  }
  http_peer(const http_peer&) = delete;
  http_peer& operator=(const http_peer&) = delete;

private:
  class factory final : public Poco::Net::HTTPRequestHandlerFactory {
  public:
    explicit factory(Log& log) : log_(log) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
      return std::make_unique<Handler>(log_).release(); // Poco owns it now
    }

  private:
    Log& log_;
  };

  Poco::ThreadPool pool_;
  std::unique_ptr<Poco::Net::HTTPServer> server_;
};

} // namespace bench
