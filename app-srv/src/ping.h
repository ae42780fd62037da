// The aggregator's question whether a dispenser is free, and its lock and unlock commands, passed
// to the station controller's "/ping" resource and answered in the aggregator's terms.
#pragma once

#include <memory>
#include <string>

#include "master.h"
#include "order_station.h"
#include "web/json.h"

namespace srv_apps {

// The optional "__lock" parameter; any word but the two commands asks the plain question.
enum class lock_command { none, set_lock, reset_lock };
lock_command lock_command_of(const std::string& word);

// What is read of the controller's answer. A member that is missing or of another JSON type
// keeps its default.
struct station_answer {
  int statId = -1; // 3 free, 2 nozzle taken; read when "Status" is empty
  std::string Status;
  std::string Description;
  int prodcod = -1; // the station's product code
  double Litre = 0; // of the running transaction (410, 411)
  double Sum = 0;   // likewise
  std::string ExtendedId;
  int blocked = 0; // after a lock command: 1 locked
};

// False when there is nothing to read: an empty body, text that is not one JSON document, null.
bool read_station_answer(const std::string& body, station_answer& out);

// The reply object for the controller's status and answer; `fuel_id` is the product in the
// aggregator's codes ("" when it has none). An empty value when there is nothing to tell.
web::json::value ping_reply(long status, const station_answer& answer, const std::string& fuel_id,
                            lock_command command);

class ping final : public master {
public:
  using master::master;

  void get_ping();

  // Both return the controller's HTTP status (or the result code of the outgoing call, 400 for a
  // link without endpoint) and replace `answer` with the body received. They write no log line.
  long fwd_ping(const station_link& link, const std::string& apikey, int columnId,
                std::string& answer) const;
  long fwd_lock(const station_link& link, const std::string& apikey, int columnId,
                lock_command command, std::string& answer) const;

private:
  struct parameters {
    std::string apikey;
    std::string stationId;
    std::string columnId;
    lock_command command = lock_command::none;
  };
  // What the checks established: the caller and the station's link.
  struct checked {
    int id_app = -1;
    int station = 0;
    int column = 0;
    content::AzsConnInfo link;
  };

  parameters _read_parameters() const;
  checked _check(const parameters& p);
  long _send(const station_link& link, const std::string& apikey, int columnId,
             const std::string& extra, std::string& answer) const;
  std::string _fuel_id(long status, const station_answer& answer, int id_app);
  void _reply(web::context& ctx, long status, const web::json::value& body);
};

} // namespace srv_apps
