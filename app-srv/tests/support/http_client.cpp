// A thin client over Poco's, which writes the request target exactly as given.
#include "support/http_client.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>
#include <Poco/Timespan.h>

namespace orvale_test {
namespace {

namespace net = Poco::Net;

Poco::Timespan to_timespan(std::chrono::milliseconds ms) {
  return Poco::Timespan(std::chrono::duration_cast<std::chrono::microseconds>(ms).count());
}

net::HTTPRequest make_request(const std::string& method, const std::string& target,
                              const std::string& body, const std::string& content_type) {
  net::HTTPRequest req(method, target, net::HTTPMessage::HTTP_1_1);
  if (!content_type.empty()) {
    req.setContentType(content_type);
  }
  if (!body.empty() ||
      (method != net::HTTPRequest::HTTP_GET && method != net::HTTPRequest::HTTP_HEAD)) {
    req.setContentLength(static_cast<std::streamsize>(body.size()));
  }
  return req;
}

// Sends one request and reads its reply; `on_sent` sees the session once the request is out.
template <class OnSent>
http_reply exchange(net::HTTPClientSession& session, const std::string& method,
                    const std::string& target, const std::string& body,
                    const std::string& content_type, const header_list& extra, OnSent on_sent) {
  http_reply out;
  try {
    net::HTTPRequest req = make_request(method, target, body, content_type);
    for (const auto& [name, value] : extra) {
      req.set(name, value);
    }
    session.sendRequest(req) << body;
    on_sent(session);
    net::HTTPResponse resp;
    std::istream& in = session.receiveResponse(resp);
    out.status = static_cast<int>(resp.getStatus());
    for (const auto& [name, value] : resp) {
      out.headers.emplace_back(name, value);
    }
    Poco::StreamCopier::copyToString(in, out.body);
  } catch (const Poco::Exception& e) {
    out.error = e.displayText(); // a reply head that did arrive keeps its status
  }
  return out;
}

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string form_escape(const std::string& text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (unreserved(c)) {
      out += ch;
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    }
  }
  return out;
}

} // namespace

std::string http_reply::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (Poco::icompare(key, name) == 0) {
      return value;
    }
  }
  return "";
}

http_reply http_call(std::uint16_t port, const std::string& method, const std::string& target,
                     const std::string& body, const std::string& content_type,
                     std::chrono::milliseconds timeout) {
  net::HTTPClientSession session("127.0.0.1", port);
  session.setKeepAlive(false);
  session.setTimeout(to_timespan(timeout));
  return exchange(session, method, target, body, content_type, {}, [](net::HTTPClientSession&) {});
}

http_reply http_get_with(std::uint16_t port, const std::string& target, const header_list& headers) {
  net::HTTPClientSession session("127.0.0.1", port);
  session.setKeepAlive(false);
  session.setTimeout(to_timespan(std::chrono::seconds(10)));
  return exchange(session, "GET", target, "", "", headers, [](net::HTTPClientSession&) {});
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) {
      out += '&';
    }
    out += form_escape(name) + '=' + form_escape(value);
  }
  return out;
}

keep_alive_client::keep_alive_client(std::uint16_t port, std::chrono::milliseconds timeout)
    : session_(std::make_unique<net::HTTPClientSession>("127.0.0.1", port)) {
  session_->setKeepAlive(true);
  session_->setTimeout(to_timespan(timeout));
}

keep_alive_client::~keep_alive_client() = default;

http_reply keep_alive_client::call(const std::string& method, const std::string& target,
                                   const std::string& body, const std::string& content_type) {
  return exchange(*session_, method, target, body, content_type, {},
                  [this](net::HTTPClientSession& session) {
                    const std::uint16_t local = session.socket().address().port();
                    if (local != local_port_) {
                      local_port_ = local;
                      ++connections_made_;
                    }
                  });
}

} // namespace orvale_test
