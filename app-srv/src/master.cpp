// Conventions shared by every endpoint handler.
#include "master.h"

#include "orvale.h"
#include "web/log.h"

namespace srv_apps {

master::master(orvale& root_app, web::context_ptr ctx, std::string channel)
    : root(root_app), app_database(&root_app.app_database), velk_database(&root_app.velk_database),
      ctx_(std::move(ctx)), channel_(std::move(channel)) {}

master::~master() = default;

web::context_ptr master::release_context() {
  ctx_->detach();
  return ctx_;
}

std::string master::param(const std::string& name) const {
  std::string value = ctx_->request().query_value(name);
  if (ctx_->request().method() == "POST") {
    std::string form = ctx_->request().form_value(name);
    if (!form.empty()) {
      value = std::move(form);
    }
  }
  return value;
}

std::unique_ptr<content::PGBackend> master::open_backend(const content::DBConnection_t& record,
                                                         const std::string& create_error,
                                                         const std::string& connect_error,
                                                         int create_code, int connect_code) {
  std::unique_ptr<content::PGBackend> backend;
  try {
    backend = std::make_unique<content::PGBackend>(record, root.pool_for(record));
  } catch (const std::bad_alloc&) {
    throw ExceptionHTTP(create_error, create_code);
  }
  if (backend->open() != content::CONNECTION_STATUS_OK || !backend->connected()) {
    throw ExceptionHTTP(connect_error, connect_code);
  }
  return backend;
}

namespace {
void set_json_reply(web::response& r, std::string body) {
  r.status(200);
  r.content_encoding("utf-8");
  r.content_type("application/json");
  r.content_language("ru");
  r.body(std::move(body));
}
} // namespace

void master::json_reply(web::context& ctx, const web::json::value& body) {
  set_json_reply(ctx.response(), web::json::write(body));
}

void master::json_reply_text(std::string body) { set_json_reply(ctx_->response(), std::move(body)); }

void master::json_reply(const web::json::value& body) { json_reply(*ctx_, body); }

void master::fail(const ExceptionHTTP& e, std::unique_ptr<content::PGBackend>& backend) {
  LOG(channel_, error, e.what());
  backend.reset();
  if (!ctx_->completed()) {
    ctx_->response() = web::response();
    ctx_->response().status(e.response_code());
    ctx_->complete_response();
  }
}

void pending::get_pending() {
  LOG(channel(), notice, "Метод не реализован: " << request().path());
  response().status(501);
}

} // namespace srv_apps
