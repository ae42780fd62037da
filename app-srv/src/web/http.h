// What a handler sees of one HTTP request: the request, the reply it builds, and the context that
// sends the reply exactly once, early if the handler has more to do afterwards.
#pragma once

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace web {

using param_list = std::vector<std::pair<std::string, std::string>>;

// A form body with more fields than this is refused (400): decoding costs memory per field.
constexpr std::size_t max_form_fields = 1000;

// application/x-www-form-urlencoded pairs in their order; "+" is a blank, "%XX" a byte. Throws
// ExceptionHTTP(400) past `max_fields` fields.
param_list parse_urlencoded(const std::string& text, std::size_t max_fields);

class request {
public:
  // `form` holds fields already decoded; when it is empty, a urlencoded "POST" body is decoded
  // on the first access to form(), so that only routes that read forms pay for it.
  request(std::string method, std::string path, param_list query, param_list form,
          std::string raw_body, std::string content_type, std::string remote,
          param_list headers = {});

  const std::string& method() const { return method_; } // exact, case-sensitive
  const std::string& path() const { return path_; }     // decoded, script name included
  const param_list& query() const { return query_; }
  const param_list& form() const; // urlencoded POST body fields; throws ExceptionHTTP(400)
  const std::string& raw_body() const { return raw_body_; }
  const std::string& content_type() const { return content_type_; }
  const std::string& remote() const { return remote_; }
  // The value of a request header, names compared case-insensitively; several fields of the
  // name are joined with ", " as HTTP allows. "" when absent.
  std::string header(std::string_view name) const;

  // First value of the exactly named parameter; "" when absent.
  std::string query_value(const std::string& name) const;
  std::string form_value(const std::string& name) const;

private:
  std::string method_;
  std::string path_;
  param_list query_;
  mutable std::optional<param_list> form_; // decoded on first use
  std::string raw_body_;
  std::string content_type_;
  std::string remote_;
  param_list headers_;
};

class response {
public:
  void status(int code) { status_ = code; }
  int status() const { return status_; }
  void content_type(std::string v) { content_type_ = std::move(v); }
  const std::string& content_type() const { return content_type_; }
  void content_encoding(std::string v) { content_encoding_ = std::move(v); }
  const std::string& content_encoding() const { return content_encoding_; }
  void content_language(std::string v) { content_language_ = std::move(v); }
  const std::string& content_language() const { return content_language_; }
  void set_header(std::string name, std::string value);
  const param_list& headers() const { return headers_; }
  void body(std::string b) { body_ = std::move(b); }
  const std::string& body() const { return body_; }
  void write(const std::string& text) { body_ += text; }

private:
  int status_ = 200;
  std::string content_type_;
  std::string content_encoding_;
  std::string content_language_;
  param_list headers_;
  std::string body_;
};

// One request in flight. The server adapter gives the context a sender; complete_response()
// sends the reply once and never again. A detached context ("released" by its handler) is sent
// with "Connection: close" so that the handler may go on working after the client has its answer.
class context {
public:
  using sender = std::function<void(const response&, bool keep_alive)>;

  context(web::request req, sender send);
  context(const context&) = delete;
  context& operator=(const context&) = delete;

  web::request& request() { return request_; }
  web::response& response() { return response_; }

  // Sends the reply as it stands; false when a reply had been sent already.
  bool complete_response();
  bool completed() const { return completed_.load(); }
  void detach() { detached_ = true; }
  bool detached() const { return detached_.load(); }

  // Used by the adapter: waits until the reply was sent, at most `limit`.
  bool wait_completed(std::chrono::milliseconds limit);

private:
  web::request request_;
  web::response response_;
  sender send_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::atomic<bool> completed_{false};
  std::atomic<bool> detached_{false};
};

using context_ptr = std::shared_ptr<context>;

// An error that carries the HTTP status to answer with.
class ExceptionHTTP : public std::runtime_error {
public:
  ExceptionHTTP(const std::string& message, int code)
      : std::runtime_error(message), code_(code) {}
  int response_code() const { return code_; }

private:
  int code_;
};

} // namespace web
