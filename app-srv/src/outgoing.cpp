// One outgoing HTTP call: handle, options, transfer, result code and debug lines.
#include "outgoing.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <exception>
#include <memory>
#include <string_view>

#include <curl/curl.h>

#include "conn.h"
#include "web/log.h"

namespace srv_apps {
namespace {

using curl_ptr = std::unique_ptr<CURL, content::c_free<curl_easy_cleanup>>;
using curl_list_ptr = std::unique_ptr<curl_slist, content::c_free<curl_slist_free_all>>;
using curl_text_ptr = std::unique_ptr<char, content::c_free<curl_free>>;

constexpr long max_redirects = 10;
constexpr const char* web_protocols = "http,https";

// The body and what is left of it; a 307/308 redirect of a POST sends the body again from the
// start, which libcurl asks for through the seek callback.
struct upload {
  std::string_view whole;
  upload_source rest;
};

int seek_callback(void* data, curl_off_t offset, int origin) {
  auto* up = static_cast<upload*>(data);
  if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > up->whole.size()) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  const auto at = static_cast<std::size_t>(offset);
  up->rest = upload_source{up->whole.data() + at, up->whole.size() - at};
  return CURL_SEEKFUNC_OK;
}

// A reply nobody reads must not reach the process's standard output (libcurl's default).
std::size_t discard_callback(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

// Applies options in order and keeps the first failure.
class option_setter {
public:
  explicit option_setter(CURL* handle) : handle_(handle) {}

  template <class T> option_setter& set(CURLoption option, T value) {
    if (rc_ == CURLE_OK) {
      rc_ = curl_easy_setopt(handle_, option, value);
    }
    return *this;
  }
  CURLcode result() const { return rc_; }

private:
  CURL* handle_;
  CURLcode rc_ = CURLE_OK;
};

// False when libcurl could not allocate a list node; the list built so far stays owned.
bool build_headers(const std::vector<std::string>& lines, curl_list_ptr& list) {
  for (const auto& line : lines) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) {
      return false;
    }
    static_cast<void>(list.release()); // the same list, now owned through `grown`
    list.reset(grown);
  }
  return true;
}

void set_tls(option_setter& opts, const tls_settings& tls) {
  if (!tls.verify) {
    opts.set(CURLOPT_SSL_VERIFYPEER, 0L).set(CURLOPT_SSL_VERIFYHOST, 0L);
    return;
  }
  opts.set(CURLOPT_SSL_VERIFYPEER, 1L).set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!tls.ca_file.empty()) {
    opts.set(CURLOPT_CAINFO, tls.ca_file.c_str());
  }
}

CURLcode configure(CURL* handle, const outgoing_request& rq, upload& up, reply_sink& sink,
                   curl_slist* headers) {
  option_setter opts(handle);
  opts.set(CURLOPT_URL, rq.url.c_str())
      .set(CURLOPT_NOSIGNAL, 1L)
      .set(CURLOPT_PROTOCOLS_STR, web_protocols)
      .set(CURLOPT_REDIR_PROTOCOLS_STR, web_protocols)
      .set(CURLOPT_FOLLOWLOCATION, 1L)
      .set(CURLOPT_MAXREDIRS, max_redirects)
      .set(CURLOPT_TCP_NODELAY, 1L)
      .set(CURLOPT_TIMEOUT_MS,
           static_cast<long>(std::max<web::millis::rep>(rq.time_limit.count(), 1)))
      .set(CURLOPT_HTTPHEADER, headers);
  if (rq.post) {
    opts.set(CURLOPT_POST, 1L)
        .set(CURLOPT_READFUNCTION, read_callback)
        .set(CURLOPT_READDATA, static_cast<void*>(&up.rest))
        .set(CURLOPT_SEEKFUNCTION, seek_callback)
        .set(CURLOPT_SEEKDATA, static_cast<void*>(&up))
        .set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(up.whole.size()));
  } else {
    opts.set(CURLOPT_HTTPGET, 1L);
  }
  if (rq.read_reply) {
    opts.set(CURLOPT_WRITEFUNCTION, write_callback)
        .set(CURLOPT_WRITEDATA, static_cast<void*>(&sink))
        .set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.limit));
  } else {
    opts.set(CURLOPT_WRITEFUNCTION, discard_callback);
  }
  if (rq.connections != nullptr && !rq.connections->keeps_connections()) {
    opts.set(CURLOPT_FORBID_REUSE, 1L);
  } else if (rq.connections != nullptr && rq.connections->idle_limit().count() > 0) {
    // libcurl counts in whole seconds: a connection is never reused after the cache's limit
    // (rounded up), also when the cache has not closed it yet.
    const auto limit = std::chrono::ceil<std::chrono::seconds>(rq.connections->idle_limit());
    opts.set(CURLOPT_MAXAGE_CONN, static_cast<long>(limit.count()));
  }
  set_tls(opts, rq.tls);
  return opts.result();
}

void log_send(const outgoing_request& rq, const call_texts& texts) {
  if (texts.send.empty()) {
    return;
  }
  LOG(texts.channel, debug,
      texts.send << rq.url
                 << (texts.body_label.empty() ? std::string() : texts.body_label + rq.body)
                 << (texts.length_label.empty()
                         ? std::string()
                         : texts.length_label + std::to_string(rq.body.size())));
}

void log_transfer_error(const call_texts& texts, CURLcode rc) {
  if (!texts.transfer_error.empty()) {
    LOG(texts.channel, debug,
        texts.transfer_error << static_cast<int>(rc) << " descr=" << curl_easy_strerror(rc));
  }
}

// The handle's set-up failed: nothing was sent.
outgoing_result client_failure(const call_texts& texts, CURLcode rc) {
  if (!texts.handle_error.empty()) {
    LOG(texts.channel, debug,
        texts.handle_error << " err=" << static_cast<int>(rc)
                           << " descr=" << curl_easy_strerror(rc));
  }
  outgoing_result out;
  out.status = client_failure_status;
  return out;
}

// The handle's options point into the call's headers, body and reply: they are reset before it
// goes back to the cache, while all of those still live.
struct handle_lease {
  connection_cache* cache;
  std::string peer;
  connection_cache::handle handle;
  handle_lease(connection_cache* from, const std::string& url) : cache(from) {
    if (cache != nullptr) {
      peer = peer_of(url);
      handle = cache->take(peer);
    }
    if (!handle) {
      handle.reset(curl_easy_init());
    }
  }
  ~handle_lease() {
    if (cache != nullptr && handle) {
      curl_easy_reset(handle.get());
      cache->give_back(peer, std::move(handle));
    }
  }
  handle_lease(const handle_lease&) = delete;
  handle_lease& operator=(const handle_lease&) = delete;
  CURL* get() const { return handle.get(); }
};

outgoing_result transfer(const outgoing_request& rq, const call_texts& texts) {
  curl_list_ptr headers; // declared first: the handle refers to it until its own reset
  const handle_lease handle(rq.connections, rq.url);
  if (handle.get() == nullptr) {
    if (!texts.handle_error.empty()) {
      LOG(texts.channel, debug, texts.handle_error);
    }
    outgoing_result out;
    out.status = client_failure_status;
    return out;
  }
  if (!build_headers(rq.headers, headers)) {
    return client_failure(texts, CURLE_OUT_OF_MEMORY);
  }
  upload up{rq.body, upload_source{rq.body.data(), rq.body.size()}};
  reply_sink sink;
  sink.limit = rq.reply_limit;
  if (const CURLcode rc = configure(handle.get(), rq, up, sink, headers.get()); rc != CURLE_OK) {
    return client_failure(texts, rc);
  }

  log_send(rq, texts);
  outgoing_result out;
  const CURLcode rc = curl_easy_perform(handle.get());
  long code = 0;
  if (rc == CURLE_OK) {
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &code);
  }
  if (rc != CURLE_OK || code <= 0) {
    const CURLcode reported = rc != CURLE_OK ? rc : CURLE_WEIRD_SERVER_REPLY;
    log_transfer_error(texts, reported);
    out.transfer_code = static_cast<int>(reported);
  } else {
    out.status = code;
    out.answered = true;
    if (!texts.reply.empty()) {
      LOG(texts.channel, debug, texts.reply << code);
    }
  }
  // A cut-off answer is not the peer's answer; a partial one after a failure is passed on.
  if (!sink.overflow && rc != CURLE_FILESIZE_EXCEEDED) {
    out.reply = std::move(sink.text);
  }
  return out;
}

} // namespace

void connection_cache::handle_free::operator()(void* handle) const noexcept {
  curl_easy_cleanup(static_cast<CURL*>(handle));
}

void connection_cache::drop_expired(clock::time_point now, std::vector<handle>& closing) {
  if (idle_limit_.count() <= 0) {
    return;
  }
  while (!idle_.empty() && now - idle_.front().returned > idle_limit_) {
    closing.push_back(std::move(idle_.front().h));
    idle_.pop_front();
  }
}

std::string connection_cache::key_of(const std::string& peer) const {
  return keeps_connections_ ? peer : std::string();
}

// Expired handles are closed outside the lock: closing may wait for the TLS goodbye.
connection_cache::handle connection_cache::take(const std::string& peer) {
  const std::string key = key_of(peer);
  std::vector<handle> closing;
  const std::lock_guard<std::mutex> lock(mu_);
  drop_expired(clock::now(), closing);
  const auto kept = std::find_if(idle_.rbegin(), idle_.rend(),
                                 [&key](const idle_handle& e) { return e.peer == key; });
  if (kept == idle_.rend()) {
    return nullptr;
  }
  handle h = std::move(kept->h);
  idle_.erase(std::next(kept).base());
  return h;
}

void connection_cache::give_back(const std::string& peer, handle h) {
  const std::string key = key_of(peer);
  std::vector<handle> closing;
  const std::lock_guard<std::mutex> lock(mu_);
  const clock::time_point now = clock::now();
  drop_expired(now, closing);
  const auto same_peer = static_cast<std::size_t>(std::count_if(
      idle_.begin(), idle_.end(), [&key](const idle_handle& e) { return e.peer == key; }));
  if (same_peer < max_idle_) {
    idle_.push_back(idle_handle{key, std::move(h), now});
  } else {
    closing.push_back(std::move(h));
  }
}

std::size_t connection_cache::idle() const {
  const std::lock_guard<std::mutex> lock(mu_);
  return idle_.size();
}

std::size_t read_callback(char* dest, std::size_t size, std::size_t count, void* source) {
  auto* src = static_cast<upload_source*>(source);
  const std::size_t n = std::min(size * count, src->left);
  if (n == 0) {
    return 0;
  }
  std::copy_n(src->next, n, dest);
  src->next += n;
  src->left -= n;
  return n;
}

std::size_t write_callback(char* data, std::size_t size, std::size_t count, void* sink) {
  auto* out = static_cast<reply_sink*>(sink);
  const std::size_t n = size * count;
  if (out->overflow || n > out->limit - std::min(out->limit, out->text.size())) {
    out->overflow = true;
    return 0; // anything but n makes libcurl end the transfer with CURLE_WRITE_ERROR
  }
  out->text.append(data, n);
  return n;
}

std::string peer_of(const std::string& url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string::npos) {
    return "";
  }
  std::string scheme = url.substr(0, scheme_end);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto host_begin = scheme_end + 3;
  const auto host_end = url.find_first_of("/?#", host_begin);
  std::string authority = url.substr(host_begin, host_end == std::string::npos
                                                     ? std::string::npos
                                                     : host_end - host_begin);
  const auto at = authority.rfind('@');
  if (at != std::string::npos) {
    authority.erase(0, at + 1);
  }
  if (authority.empty()) {
    return "";
  }
  std::transform(authority.begin(), authority.end(), authority.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto bracket = authority.rfind(']');
  const auto colon = authority.rfind(':');
  const bool has_port = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  if (!has_port) {
    authority += scheme == "https" ? ":443" : ":80";
  }
  return scheme + "://" + authority;
}

outgoing_result perform_call(const outgoing_request& request, const call_texts& texts) {
  if (request.url.empty()) {
    return outgoing_result{no_address_status, "", 0};
  }
  outgoing_result out{client_failure_status, "", 0};
  try {
    out = transfer(request, texts);
  } catch (const std::exception& e) {
    LOG(texts.channel, error, "Ошибка исходящего запроса " << request.url << ": " << e.what());
  }
  if (request.counts != nullptr) {
    request.counts->count(web::outcome_of(out.status, !out.answered));
  }
  return out;
}

std::string url_escape(const std::string& text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
    return "";
  }
  // Since libcurl 7.82 the escaping needs no handle.
  const curl_text_ptr escaped{
      curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()))};
  return escaped ? std::string(escaped.get()) : std::string();
}

std::string form_escape(const std::string& text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '&' || c == '=' || c == '+' || c == '%' || c < 0x20 || c == 0x7f) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0f];
    } else {
      out += ch;
    }
  }
  return out;
}

bool is_https(const std::string& url) {
  static constexpr std::string_view scheme = "https://";
  if (url.size() < scheme.size()) {
    return false;
  }
  return std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
    return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
  });
}

void warn_unverified_tls(const std::string& upstream_url, bool upstream_verify,
                         bool station_verify) {
  if (!station_verify) {
    LOG("orvale", warning,
        "Сертификаты контроллеров АЗС, работающих по HTTPS, не проверяются "
        "(orvale.station_tls_verify = false)");
  }
  if (!upstream_verify && is_https(upstream_url)) {
    LOG("orvale", warning,
        "Сертификат агрегатора " << upstream_url
                                 << " не проверяется (orvale.upstream_tls_verify = false)");
  }
}

} // namespace srv_apps
