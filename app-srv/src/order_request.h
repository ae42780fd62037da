// The aggregator's order events: the JSON body read into an order record, checked against the
// local database, merged with the order stored under the same id and written; and the two small
// writers the order state machine uses (a station's price, a partial order record).
#pragma once

#include <cstddef>
#include <string>

#include "conn.h"
#include "web/json.h"

namespace srv_apps {

// Internal result codes of order processing. Callers only log them beside the HTTP status.
enum order_result_code : int {
  ORDER_RESULT_OK = 0,
  ORDER_RESULT_NO_CONNECTION = 13, // no database connection, or no link data for the station
  ORDER_RESULT_DB_FAILURE = 14,    // no database object, the order lookup or the write failed
  ORDER_RESULT_REPEATED = 17,      // "OrderCreated" again for a stored order; nothing written
  ORDER_RESULT_INVALID = 22,       // request data invalid
};

// Errors of from_raw_post_data.
inline constexpr int BODY_OK = 0;
inline constexpr int BODY_NOT_JSON = 5;
inline constexpr int BODY_EMPTY = 42;

// The whole body as one JSON document: BODY_EMPTY with an undefined value for no bytes at all,
// BODY_NOT_JSON (value undefined) when it is not exactly one document. Any JSON value is
// accepted; a body that is not an object reads every key as missing. Never throws.
web::json::value from_raw_post_data(const char* data, std::size_t size, int& error);

// Authenticates `apikey`, reads `body` into `rec`, merges it with the stored order, checks it
// against the local database, fills `link` with the station's link and writes the order.
// `result` gets an order_result_code where the step that ends the request sets one (it is left
// as it was otherwise), `http_status` the status to answer with. `db` may be null. Logs on
// "orvale/order"; never throws.
void process_request(content::PGBackend* db, const std::string& apikey,
                     const web::json::value& body, content::OrderData& rec,
                     content::AzsConnInfo& link, int& result, int& http_status);

// Stores a price the station reported for one of its products, inserting the row when the
// station has none yet. 400 and nothing written for a station or product below 1 or a price
// that is not a positive number.
void update_product_price(content::PGBackend* db, int id_shop, int prodcod, double price,
                          int& result, int& http_status);

// Writes the fields of `rec` that are set over the stored order; a status name is resolved to
// its status type first (501 and nothing written when the application does not know it).
void update_order_info(content::PGBackend* db, content::OrderData& rec, int& result,
                       int& http_status);

// With both the current price and "PriceFuel" non-zero, sets "Price", "ProductId", "PriceId" and
// "StationId" in `reply` (made an object when it is not one); otherwise leaves it as it is.
void _priceResponseBlock(const content::OrderData& rec, web::json::value& reply);

// The steps of process_request that need no database.
//
// The keys every event is logged with: "Id" then "id", "Status" then "status", "OrderType",
// "OrderVolume", "Litre" and "LitreCompleted", missing ones taking the new order's defaults.
void read_event_keys(const web::json::value& body, content::OrderData& rec);
// Every other key of the event, a missing or mistyped one taking the stored value (or the new
// order's default without `stored`); clears the postpay flag and rounds the money (2 decimals)
// and "LitreCompleted" (3 decimals). The id and the status name are not touched.
void merge_order_keys(const web::json::value& body, const content::OrderData* stored,
                      content::OrderData& rec);
// The info line an event is announced with, chosen by its status name.
std::string event_log_line(const content::OrderData& rec);
// Half away from zero at `decimals` places; a value too large to scale comes back unchanged.
double round_half_away(double value, int decimals);

} // namespace srv_apps
