// The aggregator simulator's call log, its routes and its run.
#include "aggregator.h"

#include <algorithm>

#include "str.h"
#include "web/json.h"

namespace sim {
namespace {

constexpr int max_wait_ms = 30000; // a poll holds a listener thread at most this long

std::string order_id_of(const web::request& rq) {
  const std::string id = rq.form_value("orderId");
  return id.empty() ? rq.form_value("orderid") : id;
}

std::string describe(const aggregator_event& e) {
  std::string text = "aggregator <- " + e.event + " orderId=" + e.order_id;
  for (const auto& [name, value] : e.fields) {
    if (name != "orderId" && name != "orderid") {
      text += " " + name + "=" + value;
    }
  }
  return text;
}

web::json::object_ptr to_json(const aggregator_event& e) {
  web::json::object_ptr fields = web::json::make_object();
  for (const auto& [name, value] : e.fields) {
    fields->set(name, value);
  }
  web::json::object_ptr o = web::json::make_object();
  o->set("seq", e.seq);
  o->set("event", e.event);
  o->set("orderId", e.order_id);
  o->set("fields", fields);
  return o;
}

void take_call(const web::context_ptr& ctx, const std::string& event, event_log& log,
               console& out) {
  const web::request& rq = ctx->request();
  aggregator_event e;
  e.event = event;
  e.order_id = order_id_of(rq);
  e.fields = rq.form();
  out.line(describe(e));
  log.add(std::move(e));
  ctx->response().status(200);
}

void serve_events(const web::context_ptr& ctx, event_log& log) {
  const web::request& rq = ctx->request();
  int after = 0;
  int wait = 0;
  if (!str::is_decimal_int(rq.query_value("after").empty() ? "0" : rq.query_value("after"),
                           after) ||
      !str::is_decimal_int(rq.query_value("wait").empty() ? "0" : rq.query_value("wait"), wait) ||
      rq.query_value("orderId").empty()) {
    ctx->response().status(400);
    return;
  }
  wait = std::clamp(wait, 0, max_wait_ms);
  web::json::array_ptr list = web::json::make_array();
  for (const auto& e :
       log.wait_after(rq.query_value("orderId"), after, std::chrono::milliseconds(wait))) {
    list->add(to_json(e));
  }
  answer_json(ctx->response(), 200, web::json::write(list));
}

} // namespace

void event_log::add(aggregator_event e) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    e.seq = next_seq_++;
    events_.push_back(std::move(e));
    if (events_.size() > capacity_) {
      events_.pop_front();
    }
  }
  cv_.notify_all();
}

std::vector<aggregator_event> event_log::after_locked(const std::string& order_id,
                                                      long after) const {
  std::vector<aggregator_event> out;
  for (const auto& e : events_) {
    if (e.seq > after && e.order_id == order_id) {
      out.push_back(e);
    }
  }
  return out;
}

std::vector<aggregator_event> event_log::wait_after(const std::string& order_id, long after,
                                                    std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  std::vector<aggregator_event> out;
  cv_.wait_for(lock, limit, [&] {
    out = after_locked(order_id, after);
    return stopped_ || !out.empty();
  });
  return stopped_ ? std::vector<aggregator_event>{} : out;
}

void event_log::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
  }
  cv_.notify_all();
}

std::shared_ptr<web::route_table> aggregator_routes(event_log& log, console& out) {
  auto routes = std::make_shared<web::route_table>();
  for (const char* event : {"accept", "fueling", "canceled", "completed", "volume", "message"}) {
    routes->add(std::string("/api/order/") + event + "/?",
                [&log, &out, event = std::string(event)](const web::context_ptr& ctx) {
                  take_call(ctx, event, log, out);
                });
  }
  routes->add("/sim/events/?", [&log](const web::context_ptr& ctx) { serve_events(ctx, log); });
  return routes;
}

int run_aggregator(const flags& f, console& out) {
  const host_port at = parse_listen(f.text("listen", "127.0.0.1:9200"));
  block_stop_signals();
  event_log log;
  web::http_service service(listener_options(at, ""), aggregator_routes(log, out));
  service.start();
  out.line("aggregator listening on http://" + at.ip + ":" + std::to_string(service.port()) +
           " (order API below /api/order)");
  wait_for_stop_signal();
  log.stop();
  service.stop(std::chrono::seconds(2));
  return 0;
}

} // namespace sim
