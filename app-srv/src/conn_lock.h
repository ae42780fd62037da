// The session advisory lock on one order (application id, order id), as the order runs take it.
#pragma once

#include <chrono>
#include <string>

#include "conn.h"
#include "conn_jobs.h"

namespace content {

enum class order_lock_attempt { locked, busy, failed };

// Takes the lock on `session` (not inside a transaction of its own), waiting at most `wait` for a
// session or transaction that holds it: busy when that one goes on for longer, failed (logged)
// when a statement fails. The wait limit ends with the wait.
order_lock_attempt lock_order(const PGBackend& session, int id_app, const std::string& order_id,
                              std::chrono::milliseconds wait);
// Releases it: true when the server gave it up; a lock that was not held is logged.
bool unlock_order(const PGBackend& session, int id_app, const std::string& order_id);
// Commits the transaction open on `session` and releases the order's lock in the same round trip:
// true when the COMMIT committed (logged otherwise); `unlocked` when the server gave the lock up,
// which otherwise is still held and released as usual. A `booking` goes first in that round trip,
// in the transaction: when it fails, nothing is committed.
bool commit_and_unlock_order(const PGBackend& session, int id_app, const std::string& order_id,
                             bool& unlocked, booking_with_commit* booking = nullptr);

} // namespace content
