// The order event's body and its keys: everything of an order request that needs no database.
#include "order_request.h"

#include <cmath>
#include <string_view>

#include "order_status.h"
#include "str.h"

namespace srv_apps {
namespace {

namespace json = web::json;
using content::OrderData;

// Typed reads: a missing key and a key of another JSON type both give the default.
std::string text(const json::value& body, const char* key, const std::string& def) {
  return json::get_string(body, key, def);
}

// An infinity is not a number an order can carry (the parser refuses such literals anyway).
double number(const json::value& body, const char* key, double def) {
  double v = 0;
  if (!json::as_double(json::find(body, key), v) || !std::isfinite(v)) {
    return def;
  }
  return v;
}

int integer(const json::value& body, const char* key, int def) {
  return json::get_int(body, key, def);
}

std::string fixed6(double litres) {
  return str::dbl2str(round_half_away(litres, 3), 6);
}

// An integer literal the parser can hold: within the 64-bit range, signed for a negative one.
bool integer_fits(std::string_view digits, bool negative) {
  const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
  const std::size_t first = digits.find_first_not_of('0');
  digits = first == std::string_view::npos ? "0" : digits.substr(first);
  return digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit);
}

// The JSON parser wraps an integer literal beyond 64 bits ("ColumnId": 18446744073709551617 would
// read as 1) instead of refusing it, so such a body is refused here. Only the number tokens of a
// valid document matter: anything else fails in the parser anyway.
bool integers_in_range(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        i += text[i] == '\\' ? 1 : 0;
      }
      continue;
    }
    if (c != '-' && (c < '0' || c > '9')) {
      continue;
    }
    const std::size_t end = text.find_first_not_of("+-0123456789.eE", i);
    const std::string_view token = text.substr(i, end == std::string_view::npos ? end : end - i);
    const bool negative = token.front() == '-';
    if (token.find_first_of(".eE") == std::string_view::npos &&
        !integer_fits(token.substr(negative ? 1 : 0), negative)) {
      return false;
    }
    i += token.size() - 1;
  }
  return true;
}

} // namespace

json::value from_raw_post_data(const char* data, std::size_t size, int& error) {
  if (data == nullptr || size == 0) {
    error = BODY_EMPTY;
    return {};
  }
  json::value parsed;
  if (!integers_in_range(std::string_view(data, size)) ||
      !json::parse(std::string(data, size), parsed)) {
    error = BODY_NOT_JSON;
    return {};
  }
  error = BODY_OK;
  return parsed;
}

double round_half_away(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  const double scaled = value * scale;
  if (!std::isfinite(scaled)) {
    return value;
  }
  return std::round(scaled) / scale;
}

void read_event_keys(const json::value& body, OrderData& rec) {
  rec.id = text(body, "id", text(body, "Id", ""));
  rec.ordstatext = text(body, "status", text(body, "Status", ""));
  rec.ordtypext = text(body, "OrderType", "");
  rec.orderval = number(body, "OrderVolume", 0);
  rec.ord_vol = number(body, "Litre", 0);
  rec.volcompleted = number(body, "LitreCompleted", 0);
}

void merge_order_keys(const json::value& body, const OrderData* stored, OrderData& rec) {
  const OrderData fresh;
  const OrderData& base = stored != nullptr ? *stored : fresh;
  const auto money = [&](const char* key, double def) {
    return round_half_away(number(body, key, def), 2);
  };
  rec.ordtypext = text(body, "OrderType", base.ordtypext);
  rec.orderval = number(body, "OrderVolume", base.orderval);
  rec.ord_vol = number(body, "Litre", base.ord_vol);
  rec.timebeg = text(body, "DateCreate", base.timebeg);
  rec.shopext = text(body, "StationId", base.shopext);
  rec.StationExtendedId =
      text(body, "StationExtendedId", stored != nullptr ? std::to_string(stored->id_shop) : "");
  rec.prodext = text(body, "FuelId", base.prodext);
  rec.prodname = text(body, "FuelMarka", base.prodname);
  rec.prodident = text(body, "FuelExtendedId", base.prodident);
  rec.priceid = text(body, "PriceId", base.priceid);
  rec.trk = integer(body, "ColumnId", base.trk);
  rec.price = money("PriceFuel", base.price);
  rec.ord_sum = money("Sum", base.ord_sum);
  rec.sumpaid = money("SumPaid", base.sumpaid);
  rec.sumpaidcard = money("SumPaidCard", base.sumpaidcard);
  rec.volcompleted = round_half_away(number(body, "LitreCompleted", base.volcompleted), 3);
  rec.sumpaidcompleted = money("SumPaidCompleted", base.sumpaidcompleted);
  rec.sumpaidcardcompleted = money("SumPaidCardCompleted", base.sumpaidcardcompleted);
  rec.timeend = text(body, "DateEnd", base.timeend);
  rec.reasonid = text(body, "ReasonId", base.reasonid);
  rec.reason = text(body, "Reason", base.reason);
  rec.contractid = text(body, "ContractId", base.contractid);
  rec.user_phone = text(body, "UserPhone", base.user_phone);
  rec.user_mail = text(body, "UserEmail", base.user_mail);
  rec.ExtendedId = text(body, "ExtendedId", base.ExtendedId);
  rec.postpay = false;
}

std::string event_log_line(const OrderData& rec) {
  if (rec.ordstatext == STATUS_USER_CANCELED) {
    return "Принята отмена заказа клиентом заказ id=\"" + rec.id + "\" [ Статус=\"" +
           rec.ordstatext + "\" ]";
  }
  const bool is_new = rec.ordstatext == STATUS_ORDER_CREATED;
  std::string line = is_new ? "Принят новый заказ id=\"" : "Принят новый статус заказ id=\"";
  line += rec.id + "\" [ Тип=\"" + rec.ordtypext + "\" Статус=\"" + rec.ordstatext +
          "\" Заказано=" + fixed6(rec.orderval) + " л./руб. Объем=" + fixed6(rec.ord_vol) + " л.";
  if (!is_new) {
    line += " Отпуск=" + fixed6(rec.volcompleted) + " л.";
  }
  return line + " ]";
}

void _priceResponseBlock(const OrderData& rec, json::value& reply) {
  if (rec.current_price == 0 || rec.price == 0) {
    return;
  }
  json::object_ptr obj = json::as_object(reply);
  if (!obj) {
    obj = json::make_object();
  }
  obj->set("Price", rec.current_price);
  obj->set("ProductId", rec.prodext);
  obj->set("PriceId", rec.priceid);
  obj->set("StationId", rec.id_shop);
  reply = obj;
}

} // namespace srv_apps
