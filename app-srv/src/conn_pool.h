// Open PostgreSQL connections kept for reuse, one pool per database record. A handler still opens
// and closes a backend per request; opening leases a live connection, closing gives it back clean.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "conn.h"

namespace content {

class connection_pool {
public:
  using clock = std::chrono::steady_clock;

  explicit connection_pool(const DBConnection_t& record);
  ~connection_pool();
  connection_pool(const connection_pool&) = delete;
  connection_pool& operator=(const connection_pool&) = delete;

  // A live connection for one request, opened with `open_new` when none is idle and the pool has
  // room; waits up to the record's connect time-out for one to come back. False (logged) when
  // none could be had.
  bool lease(pg_conn_ptr& conn, clock::time_point& opened,
             const std::function<pg_conn_ptr()>& open_new);
  // Takes a leased connection back: rolled back and reset (DISCARD ALL) for the next request
  // unless the lease provably left nothing behind, or closed when it is broken, busy or too old.
  void give_back(pg_conn_ptr conn, clock::time_point opened);
  // Opens idle connections with `open_new` until `count` (at most the pool's size) are open;
  // stops at the first that fails. The number open then.
  int open_ahead(int count, const std::function<pg_conn_ptr()>& open_new);

  int size() const { return size_; }
  int open_connections() const;
  int idle_connections() const;

private:
  struct idle_entry {
    pg_conn_ptr conn;
    clock::time_point opened;
    clock::time_point returned;
  };
  bool expired(const idle_entry& e, clock::time_point now) const;
  static void begin_lease(pg_conn* conn);
  static void attach_session(pg_conn* conn);

  const int size_;
  const std::chrono::seconds wait_;
  const std::chrono::seconds max_idle_;
  const std::chrono::seconds max_lifetime_;
  mutable std::mutex mu_;
  std::condition_variable returned_;
  std::vector<idle_entry> idle_; // guarded by mu_; most recently returned last
  int open_ = 0;                 // guarded by mu_; leased and idle
};

// A connection that has sat idle may have been closed by the server (a restart, an idle
// time-out): true when it still looks usable without sending anything.
bool still_alive(pg_conn* conn);

} // namespace content
