// The base of every endpoint: the settings and services it is mounted with, parameter reading,
// the per-request database backend and the one handler skeleton. One endpoint object serves one
// request.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "conn.h"
#include "gateway_services.h"
#include "gateway_settings.h"
#include "web/http.h"
#include "web/json.h"

namespace srv_apps {

using web::ExceptionHTTP;

// Whose key a caller presents: the gateway's own (station controllers) or the operator's.
enum class key_holder { gateway, operator_ };

class master {
public:
  master(endpoint_env env, web::context_ptr ctx, std::string channel);
  virtual ~master();
  master(const master&) = delete;
  master& operator=(const master&) = delete;

protected:
  web::request& request() { return ctx_->request(); }
  web::response& response() { return ctx_->response(); }
  const std::string& channel() const { return channel_; }

  // Detaches the request: the reply goes out as soon as complete_response() is called on the
  // returned context, and the handler may go on working afterwards.
  web::context_ptr release_context();

  // A parameter from the query string; for "POST" a non-empty form field of the same exact name
  // replaces it.
  std::string param(const std::string& name) const;

  // Opens a backend for this request only. Throws ExceptionHTTP(create_error, create_code) or
  // ExceptionHTTP(connect_error, connect_code) so the handler's single catch answers it.
  std::unique_ptr<content::PGBackend> open_backend(const database& db,
                                                   const std::string& create_error,
                                                   const std::string& connect_error,
                                                   int create_code = 412, int connect_code = 406);

  // A 200 JSON reply with the service's content headers.
  void json_reply(const web::json::value& body);
  static void json_reply(web::context& ctx, const web::json::value& body);
  // The same with a body already in the canonical form.
  void json_reply_text(std::string body);

  // The one skeleton of a handler: runs `steps`; a refusal they throw (ExceptionHTTP) is logged on
  // the channel at error (when it has a text) and answered with its status and no body, once.
  // What the steps hold (their backend) is released before that answer. False when refused.
  template <class Steps> bool serve(Steps&& steps) {
    try {
      steps();
      return true;
    } catch (const ExceptionHTTP& e) {
      refuse(e);
      return false;
    }
  }
  void refuse(const ExceptionHTTP& e);
  // Drops whatever reply was being built and answers `status` with no body, unless the request
  // has been answered already.
  static void answer_status(web::context& ctx, int status);

  // The caller's key against the holder's, in constant time; "" never matches.
  bool check_service_key(std::string_view key, key_holder holder) const;

  const gateway_settings& settings;
  gateway_services& services;

private:
  web::context_ptr ctx_;
  std::string channel_;
};

} // namespace srv_apps
