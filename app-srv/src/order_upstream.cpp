// The four order-status calls to the aggregator.
#include "order_upstream.h"

#include <exception>
#include <utility>

#include "str.h"
#include "web/log.h"

namespace srv_apps {
namespace {

// The calls never throw: running out of memory while building the body counts as a client
// failure like any other.
template <class MakeBody>
long post_status(const order_upstream& upstream, const char* label, const char* path,
                 MakeBody make_body) {
  try {
    return perform_call(upstream.form_post(path, make_body()), status_texts(label)).status;
  } catch (const std::exception& e) {
    LOG("orvale", error, "Ошибка подготовки запроса \"" << label << "\": " << e.what());
  }
  return client_failure_status;
}

} // namespace

std::vector<std::string> status_headers() {
  return {"Content-encoding: UTF-8", "charset: utf-8", "Content-language: ru"};
}

call_texts status_texts(const std::string& label) {
  const std::string quoted = "\"" + label + "\"";
  const bool cancel = label == "Canceled";
  call_texts t;
  t.handle_error = "Error Init " + quoted + " status curl_easy_init()";
  t.send = "Send " + quoted + " status endpoint=";
  t.body_label = " postdata=";
  t.length_label = cancel ? "" : " length=";
  t.transfer_error =
      (cancel ? "Error in " : "Error Send ") + quoted + " status curle_easy_perform() err=";
  t.reply = "Get " + quoted + " status response=";
  return t;
}

order_upstream::order_upstream(std::string base_url, tls_settings tls,
                               web::peer_call_counts* counts)
    : base_url_(std::move(base_url)), tls_(std::move(tls)), counts_(counts) {}

outgoing_request order_upstream::form_post(const std::string& path, std::string body) const {
  outgoing_request rq;
  rq.url = base_url_.empty() ? std::string() : base_url_ + path;
  rq.body = std::move(body);
  rq.headers = status_headers();
  rq.tls = tls_;
  rq.counts = counts_;
  rq.connections = connections_.get();
  return rq;
}

long order_upstream::accept_order(const std::string& apikey, const std::string& order_id) const {
  return post_status(*this, "Accept", "/api/order/accept",
                     [&] { return "apikey=" + apikey + "&orderId=" + order_id; });
}

long order_upstream::fueling_order(const std::string& apikey, const std::string& order_id) const {
  return post_status(*this, "Fueling", "/api/order/fueling",
                     [&] { return "apikey=" + apikey + "&orderId=" + order_id; });
}

long order_upstream::cancel_order(const std::string& apikey, const std::string& order_id,
                                  const std::string& reason) const {
  return post_status(*this, "Canceled", "/api/order/canceled", [&] {
    return "apikey=" + apikey + "&orderId=" + order_id + "&reason=" + url_escape(reason);
  });
}

long order_upstream::complete_order(const std::string& apikey, const std::string& order_id,
                                    const std::string& extended_order_id,
                                    const std::string& extended_date, double litre) const {
  return post_status(*this, "Completed", "/api/order/completed", [&] {
    return "apikey=" + apikey + "&orderId=" + order_id + "&litre=" + str::dbl2str(litre, 2) +
           "&extendedOrderId=" + extended_order_id + "&extendedDate=" + extended_date;
  });
}

} // namespace srv_apps
