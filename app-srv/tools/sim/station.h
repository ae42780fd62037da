// The station controller simulator: answers the gateway's calls to a controller (order, dispenser
// start, stop, ping and lock) and then plays the dispensing back to the gateway as a controller
// does: fueling, the volume every few seconds, completion with the dispensed litres.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim_common.h"
#include "web/clock.h"
#include "web/json.h"
#include "web/server.h"

namespace sim {

// How a station treats an order. An order whose contract ("ContractId") is "sim:<mode>" gets that
// mode whatever the station's own.
enum class station_mode {
  normal,      // accept, dispense, complete
  refuse,      // answer the order 402 with a reason
  timeout,     // answer the order only after the gateway has given up on it
  pump_cancel, // accept, start dispensing, then cancel at the pump
  slow,        // as normal, every answer held back a while
  manual,      // accept and start the dispenser, then report nothing: play the events by hand
};
bool parse_mode(const std::string& text, station_mode& out);
const char* mode_name(station_mode mode);

struct station_timing {
  web::millis dispense{8000};     // from the dispenser start to completion
  web::millis volume_every{2000}; // between volume reports
  web::millis slow{3000};         // answers of a slow station are held back this long
  web::millis timeout{15000};     // beyond the gateway's 10 s limit for a station call
  web::millis report_limit{2000}; // a call to the gateway waits at most this long
};

struct station_setup {
  int id = 0;
  host_port listen;
  std::string key; // the station's own key, the last part of every credential it is given
  station_mode mode = station_mode::normal;
};

struct station_network {
  std::string gateway = "http://127.0.0.1:8080/orvale";
  station_timing timing;
  std::vector<station_setup> stations;
};

// From --config FILE (if given), then the flags on top of it. std::invalid_argument on errors.
station_network read_station_network(const flags& f);

class station {
public:
  station(station_setup setup, const station_network& net, web::real_clock& clock, console& out);
  ~station(); // waits for running playbacks: interrupt the clock first
  station(const station&) = delete;
  station& operator=(const station&) = delete;

  // Below "/api/azstank": "/order", "/fueling", "/canceled", "/ping".
  std::shared_ptr<web::route_table> routes();
  const station_setup& setup() const { return setup_; }

private:
  struct order_run {
    std::string id;
    std::string apikey; // as the gateway gave it; the station answers with the same credential
    int trk = 0;
    double litres = 0;
    int trannum = 0;
    station_mode mode = station_mode::normal;
    std::atomic<bool> stopped{false};
  };
  struct player {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void on_order(const web::context_ptr& ctx);
  void on_dispenser_start(const web::context_ptr& ctx);
  void on_stop(const web::context_ptr& ctx);
  void on_ping(const web::context_ptr& ctx);

  bool authorised(const web::context_ptr& ctx) const;
  std::shared_ptr<order_run> accept(const web::json::value& body, const std::string& apikey,
                                    station_mode mode);
  std::shared_ptr<order_run> find(const std::string& id) const;
  void start_player(std::shared_ptr<order_run> run);
  void play(const std::shared_ptr<order_run>& run);
  long report(const std::string& event, const web::param_list& fields);
  void say(const std::string& text) const;

  const station_setup setup_;
  const std::string gateway_;
  const station_timing timing_;
  web::real_clock& clock_;
  console& out_;
  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<order_run>> orders_; // guarded by mu_
  std::set<int> locked_;                                     // dispensers; guarded by mu_
  int next_trannum_ = 1;                                     // guarded by mu_
  std::vector<player> players_;                              // guarded by mu_
};

// The station role: every configured station listens until SIGINT or SIGTERM.
int run_stations(const flags& f, console& out);

} // namespace sim
