// "orvale-sim order": places one order with the gateway as the aggregator would and follows it
// through the calls the aggregator simulator receives, until it is completed or canceled.
#pragma once

#include <string>

#include "sim_common.h"

namespace sim {

struct order_request {
  std::string gateway = "http://127.0.0.1:8080/orvale";
  std::string aggregator = "http://127.0.0.1:9200";
  std::string apikey;
  std::string id; // "" makes one up
  std::string station;
  int column = 0;
  std::string fuel; // the aggregator's product code
  double litres = 0;
  double price = 0; // 0: the gateway's current price
  std::string contract;
  int timeout_s = 120;
};

// 0 when the order is completed; 1 when it is refused, canceled, or not finished in time.
int run_order(const flags& f, console& out);

} // namespace sim
