// The advisory lock that serialises the runs of one order.
#include "order_lock.h"

#include <utility>

#include "conn_lock.h"

namespace srv_apps {

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
  // The event's statements may be kept prepared on the session: it goes back without a reset
  // once the lock is given up, as everything else the event writes is inside its transactions.
  session_->promise_transaction_work();
  session_->took_session_lock();
  held_ = true;
  id_app_ = id_app;
  order_id_ = order_id;
  return outcome::locked;
}

bool order_lock::commit_releasing(content::booking_with_commit* booking) {
  bool unlocked = false;
  const bool committed =
      content::commit_and_unlock_order(*session_, id_app_, order_id_, unlocked, booking);
  if (unlocked) {
    held_ = false;
    session_->released_session_lock();
  }
  return committed;
}

void order_lock::release() noexcept {
  if (!held_ || !session_) {
    session_.reset();
    return;
  }
  held_ = false;
  try {
    if (content::unlock_order(*session_, id_app_, order_id_)) {
      session_->released_session_lock();
    }
  } catch (...) {
    // The pool's reset of the session ends the lock in any case.
  }
  session_.reset();
}

} // namespace srv_apps
