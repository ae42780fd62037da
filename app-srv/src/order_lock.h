// One order's events are handled one after the other, also across gateway processes that share
// the database: each event's handler holds a PostgreSQL session advisory lock on (application id,
// order id) from before it reads the stored order until it has answered. The steps of the runs
// after the answer take the same lock for each of their transactions (job_unit), so neither
// overtakes the other.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "conn.h"
#include "conn_jobs.h"

namespace srv_apps {

class order_lock {
public:
  enum class outcome { locked, busy, failed };

  // On the handler's own pooled session, which then serves the whole event: the lock is released
  // before the session goes back to the pool, which then keeps the session as it is, with its
  // prepared statements (a lock the server did not confirm released makes the pool reset it).
  explicit order_lock(std::unique_ptr<content::PGBackend> session);
  ~order_lock(); // releases the lock and gives the session back
  order_lock(const order_lock&) = delete;
  order_lock& operator=(const order_lock&) = delete;

  content::PGBackend& session() { return *session_; }

  // Takes the lock, waiting at most `wait` for the event that holds it: busy when that one goes on
  // for longer, failed (logged) when the statement fails.
  outcome acquire(int id_app, const std::string& order_id, std::chrono::milliseconds wait);
  bool held() const { return held_; }
  // The handler's last transaction commits and releases the lock in one round trip
  // (handler_db::flush_releasing), with the `booking` first when given: true when the COMMIT
  // committed. A lock the server did not give up there goes as usual.
  bool commit_releasing(content::booking_with_commit* booking = nullptr);

private:
  void release() noexcept;

  std::unique_ptr<content::PGBackend> session_;
  bool held_ = false;
  int id_app_ = -1;
  std::string order_id_;
};

} // namespace srv_apps
