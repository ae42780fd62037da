// Request, reply and the once-only completion of a request.
#include "web/http.h"

#include <cctype>
#include <string_view>

#include "web/log.h"

namespace web {

request::request(std::string method, std::string path, param_list query, param_list form,
                 std::string raw_body, std::string content_type, std::string remote,
                 param_list headers)
    : method_(std::move(method)), path_(std::move(path)), query_(std::move(query)),
      raw_body_(std::move(raw_body)), content_type_(std::move(content_type)),
      remote_(std::move(remote)), headers_(std::move(headers)) {
  if (!form.empty()) {
    form_ = std::move(form);
  }
}

namespace {

bool is_form_content(const std::string& content_type) {
  static constexpr std::string_view form_type = "application/x-www-form-urlencoded";
  if (content_type.size() < form_type.size()) {
    return false;
  }
  for (std::size_t i = 0; i < form_type.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(content_type[i])) != form_type[i]) {
      return false;
    }
  }
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// "+" is a blank, "%XX" a byte; a "%" not followed by two hex digits stays as is.
std::string form_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
               hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

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

std::string request::header(std::string_view name) const {
  std::string out;
  for (const auto& [field, value] : headers_) {
    if (field.size() != name.size()) {
      continue;
    }
    bool same = true;
    for (std::size_t i = 0; same && i < name.size(); ++i) {
      same = std::tolower(static_cast<unsigned char>(field[i])) ==
             std::tolower(static_cast<unsigned char>(name[i]));
    }
    if (same) {
      out += out.empty() ? value : ", " + value;
    }
  }
  return out;
}

param_list parse_urlencoded(const std::string& text, std::size_t max_fields) {
  param_list out;
  const std::string_view all(text);
  std::size_t start = 0;
  while (start <= all.size()) {
    const std::size_t amp = all.find('&', start);
    const std::string_view item =
        all.substr(start, amp == std::string_view::npos ? amp : amp - start);
    if (!item.empty()) {
      if (out.size() == max_fields) {
        throw ExceptionHTTP("Слишком много полей в запросе (больше " + std::to_string(max_fields) +
                                ")",
                            400);
      }
      const std::size_t eq = item.find('=');
      out.emplace_back(form_decode(item.substr(0, eq)),
                       eq == std::string_view::npos ? "" : form_decode(item.substr(eq + 1)));
    }
    if (amp == std::string_view::npos) {
      break;
    }
    start = amp + 1;
  }
  return out;
}

const param_list& request::form() const {
  if (!form_) {
    form_ = method_ == "POST" && is_form_content(content_type_)
                ? parse_urlencoded(raw_body_, max_form_fields)
                : param_list();
  }
  return *form_;
}

std::string request::form_value(const std::string& name) const { return first_value(form(), name); }

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
