// What the order body fuzzer holds every input to, shared by the libFuzzer target and by the unit
// test that replays the kept inputs under the regular build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "conn.h"
#include "order_request.h"
#include "web/json.h"

namespace orvale_fuzz {

inline content::OrderData stored_order() {
  content::OrderData s;
  s.id = "stored";
  s.id_app = 1;
  s.ordtypext = "Money";
  s.orderval = 500;
  s.ord_vol = 9.5;
  s.timebeg = "2021-03-04 05:06:07.123456";
  s.shopext = "s10";
  s.id_shop = 10;
  s.prodext = "92";
  s.prodname = "AI-92";
  s.prodident = "a92";
  s.priceid = "p1";
  s.trk = 2;
  s.price = 52.3;
  s.ord_sum = 500;
  s.sumpaid = 500;
  s.sumpaidcard = 1;
  s.volcompleted = 9.5;
  s.sumpaidcompleted = 2;
  s.sumpaidcardcompleted = 3;
  s.timeend = "2021-03-04 05:16:07.000000";
  s.reasonid = "r";
  s.reason = "reason";
  s.contractid = "c";
  s.user_phone = "p";
  s.user_mail = "m";
  s.ExtendedId = "x";
  return s;
}

// The merged fields of two records agree.
inline bool same_merged_fields(const content::OrderData& a, const content::OrderData& b) {
  return a.ordtypext == b.ordtypext && a.orderval == b.orderval && a.ord_vol == b.ord_vol &&
         a.timebeg == b.timebeg && a.shopext == b.shopext && a.prodext == b.prodext &&
         a.prodname == b.prodname && a.prodident == b.prodident && a.priceid == b.priceid &&
         a.trk == b.trk && a.price == b.price && a.ord_sum == b.ord_sum && a.sumpaid == b.sumpaid &&
         a.sumpaidcard == b.sumpaidcard && a.volcompleted == b.volcompleted &&
         a.sumpaidcompleted == b.sumpaidcompleted &&
         a.sumpaidcardcompleted == b.sumpaidcardcompleted && a.timeend == b.timeend &&
         a.reasonid == b.reasonid && a.reason == b.reason && a.contractid == b.contractid &&
         a.user_phone == b.user_phone && a.user_mail == b.user_mail && a.ExtendedId == b.ExtendedId;
}

inline std::string check_parsed_body(const web::json::value& body) {
  namespace json = web::json;
  content::OrderData rec;
  srv_apps::read_event_keys(body, rec);
  if (srv_apps::event_log_line(rec).find("id=\"" + rec.id + "\"") == std::string::npos) {
    return "the log line lacks the id";
  }
  const content::OrderData stored = stored_order();
  content::OrderData merged = rec;
  merged.postpay = true;
  srv_apps::merge_order_keys(body, &stored, merged);
  if (merged.id != rec.id || merged.ordstatext != rec.ordstatext) {
    return "the merge changed the id or the status name";
  }
  if (merged.postpay) {
    return "the merge kept the postpay flag";
  }
  if (!json::is_object(body)) {
    if (!rec.id.empty() || !rec.ordstatext.empty()) {
      return "a body that is not an object gave an id or a status";
    }
    if (!same_merged_fields(merged, stored) || merged.StationExtendedId != "10") {
      return "a body that is not an object changed the stored values";
    }
  }
  content::OrderData fresh;
  srv_apps::merge_order_keys(body, nullptr, fresh);

  // The endpoint logs the body in canonical form.
  json::write(body);
  json::value reply;
  merged.current_price = 1;
  srv_apps::_priceResponseBlock(merged, reply);
  json::value block;
  if (merged.price != 0 && !json::parse(json::write(reply), block)) {
    return "the price block is not JSON";
  }
  return "";
}

// "" when the input passes, else what went wrong. Nothing here may throw.
inline std::string check_order_body(const std::uint8_t* data, std::size_t size) {
  try {
    int error = -1;
    const web::json::value body =
        srv_apps::from_raw_post_data(reinterpret_cast<const char*>(data), size, error);
    if (size == 0 ? error != srv_apps::BODY_EMPTY
                  : error != srv_apps::BODY_OK && error != srv_apps::BODY_NOT_JSON) {
      return "unexpected body error " + std::to_string(error);
    }
    if (error != srv_apps::BODY_OK) {
      return web::json::is_null(body) ? "" : "a refused body has a value";
    }
    return check_parsed_body(body);
  } catch (const std::exception& e) {
    return std::string("exception: ") + e.what();
  } catch (...) {
    return "exception of an unknown type";
  }
}

} // namespace orvale_fuzz
