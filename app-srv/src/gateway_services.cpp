// The services the root hands to its endpoints.
#include "gateway_services.h"

#include <new>

namespace srv_apps {

bool notification_switches::is_on(const std::string& name) const {
  if (name == "recv") {
    return recv_;
  }
  if (name == "send") {
    return send_;
  }
  if (name == "forward") {
    return forward_;
  }
  return false;
}

void notification_switches::set(bool value, const std::string& name) {
  if (name == "recv") {
    recv_ = value;
  } else if (name == "send") {
    send_ = value;
  } else if (name == "forward") {
    forward_ = value;
  }
}

std::unique_ptr<content::PGBackend> database::open(open_failure& failure) const {
  std::unique_ptr<content::PGBackend> backend;
  try {
    backend = std::make_unique<content::PGBackend>(record, pool);
  } catch (const std::bad_alloc&) {
    failure = open_failure::create;
    return nullptr;
  }
  if (backend->open() != content::CONNECTION_STATUS_OK) {
    failure = open_failure::connect;
    return nullptr;
  }
  failure = open_failure::none;
  return backend;
}

} // namespace srv_apps
