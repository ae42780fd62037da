// Conventions shared by every endpoint handler.
#include "master.h"

#include "web/log.h"

namespace srv_apps {

master::master(endpoint_env env, web::context_ptr ctx, std::string channel)
    : settings(env.settings), services(env.services), ctx_(std::move(ctx)),
      channel_(std::move(channel)) {}

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

std::unique_ptr<content::PGBackend> master::open_backend(const database& db,
                                                         const std::string& create_error,
                                                         const std::string& connect_error,
                                                         int create_code, int connect_code) {
  database::open_failure failure = database::open_failure::none;
  std::unique_ptr<content::PGBackend> backend = db.open(failure);
  if (failure == database::open_failure::create) {
    throw ExceptionHTTP(create_error, create_code);
  }
  if (backend == nullptr) {
    throw ExceptionHTTP(connect_error, connect_code);
  }
  return backend;
}

bool master::check_service_key(std::string_view key, key_holder holder) const {
  return holder == key_holder::operator_ ? settings.is_operator_key(key)
                                         : settings.is_service_key(key);
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

void master::json_reply_text(std::string body) {
  set_json_reply(ctx_->response(), std::move(body));
}

void master::json_reply(const web::json::value& body) {
  json_reply(*ctx_, body);
}

void master::refuse(const ExceptionHTTP& e) {
  if (*e.what() != '\0') {
    LOG(channel_, error, e.what());
  }
  answer_status(*ctx_, e.response_code());
}

void master::answer_status(web::context& ctx, int status) {
  if (!ctx.completed()) {
    ctx.response() = web::response();
    ctx.response().status(status);
    ctx.complete_response();
  }
}

} // namespace srv_apps
