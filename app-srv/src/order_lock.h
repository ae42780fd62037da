// One order's events are handled one after the other, also across gateway processes that share
// the database: each run holds a PostgreSQL session advisory lock on (application id, order id)
// from before it reads the stored order until its last step has ended.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "conn.h"

namespace srv_apps {

class order_lock {
public:
  enum class outcome { locked, busy, failed };

  // A session of its own, outside the connection pool: giving a pooled connection back resets it
  // (DISCARD ALL drops session locks), and a run waiting for the lock must not hold a pooled
  // connection that the lock's holder may need to finish. Null when the database is unreachable.
  static std::unique_ptr<order_lock> open(const content::DBConnection_t& record);

  explicit order_lock(std::unique_ptr<content::PGBackend> session);
  ~order_lock(); // releases the lock and closes the session
  order_lock(const order_lock&) = delete;
  order_lock& operator=(const order_lock&) = delete;

  // For the lookups that decide whether and on what to lock (application, stored order).
  content::PGBackend& session() { return *session_; }

  // Takes the lock, waiting at most `wait` for a run that holds it: busy when that run goes on
  // for longer, failed (logged) when the statement fails.
  outcome acquire(int id_app, const std::string& order_id, std::chrono::milliseconds wait);
  bool held() const { return held_; }

private:
  void release() noexcept;

  std::unique_ptr<content::PGBackend> session_;
  bool held_ = false;
  int id_app_ = -1;
  std::string order_id_;
};

} // namespace srv_apps
