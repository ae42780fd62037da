// Calls to a station controller: URLs, credential, bodies and the answer handed back.
#include "order_station.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "web/log.h"

namespace srv_apps {
namespace {

// The calls never throw: running out of memory while building the request counts as a client
// failure like any other.
// `slot` is the per-controller slot of a call made while an HTTP worker waits for it, or an
// unbounded one for the calls of an order's run after its answer.
template <class MakeRequest>
long forward(const station_limiter::slot& slot, const char* label, bool with_body,
             std::string& answer, MakeRequest make_request) {
  answer.clear();
  try {
    if (!slot) {
      return transfer_failure_status;
    }
    outgoing_result out = perform_call(make_request(), forward_texts(label, with_body));
    answer = std::move(out.reply);
    return out.status;
  } catch (const std::exception& e) {
    LOG("orvale", error, "Ошибка подготовки запроса на АЗС \"" << label << "\": " << e.what());
  }
  return client_failure_status;
}

std::string text_of(const web::json::value& body, const char* key, const char* def) {
  return web::json::get_string(body, key, def);
}

} // namespace

std::vector<std::string> station_json_headers() {
  return {"Accept: application/json", "Content-encoding: UTF-8", "Content-Type: application/json",
          "charset: utf-8", "Content-language: ru"};
}

std::vector<std::string> station_plain_headers() {
  return {"Content-encoding: UTF-8", "charset: utf-8", "Content-language: ru"};
}

call_texts forward_texts(const std::string& label, bool with_body) {
  const std::string quoted = "\"" + label + "\"";
  call_texts t;
  t.handle_error = "Error Init forward " + quoted + " request curl_easy_init()";
  t.send = "Send forward " + quoted + " request endpoint=";
  t.body_label = with_body ? " json postdata=" : "";
  t.length_label = with_body ? " length=" : "";
  t.transfer_error = "Error forward " + quoted + " request curle_easy_perform() err=";
  t.reply = "Get forward " + quoted + " request response=";
  return t;
}

order_station::order_station(std::string app_key, tls_settings tls, station_limiter* limits,
                             web::peer_call_counts* counts, connection_cache* connections)
    : app_key_(std::move(app_key)), tls_(std::move(tls)), limits_(limits), counts_(counts),
      connections_(connections) {}

station_limiter::slot order_station::reserve(const station_link& link) const {
  if (limits_ == nullptr || link.endpoint.empty()) {
    return station_limiter::slot::unbounded(); // nothing will be sent without an endpoint
  }
  station_limiter::slot slot = limits_->acquire(link.endpoint);
  if (!slot) {
    LOG("orvale", error,
        "АЗС " << link.endpoint << ": нет свободного места для запроса (уже "
               << limits_->concurrency() << " запросов)");
  }
  return slot;
}

std::string order_station::credential(const std::string& apikey, const station_link& link) const {
  return apikey + "," + app_key_ + "," + link.key;
}

// The credential as it goes into a query: each part percent-encoded, the commas between them as
// they are, so a key of plain letters and digits reads exactly as before.
std::string order_station::query_credential(const std::string& apikey,
                                            const station_link& link) const {
  return url_escape(apikey) + "," + url_escape(app_key_) + "," + url_escape(link.key);
}

outgoing_request order_station::request(const station_link& link,
                                        const std::string& path_and_query) const {
  outgoing_request rq;
  rq.url = link.endpoint.empty() ? std::string() : link.endpoint + path_and_query;
  rq.tls = tls_;
  rq.read_reply = true;
  rq.counts = counts_;
  rq.connections = connections_;
  return rq;
}

long order_station::fwd_order(const station_link& link, const std::string& apikey,
                              const web::json::value& body, std::string& answer) const {
  return forward(reserve(link), "Order", true, answer, [&] {
    outgoing_request rq = request(link, "/order?apikey=" + query_credential(apikey, link));
    rq.body = web::json::write(body);
    rq.headers = station_json_headers();
    return rq;
  });
}

long order_station::fwd_fueling(const station_link& link, const std::string& apikey,
                                const web::json::value& body, std::string& answer) const {
  return forward(station_limiter::slot::unbounded(), "Fueling", true, answer, [&] {
    outgoing_request rq = request(link, "/fueling?apikey=" + query_credential(apikey, link));
    rq.body = web::json::write(body);
    rq.headers = station_json_headers();
    return rq;
  });
}

long order_station::fwd_cancel_ext(const station_link& link, const std::string& apikey,
                                   const web::json::value& body, std::string& answer) const {
  return forward(station_limiter::slot::unbounded(), "Canceled", true, answer, [&] {
    const std::string query = "?apikey=" + query_credential(apikey, link) +
                              "&orderId=" + url_escape(text_of(body, "id", "")) +
                              "&reason=" + url_escape(text_of(body, "Reason", "")) +
                              "&ref=" + url_escape(text_of(body, "ReasonRef", "sys")) +
                              "&extId=" + url_escape(text_of(body, "extendedOrderId", ""));
    outgoing_request rq = request(link, "/canceled" + query);
    rq.body = web::json::write(body);
    rq.headers = station_plain_headers();
    return rq;
  });
}

long order_station::fwd_pricelist_request(const station_link& link, const std::string&,
                                          std::string& answer, bool callback) const {
  return forward(station_limiter::slot::unbounded(), "Price List", false, answer, [&] {
    const char* path = callback ? "/callback/prices" : "/station/prices";
    outgoing_request rq =
        request(link, path + ("?apikey=" + url_escape(app_key_) + "," + url_escape(link.key)));
    rq.post = false;
    rq.headers = station_plain_headers();
    return rq;
  });
}

std::string order_station::_makeExtDate(const std::time_t& when) {
  // localtime() would share one static buffer with every other thread of the process.
  const std::time_t t = when != 0 ? when : std::time(nullptr);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) {
    return "";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

} // namespace srv_apps
