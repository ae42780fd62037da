// The station controller simulator: the controller's API, the playback, and the station role.
#include "station.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "str.h"

namespace sim {
namespace {

constexpr const char* refusal_reason = "ТРК занята другим клиентом";
constexpr const char* pump_cancel_reason = "Заказ отменен клиентом на ТРК";

const std::pair<const char*, station_mode> mode_names[] = {
    {"normal", station_mode::normal},   {"refuse", station_mode::refuse},
    {"timeout", station_mode::timeout}, {"pump-cancel", station_mode::pump_cancel},
    {"slow", station_mode::slow},       {"manual", station_mode::manual},
};

std::string param(const web::request& rq, const std::string& name) {
  const std::string value = rq.query_value(name);
  return value.empty() ? rq.form_value(name) : value;
}

// The last part of "aggregator key,gateway key,station key".
std::string station_key_of(const std::string& apikey) {
  const auto comma = apikey.rfind(',');
  return comma == std::string::npos ? std::string() : apikey.substr(comma + 1);
}

web::millis to_millis(const web::json::value& root, const std::string& name, web::millis def) {
  return web::millis(web::json::get_int(root, name, static_cast<int>(def.count())));
}

web::millis flag_millis(const flags& f, const std::string& name, web::millis def, int low) {
  return web::millis(f.integer(name, static_cast<int>(def.count()), low, 600000));
}

station_mode mode_from(const std::string& text, const std::string& what) {
  station_mode mode = station_mode::normal;
  if (!parse_mode(text, mode)) {
    throw std::invalid_argument(what + ": unknown mode '" + text +
                                "' (normal, refuse, timeout, pump-cancel, slow, manual)");
  }
  return mode;
}

void read_config_file(const std::string& path, station_network& net) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  web::json::value root;
  if (!in || !web::json::parse(text.str(), root) || !web::json::is_object(root)) {
    throw std::invalid_argument(path + " is not a readable JSON object");
  }
  net.gateway = web::json::get_string(root, "gateway", net.gateway);
  station_timing& t = net.timing;
  t.dispense = to_millis(root, "dispense_ms", t.dispense);
  t.volume_every = to_millis(root, "volume_every_ms", t.volume_every);
  t.slow = to_millis(root, "slow_ms", t.slow);
  t.timeout = to_millis(root, "timeout_ms", t.timeout);
  const web::json::value stations = web::json::find(root, "stations");
  const web::json::array_ptr list = web::json::as_array(stations);
  for (std::size_t i = 0; list && i < list->size(); ++i) {
    const web::json::value s = list->get(static_cast<unsigned>(i));
    station_setup st;
    st.id = web::json::get_int(s, "id", 0);
    st.listen = parse_listen(web::json::get_string(s, "listen", ""));
    st.key = web::json::get_string(s, "key", "");
    st.mode = mode_from(web::json::get_string(s, "mode", "normal"), path);
    net.stations.push_back(st);
  }
}

} // namespace

bool parse_mode(const std::string& text, station_mode& out) {
  for (const auto& [name, mode] : mode_names) {
    if (text == name) {
      out = mode;
      return true;
    }
  }
  return false;
}

const char* mode_name(station_mode mode) {
  for (const auto& [name, m] : mode_names) {
    if (m == mode) {
      return name;
    }
  }
  return "normal";
}

station_network read_station_network(const flags& f) {
  station_network net;
  if (f.has("config")) {
    read_config_file(f.text("config"), net);
  }
  net.gateway = f.text("gateway", net.gateway);
  station_timing& t = net.timing;
  t.dispense = flag_millis(f, "dispense-ms", t.dispense, 1);
  t.volume_every = flag_millis(f, "volume-every-ms", t.volume_every, 1);
  t.slow = flag_millis(f, "slow-ms", t.slow, 0);
  t.timeout = flag_millis(f, "timeout-ms", t.timeout, 0);
  if (f.has("listen")) {
    station_setup st;
    st.id = f.integer("id", 0, 0, 2000000000);
    st.listen = parse_listen(f.text("listen"));
    st.key = f.required("key");
    st.mode = mode_from(f.text("mode", "normal"), "--mode");
    net.stations.push_back(st);
  }
  if (net.stations.empty()) {
    throw std::invalid_argument("no station: give --listen and --key, or --config FILE");
  }
  for (const auto& st : net.stations) {
    if (st.key.empty() || t.volume_every.count() < 1 || t.dispense.count() < 1) {
      throw std::invalid_argument("every station needs a key, and the delays must be positive");
    }
  }
  return net;
}

station::station(station_setup setup, const station_network& net, web::real_clock& clock,
                 console& out)
    : setup_(std::move(setup)), gateway_(net.gateway), timing_(net.timing), clock_(clock),
      out_(out) {}

station::~station() {
  std::vector<player> players;
  {
    std::lock_guard<std::mutex> lock(mu_);
    players.swap(players_);
  }
  for (auto& p : players) {
    p.thread.join();
  }
}

std::shared_ptr<web::route_table> station::routes() {
  auto routes = std::make_shared<web::route_table>();
  routes->add("/order/?", [this](const web::context_ptr& c) { on_order(c); });
  routes->add("/fueling/?", [this](const web::context_ptr& c) { on_dispenser_start(c); });
  routes->add("/canceled/?", [this](const web::context_ptr& c) { on_stop(c); });
  routes->add("/ping/?", [this](const web::context_ptr& c) { on_ping(c); });
  return routes;
}

void station::say(const std::string& text) const {
  out_.line("station " + std::to_string(setup_.id) + " " + text);
}

bool station::authorised(const web::context_ptr& ctx) const {
  if (station_key_of(param(ctx->request(), "apikey")) == setup_.key) {
    return true;
  }
  say("refuses a call to " + ctx->request().path() + ": not its key");
  answer_json(ctx->response(), 401, R"({"msg":"Неверный ключ АЗС"})");
  return false;
}

std::shared_ptr<station::order_run> station::accept(const web::json::value& body,
                                                    const std::string& apikey, station_mode mode) {
  auto run = std::make_shared<order_run>();
  run->id = web::json::get_string(body, "id", "");
  run->apikey = apikey;
  run->trk = web::json::get_int(body, "trk", 0);
  run->litres = web::json::get_double(body, "volume", 0);
  run->mode = mode;
  std::lock_guard<std::mutex> lock(mu_);
  run->trannum = next_trannum_++;
  orders_[run->id] = run;
  return run;
}

std::shared_ptr<station::order_run> station::find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = orders_.find(id);
  return it == orders_.end() ? nullptr : it->second;
}

long station::report(const std::string& event, const web::param_list& fields) {
  const long status = post_form(gateway_ + "/" + event, fields, timing_.report_limit).status;
  std::string text = "-> " + event;
  for (const auto& [name, value] : fields) {
    if (name != "apikey") {
      text += " " + name + "=" + value;
    }
  }
  say(text + ": " + std::to_string(status));
  return status;
}

void station::on_order(const web::context_ptr& ctx) {
  if (!authorised(ctx)) {
    return;
  }
  web::json::value body;
  if (!web::json::parse(ctx->request().raw_body(), body) ||
      web::json::get_string(body, "id", "").empty()) {
    answer_json(ctx->response(), 400, R"({"msg":"Неверные данные заказа"})");
    return;
  }
  station_mode mode = setup_.mode;
  const std::string contract = web::json::get_string(body, "contract", "");
  if (contract.rfind("sim:", 0) == 0) {
    parse_mode(contract.substr(4), mode);
  }
  const std::string id = web::json::get_string(body, "id", "");
  say("<- order " + id + ": dispenser " + std::to_string(web::json::get_int(body, "trk", 0)) +
      ", " + two_decimals(web::json::get_double(body, "volume", 0)) + " l (" + mode_name(mode) +
      ")");
  if (mode == station_mode::refuse) {
    say("refuses order " + id + ": " + refusal_reason);
    web::json::object_ptr answer = web::json::make_object();
    answer->set("msg", refusal_reason);
    answer_json(ctx->response(), 402, web::json::write(answer));
    return;
  }
  if (mode == station_mode::timeout) {
    // The gateway has given up on the call by now: there is nothing to take or play.
    clock_.pause(timing_.timeout);
    say("answers order " + id + " too late");
    answer_json(ctx->response(), 200, "{}");
    return;
  }
  if (mode == station_mode::slow) {
    clock_.pause(timing_.slow);
  }
  const std::string apikey = param(ctx->request(), "apikey");
  const std::shared_ptr<order_run> run = accept(body, apikey, mode);
  const bool postpay = web::json::get_bool(body, "PostPay", false);
  web::json::object_ptr answer = web::json::make_object();
  answer->set("msg", "Заказ принят");
  answer->set("timeset", station_time());
  // A post-paid order keeps its own transaction: a new number would make it an ordinary one.
  if (!postpay) {
    answer->set("trannum", run->trannum);
    // The gateway takes a station's start-of-fueling report only while it forwards the order.
    if (mode != station_mode::manual) {
      report(
          "fueling",
          {{"apikey", apikey}, {"orderId", id}, {"extendedOrderId", std::to_string(run->trannum)}});
    }
  }
  answer_json(ctx->response(), 200, web::json::write(answer));
}

void station::on_dispenser_start(const web::context_ptr& ctx) {
  if (!authorised(ctx)) {
    return;
  }
  web::json::value body;
  if (!web::json::parse(ctx->request().raw_body(), body)) {
    answer_json(ctx->response(), 400, R"({"msg":"Неверные данные заказа"})");
    return;
  }
  const std::string id = web::json::get_string(body, "id", "");
  std::shared_ptr<order_run> run = find(id);
  if (!run) { // an order this process did not take (it was restarted): play it all the same
    run = accept(body, param(ctx->request(), "apikey"), setup_.mode);
  }
  if (run->mode == station_mode::slow) {
    clock_.pause(timing_.slow);
  }
  say("<- start dispenser " + std::to_string(run->trk) + " for order " + id);
  answer_json(ctx->response(), 200, "{}");
  // A post-paid order was dispensed before it was paid: nothing is left to play.
  if (!web::json::get_bool(body, "is_postpay", false) && run->mode != station_mode::manual) {
    start_player(run);
  }
}

void station::on_stop(const web::context_ptr& ctx) {
  if (!authorised(ctx)) {
    return;
  }
  const std::string id = param(ctx->request(), "orderId");
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = orders_.find(id);
    if (it != orders_.end()) {
      it->second->stopped = true; // a running playback sees it at its next step
      orders_.erase(it);
    }
  }
  say("<- stop order " + id + ": " + param(ctx->request(), "reason"));
  answer_json(ctx->response(), 200, "{}");
}

void station::on_ping(const web::context_ptr& ctx) {
  if (!authorised(ctx)) {
    return;
  }
  int trk = 0;
  if (!str::is_decimal_int(param(ctx->request(), "columnId"), trk)) {
    answer_json(ctx->response(), 400, R"({"Description":"Неверный номер ТРК"})");
    return;
  }
  const std::string lock_command = param(ctx->request(), "__lock");
  std::lock_guard<std::mutex> lock(mu_);
  if (lock_command == "setLock") {
    locked_.insert(trk);
  } else if (lock_command == "resetLock") {
    locked_.erase(trk);
  }
  const bool busy = std::any_of(orders_.begin(), orders_.end(), [trk](const auto& o) {
    return o.second->trk == trk && !o.second->stopped;
  });
  web::json::object_ptr answer = web::json::make_object();
  answer->set("statId", busy ? 2 : 3);
  answer->set("blocked", locked_.count(trk) != 0 ? 1 : 0);
  answer_json(ctx->response(), 200, web::json::write(answer));
}

void station::start_player(std::shared_ptr<order_run> run) {
  std::lock_guard<std::mutex> lock(mu_);
  // Threads of finished playbacks are joined here, so a long run does not pile them up.
  for (auto it = players_.begin(); it != players_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = players_.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  players_.push_back(player{std::thread([this, run, done] {
                              play(run);
                              *done = true;
                            }),
                            done});
}

void station::play(const std::shared_ptr<order_run>& run) {
  const auto forget = [&] {
    std::lock_guard<std::mutex> lock(mu_);
    orders_.erase(run->id);
  };
  const web::millis total = timing_.dispense;
  web::millis elapsed{0};
  while (elapsed < total) {
    const web::millis step = std::min(timing_.volume_every, total - elapsed);
    if (!clock_.pause(step) || run->stopped) {
      return forget();
    }
    elapsed += step;
    const double litres =
        run->litres * static_cast<double>(elapsed.count()) / static_cast<double>(total.count());
    if (elapsed < total || run->mode == station_mode::pump_cancel) {
      report("volume",
             {{"apikey", run->apikey}, {"orderid", run->id}, {"litre", two_decimals(litres)}});
    }
    if (run->mode == station_mode::pump_cancel) {
      report("canceled",
             {{"apikey", run->apikey}, {"orderId", run->id}, {"reason", pump_cancel_reason}});
      return forget();
    }
  }
  report("completed", {{"apikey", run->apikey},
                       {"orderId", run->id},
                       {"litre", two_decimals(run->litres)},
                       {"extendedOrderId", std::to_string(run->trannum)},
                       {"extendedDate", station_time()}});
  forget();
}

int run_stations(const flags& f, console& out) {
  const station_network net = read_station_network(f);
  block_stop_signals();
  web::real_clock clock;
  std::vector<std::unique_ptr<station>> stations;
  std::vector<std::unique_ptr<web::http_service>> services;
  for (const auto& setup : net.stations) {
    stations.push_back(std::make_unique<station>(setup, net, clock, out));
    services.push_back(std::make_unique<web::http_service>(
        listener_options(setup.listen, "/api/azstank"), stations.back()->routes()));
    services.back()->start();
    out.line("station " + std::to_string(setup.id) + " listening on http://" + setup.listen.ip +
             ":" + std::to_string(services.back()->port()) + "/api/azstank (" +
             mode_name(setup.mode) + "), reporting to " + net.gateway);
  }
  wait_for_stop_signal();
  clock.interrupt(); // ends held answers and playbacks
  for (auto& s : services) {
    s->stop(std::chrono::seconds(2));
  }
  return 0;
}

} // namespace sim
