// The order role: price look-up, the OrderCreated event, and the long poll of the aggregator
// simulator.
#include "order_client.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>

#include "web/json.h"

namespace sim {
namespace {

using steady = std::chrono::steady_clock;
constexpr web::millis call_limit{15000};
constexpr int poll_wait_ms = 5000;

double round2(double v) {
  return std::round(v * 100) / 100;
}

std::string iso_now() {
  return local_time_text("%Y-%m-%dT%H:%M:%S%z");
}

std::string made_up_id() {
  std::random_device rd;
  char text[32];
  std::snprintf(text, sizeof text, "sim-%lld-%04u", static_cast<long long>(std::time(nullptr)),
                rd() % 10000);
  return text;
}

order_request read_request(const flags& f) {
  order_request rq;
  rq.gateway = f.text("gateway", rq.gateway);
  rq.aggregator = f.text("aggregator", rq.aggregator);
  rq.apikey = f.required("apikey");
  rq.id = f.has("id") ? f.required("id") : made_up_id();
  rq.station = f.required("station");
  rq.column = f.integer("column", 0, 1, 1000);
  rq.fuel = f.required("fuel");
  rq.litres = to_number("--litres", f.required("litres"));
  rq.price = f.number("price", 0);
  rq.contract = f.text("contract");
  rq.timeout_s = f.integer("timeout", rq.timeout_s, 1, 86400);
  if (rq.column == 0) {
    throw std::invalid_argument("--column is required");
  }
  return rq;
}

// The gateway's price list for the station: the price the order must carry to be taken.
double current_price(const order_request& rq, console& out) {
  const auto reply = get(rq.gateway + "/price?apikey=" + srv_apps::url_escape(rq.apikey) +
                             "&stationId=" + srv_apps::url_escape(rq.station),
                         call_limit);
  web::json::value list;
  if (reply.status == 200 && web::json::parse(reply.reply, list) && web::json::is_array(list)) {
    const auto items = web::json::as_array(list);
    for (std::size_t i = 0; i < items->size(); ++i) {
      const web::json::value item = items->get(static_cast<unsigned>(i));
      if (web::json::get_string(item, "ProductId", "") == rq.fuel) {
        return web::json::get_double(item, "Price", 0);
      }
    }
  }
  out.line("no price of " + rq.fuel + " at station " + rq.station + " (price list: HTTP " +
           std::to_string(reply.status) + " " + reply.reply + "); give --price");
  return 0;
}

std::string seconds_since(steady::time_point start) {
  char text[32];
  std::snprintf(text, sizeof text, "%+6.1f s",
                std::chrono::duration<double>(steady::now() - start).count());
  return text;
}

std::string describe(const web::json::value& e) {
  const std::string event = web::json::get_string(e, "event", "");
  std::string text = "aggregator <- " + event;
  const web::json::object_ptr fields = web::json::find_object(e, "fields");
  for (const char* name : {"litre", "reason", "extendedOrderId", "extendedDate", "msg"}) {
    if (fields && fields->has(name)) {
      text += std::string(" ") + name + "=" +
              web::json::get_string(e, std::string("fields.") + name, "");
    }
  }
  return text;
}

// Follows the order's calls at the aggregator: 0 completed, 1 canceled or out of time.
int follow(const order_request& rq, steady::time_point start, console& out) {
  const auto deadline = start + std::chrono::seconds(rq.timeout_s);
  long after = 0;
  while (steady::now() < deadline) {
    const auto reply =
        get(rq.aggregator + "/sim/events?orderId=" + srv_apps::url_escape(rq.id) +
                "&after=" + std::to_string(after) + "&wait=" + std::to_string(poll_wait_ms),
            call_limit);
    web::json::value list;
    if (reply.status != 200 || !web::json::parse(reply.reply, list) || !web::json::is_array(list)) {
      out.line("the aggregator simulator at " + rq.aggregator + " does not answer (HTTP " +
               std::to_string(reply.status) + ")");
      return 1;
    }
    const auto events = web::json::as_array(list);
    for (std::size_t i = 0; i < events->size(); ++i) {
      const web::json::value e = events->get(static_cast<unsigned>(i));
      after = std::max<long>(after, web::json::get_int64(e, "seq", after));
      out.line(seconds_since(start) + "  " + describe(e));
      const std::string event = web::json::get_string(e, "event", "");
      if (event == "completed") {
        out.line("order " + rq.id + " completed");
        return 0;
      }
      if (event == "canceled") {
        out.line("order " + rq.id + " canceled");
        return 1;
      }
    }
  }
  out.line("order " + rq.id + " neither completed nor canceled within " +
           std::to_string(rq.timeout_s) + " s");
  return 1;
}

// The OrderCreated event as an aggregator sends it.
std::string order_body(const order_request& rq, double price) {
  web::json::object_ptr o = web::json::make_object();
  o->set("Id", rq.id);
  o->set("Status", "OrderCreated");
  o->set("OrderType", "Liters");
  o->set("OrderVolume", rq.litres);
  o->set("Litre", rq.litres);
  o->set("DateCreate", iso_now());
  o->set("StationId", rq.station);
  o->set("StationExtendedId", rq.station);
  o->set("ColumnId", rq.column);
  o->set("FuelId", rq.fuel);
  o->set("FuelExtendedId", rq.fuel);
  o->set("PriceFuel", price);
  o->set("Sum", round2(price * rq.litres));
  o->set("SumPaid", round2(price * rq.litres));
  if (!rq.contract.empty()) {
    o->set("ContractId", rq.contract);
  }
  return web::json::write(o);
}

} // namespace

int run_order(const flags& f, console& out) {
  const order_request rq = read_request(f);
  const double price = rq.price > 0 ? rq.price : current_price(rq, out);
  if (price <= 0) {
    return 1;
  }
  out.line("order " + rq.id + ": " + two_decimals(rq.litres) + " l of " + rq.fuel + " at station " +
           rq.station + ", dispenser " + std::to_string(rq.column) + ", " + two_decimals(price) +
           " a litre");
  const auto start = steady::now();
  const auto reply = post_json(rq.gateway + "/order?apikey=" + srv_apps::url_escape(rq.apikey),
                               order_body(rq, price), call_limit);
  out.line(seconds_since(start) + "  gateway -> " + std::to_string(reply.status) +
           (reply.reply.empty() ? "" : " " + reply.reply));
  if (reply.status != 200) {
    out.line("order " + rq.id + " refused by the gateway (its log says why)");
    return 1;
  }
  return follow(rq, start, out);
}

} // namespace sim
