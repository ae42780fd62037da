// The five station event calls to the aggregator: paths, bodies, time limits and log lines.
#include "station_upstream.h"

#include <exception>
#include <utility>

#include "web/log.h"

namespace srv_apps {
namespace {

constexpr web::millis short_limit{3000}; // volume and message: progress, not worth a long wait


// The volume and message lines as the operators know them: " size=" and their own init text.
call_texts short_texts(const std::string& label, const std::string& init_label,
                       const std::string& channel) {
  call_texts t;
  t.channel = channel;
  t.handle_error = "Error Init \"" + init_label + "\" status curl_easy_init()";
  t.send = "Send \"" + label + "\" status endpoint=";
  t.body_label = " postdata=";
  t.length_label = " size=";
  t.transfer_error = "Error in \"" + label + "\" status curle_easy_perform() err=";
  t.reply = "Get \"" + label + "\" status response=";
  return t;
}

// Building the body may run out of memory; like any client failure that is a 500, not a throw.
template <class MakeRequest>
long post(const call_texts& texts, const char* label, MakeRequest make_request) {
  try {
    return perform_call(make_request(), texts).status;
  } catch (const std::exception& e) {
    LOG(texts.channel, error, "Ошибка подготовки запроса \"" << label << "\": " << e.what());
  }
  return client_failure_status;
}

} // namespace


long station_upstream::upstream_fueling(const std::string& apikey,
                                        const std::string& order_id) const {
  return post(status_texts("Fueling"), "Fueling", [&] {
    return upstream_.form_post("/api/order/fueling", "apikey=" + form_escape(apikey) +
                                                         "&orderId=" + form_escape(order_id));
  });
}

long station_upstream::upstream_cancel(const std::string& apikey, const std::string& order_id,
                                       const std::string& reason) const {
  return post(status_texts("Canceled"), "Canceled", [&] {
    return upstream_.form_post("/api/order/canceled", "apikey=" + form_escape(apikey) +
                                                          "&orderId=" + form_escape(order_id) +
                                                          "&reason=" + form_escape(reason));
  });
}

long station_upstream::upstream_completed(const std::string& apikey, const std::string& order_id,
                                          const std::string& extended_order_id,
                                          const std::string& extended_date,
                                          const std::string& litre) const {
  return post(status_texts("Completed"), "Completed", [&] {
    return upstream_.form_post(
        "/api/order/completed",
        "apikey=" + form_escape(apikey) + "&orderId=" + form_escape(order_id) +
            "&litre=" + form_escape(litre) + "&extendedOrderId=" + form_escape(extended_order_id) +
            "&extendedDate=" + form_escape(extended_date));
  });
}

long station_upstream::upstream_volume(const std::string& apikey, const std::string& order_id,
                                       const std::string& litre) const {
  return post(short_texts("Volume", "Canceled", "orvale"), "Volume", [&] {
    outgoing_request rq = upstream_.form_post(
        "/api/order/volume", "apikey=" + form_escape(apikey) + "&orderid=" + form_escape(order_id) +
                                 "&litre=" + form_escape(litre));
    rq.time_limit = short_limit;
    return rq;
  });
}

long station_upstream::upstream_notify(const std::string& apikey, const std::string& order_id,
                                       const std::string& msg) const {
  return post(short_texts("Notify", "Notify", "orvale/message"), "Notify", [&] {
    outgoing_request rq = upstream_.form_post(
        "/api/order/message", "apikey=" + form_escape(apikey) +
                                  "&orderid=" + form_escape(order_id) + "&msg=" + form_escape(msg));
    rq.time_limit = short_limit;
    return rq;
  });
}

} // namespace srv_apps
