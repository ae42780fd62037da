// orvale-sim: a station controller and an aggregator to try the gateway against, and an order
// placed and followed from end to end.
#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>

#include <curl/curl.h>

#include "aggregator.h"
#include "order_client.h"
#include "station.h"

namespace {

constexpr const char* usage = R"(usage:
  orvale-sim station --listen ADDR:PORT --key KEY [--id N] [--mode MODE]
                     [--gateway URL] [--config FILE]
                     [--dispense-ms MS] [--volume-every-ms MS] [--slow-ms MS] [--timeout-ms MS]
      plays station controllers: one from the flags, and/or every one of the JSON file
      MODE: normal, refuse, timeout, pump-cancel, slow, manual (an order whose
      ContractId is "sim:MODE" gets that mode); URL default http://127.0.0.1:8080/orvale
  orvale-sim aggregator [--listen ADDR:PORT]
      takes the gateway's order-status calls and prints them; default 127.0.0.1:9200
  orvale-sim order --apikey KEY --station ID --column N --fuel CODE --litres L
                   [--price P] [--contract TEXT] [--id ORDER_ID] [--timeout S]
                   [--gateway URL] [--aggregator URL]
      places an order and prints each call the aggregator simulator gets for it;
      exit status 0 when completed, 1 when refused, canceled or out of time
)";

int run_role(int argc, char** argv, sim::console& out) {
  const std::string role = argv[1];
  if (role == "station") {
    return sim::run_stations(
        sim::flags(argc, argv, 2,
                   {"listen", "key", "id", "mode", "gateway", "config", "dispense-ms",
                    "volume-every-ms", "slow-ms", "timeout-ms"}),
        out);
  }
  if (role == "aggregator") {
    return sim::run_aggregator(sim::flags(argc, argv, 2, {"listen"}), out);
  }
  if (role == "order") {
    return sim::run_order(sim::flags(argc, argv, 2,
                                     {"gateway", "aggregator", "apikey", "id", "station", "column",
                                      "fuel", "litres", "price", "contract", "timeout"}),
                          out);
  }
  throw std::invalid_argument("unknown role '" + role + "'");
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::cerr << usage;
    return argc < 2 ? 2 : 0;
  }
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    std::cerr << "orvale-sim: libcurl cannot be initialised\n";
    return 1;
  }
  sim::console out;
  int status = 2;
  try {
    status = run_role(argc, argv, out);
  } catch (const std::invalid_argument& e) {
    std::cerr << "orvale-sim: " << e.what() << "\n" << usage;
  } catch (const std::exception& e) {
    std::cerr << "orvale-sim: " << e.what() << "\n";
    status = 1;
  }
  curl_global_cleanup();
  return status;
}
