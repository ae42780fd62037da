// Requests to the service under test, with the target sent exactly as the test wrote it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Poco::Net {
class HTTPClientSession;
} // namespace Poco::Net

namespace orvale_test {

struct http_reply {
  int status = 0; // 0: no connection, or it ended (or timed out) without a complete reply head
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string error; // why status is 0

  std::string header(const std::string& name) const; // case-insensitive; "" when absent
};

// One request on a fresh connection to 127.0.0.1:port, closed afterwards. `target` goes onto the
// request line verbatim (e.g. "/orvale/pri%63e?apikey=x"); a body or a method other than GET and
// HEAD brings a Content-Length.
http_reply http_call(std::uint16_t port, const std::string& method, const std::string& target,
                     const std::string& body = "", const std::string& content_type = "",
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

using header_list = std::vector<std::pair<std::string, std::string>>;

// A GET on a fresh connection with extra request headers; the reply's body exactly as it came
// (no content coding undone).
http_reply http_get_with(std::uint16_t port, const std::string& target, const header_list& headers);

// application/x-www-form-urlencoded: unreserved characters as they are, space as '+', the rest
// as %XX.
std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields);

// Several requests over one kept-alive connection. When the server has closed it, the next call
// opens a new one, which connections_made() shows.
class keep_alive_client {
public:
  explicit keep_alive_client(std::uint16_t port,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10));
  ~keep_alive_client();
  keep_alive_client(const keep_alive_client&) = delete;
  keep_alive_client& operator=(const keep_alive_client&) = delete;

  http_reply call(const std::string& method, const std::string& target,
                  const std::string& body = "", const std::string& content_type = "");
  std::size_t connections_made() const { return connections_made_; }

private:
  std::unique_ptr<Poco::Net::HTTPClientSession> session_;
  std::uint16_t local_port_ = 0; // of the connection used last
  std::size_t connections_made_ = 0;
};

} // namespace orvale_test
