// The advisory lock that serialises the runs of one order.
#include "order_lock.h"

#include <utility>

#include "conn_lock.h"

namespace srv_apps {

std::unique_ptr<order_lock> order_lock::open(const content::DBConnection_t& record) {
  auto session = std::make_unique<content::PGBackend>(record); // no pool: a session of its own
  if (session->open() != content::CONNECTION_STATUS_OK || !session->connected()) {
    return nullptr;
  }
  return std::make_unique<order_lock>(std::move(session));
}

order_lock::order_lock(std::unique_ptr<content::PGBackend> session)
    : session_(std::move(session)) {}

order_lock::~order_lock() {
  release();
}

order_lock::outcome order_lock::acquire(int id_app, const std::string& order_id,
                                        std::chrono::milliseconds wait) {
  switch (content::lock_order(*session_, id_app, order_id, wait)) {
  case content::order_lock_attempt::busy:
    return outcome::busy;
  case content::order_lock_attempt::failed:
    return outcome::failed;
  case content::order_lock_attempt::locked:
    break;
  }
  held_ = true;
  id_app_ = id_app;
  order_id_ = order_id;
  return outcome::locked;
}

void order_lock::release() noexcept {
  if (!held_ || !session_) {
    return;
  }
  held_ = false;
  try {
    // Closing the session would release it too; unlocking first lets the next run start before
    // this session's end has been processed by the server.
    content::unlock_order(*session_, id_app_, order_id_);
  } catch (...) {
    // The session is closed right after, which ends the lock in any case.
  }
  session_.reset();
}

} // namespace srv_apps
