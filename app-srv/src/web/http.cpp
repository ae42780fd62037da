// Request, reply and the once-only completion of a request.
#include "web/http.h"

#include "web/log.h"

namespace web {

request::request(std::string method, std::string path, param_list query, param_list form,
                 std::string raw_body, std::string content_type, std::string remote)
    : method_(std::move(method)), path_(std::move(path)), query_(std::move(query)),
      form_(std::move(form)), raw_body_(std::move(raw_body)),
      content_type_(std::move(content_type)), remote_(std::move(remote)) {}

namespace {
std::string first_value(const param_list& params, const std::string& name) {
  for (const auto& [key, value] : params) {
    if (key == name) {
      return value;
    }
  }
  return "";
}
} // namespace

std::string request::query_value(const std::string& name) const {
  return first_value(query_, name);
}

std::string request::form_value(const std::string& name) const { return first_value(form_, name); }

void response::set_header(std::string name, std::string value) {
  for (auto& [key, v] : headers_) {
    if (key == name) {
      v = std::move(value);
      return;
    }
  }
  headers_.emplace_back(std::move(name), std::move(value));
}

context::context(web::request req, sender send)
    : request_(std::move(req)), send_(std::move(send)) {}

bool context::complete_response() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (completed_.load()) {
      return false;
    }
    // Marked first: a reply that fails on the wire (client gone) is not sent a second time.
    completed_ = true;
    try {
      send_(response_, !detached_.load());
    } catch (const std::exception& e) {
      LOG("orvale", debug, "Ответ не доставлен клиенту: " << e.what());
    }
  }
  cv_.notify_all();
  return true;
}

bool context::wait_completed(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, limit, [this] { return completed_.load(); });
}

} // namespace web
