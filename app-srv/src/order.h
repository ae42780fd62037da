// The aggregator's order events: the endpoint's checks, the price check and the answer, then the
// hand-over to the order's run (order_machine.h).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "master.h"
#include "order_lock.h"
#include "order_machine.h"
#include "web/json.h"

namespace srv_apps {

// A price as the price list publishes it: whole hundredths, half away from zero, of the price as
// stored with its 4 decimals.
long long price_hundredths(double price);
// True when both prices are set and the price list shows them alike: the aggregator orders at the
// published price, rounded, never at the stored one.
bool same_published_price(double current, double ordered);

class order final : public master {
public:
  using master::master;

  void get_order();

private:
  void _serve(const web::context_ptr& ctx);
  // Checks and records the event (the price of a new order too); true when it repeats one the
  // aggregator already sent.
  bool _check_event(content::PGBackend* db, const web::json::value& body, order_event& ev,
                    int& http);
  void _check_request(int body_error, const std::string& apikey, const web::json::value& body);
  int _caller(const std::string& apikey, const content::PGBackend& db);
  std::unique_ptr<order_lock> _serialise(const std::string& apikey, const web::json::value& body,
                                         std::unique_ptr<content::PGBackend>& db);
  void _check_price(content::PGBackend* db, content::OrderData& rec, web::json::value& reply,
                    int& http);
  void _answer(web::context& ctx, int http, const web::json::value& reply);
};

} // namespace srv_apps
