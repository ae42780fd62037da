// The operators' listener on the same HTTP layer as the service, with a route table of its own.
#include "web/admin.h"

#include <ctime>

#include "web/json.h"
#include "web/log.h"
#include "web/server.h"

namespace web {
namespace {

constexpr int admin_threads = 4; // probes and scrapes are short and few

bool is_read(context& ctx) {
  const std::string& m = ctx.request().method();
  return m == "GET" || m == "HEAD";
}

void answer(const context_ptr& ctx, int status, const std::string& type, std::string body) {
  response& r = ctx->response();
  r.status(status);
  r.content_type(type);
  r.body(std::move(body));
  ctx->complete_response();
}

// A read-only route: anything but GET and HEAD is answered 405.
template <class Handler> route_handler read_only(Handler h) {
  return [h](const context_ptr& ctx) {
    if (!is_read(*ctx)) {
      ctx->response().status(405);
      ctx->response().set_header("Allow", "GET, HEAD");
      ctx->complete_response();
      return;
    }
    h(ctx);
  };
}

const char* readiness_text(readiness r) {
  switch (r) {
  case readiness::ok:
    return "ok";
  case readiness::down:
    return "down";
  case readiness::stopping:
    return "stopping";
  }
  return "down";
}

} // namespace

std::string utc_timestamp(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
  gmtime_r(&secs, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

std::string jobs_document(const job_snapshot& jobs) {
  json::object_ptr counts = json::make_object();
  for (const auto& [kind, c] : jobs.counts) {
    json::object_ptr states = json::make_object();
    states->set("due", c.due);
    states->set("scheduled", c.scheduled);
    states->set("running", c.running);
    states->set("failed", c.failed);
    counts->set(kind, states);
  }
  json::array_ptr failed = json::make_array();
  for (const auto& f : jobs.failed) {
    json::object_ptr item = json::make_object();
    item->set("order", f.order);
    item->set("kind", f.kind);
    item->set("attempts", f.attempts);
    item->set("last_error", f.last_error);
    item->set("failed_at", utc_timestamp(f.failed_at));
    failed->add(item);
  }
  json::object_ptr doc = json::make_object();
  doc->set("counts", counts);
  doc->set("failed", failed);
  return json::write(json::value(doc));
}

admin_service::admin_service(admin_options options, std::shared_ptr<const metrics> meter,
                             admin_sources& sources)
    : options_(std::move(options)), meter_(std::move(meter)), sources_(sources) {}

admin_service::~admin_service() { stop(); }

void admin_service::start() {
  if (!enabled() || service_) {
    return;
  }
  auto routes = std::make_shared<route_table>();
  routes->add("^/health$", read_only([](const context_ptr& ctx) {
                answer(ctx, 200, "text/plain; charset=utf-8", "ok");
              }));
  routes->add("^/ready$", read_only([this](const context_ptr& ctx) {
                const readiness r = sources_.ready();
                answer(ctx, r == readiness::ok ? 200 : 503, "application/json",
                       std::string("{\"database\":\"") + readiness_text(r) + "\"}");
              }));
  routes->add("^/metrics$", read_only([this](const context_ptr& ctx) {
                exposition out;
                if (meter_) {
                  meter_->write(out);
                }
                sources_.write_gauges(out);
                write_process_metrics(out);
                answer(ctx, 200, "text/plain; version=0.0.4", out.text());
              }));
  routes->add("^/jobs$", read_only([this](const context_ptr& ctx) {
                answer(ctx, 200, "application/json", jobs_document(sources_.jobs()));
              }));

  service_options o;
  o.ip = options_.ip;
  o.port = options_.port;
  o.worker_threads = admin_threads;
  o.max_queued = 16;
  o.script = ""; // the paths are the routes themselves
  o.timeout = 5;
  o.content_length_limit = 16;
  auto service = std::make_unique<http_service>(o, std::move(routes));
  service->start();
  service_ = std::move(service);
  LOG("orvale", info,
      "Служебный порт открыт: " << options_.ip << ":" << service_->port());
}

void admin_service::stop() {
  if (service_) {
    service_->stop(std::chrono::milliseconds(1000));
    service_.reset();
  }
}

std::uint16_t admin_service::port() const { return service_ ? service_->port() : 0; }

} // namespace web
