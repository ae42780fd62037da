// The stored jobs: work promised after an answer, kept in the gateway's database until it is
// done. Booked in the transaction of the state change it follows, claimed by any gateway process
// under a lease, one job of an order at a time in the order they were booked.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "conn.h"

struct pg_result; // libpq's, seen only by the data layer

namespace content {

// The channel a committed booking (or a job put back to wait) is announced on.
inline constexpr const char* jobs_channel = "orvale_jobs";
// The jobs' listening session's application_name.
inline constexpr const char* jobs_listen_session_name = "orvale-jobs";

// One transaction on one backend: BEGIN when made, ROLLBACK when dropped uncommitted.
class transaction {
public:
  explicit transaction(const PGBackend& db);
  // BEGIN and the order's advisory lock for the rest of the transaction (the key the order
  // events lock: application id, hashtext of the order id), in one round trip; not ok() when
  // either failed.
  transaction(const PGBackend& db, int id_app, const std::string& order_id);
  // The same, held back on a pooled session to go out with the transaction's first statement
  // (one round trip fewer; a transaction that runs nothing sends nothing); at once on any other.
  // A held-back opening that fails makes that first statement fail, and is logged with it; ok()
  // cannot tell before.
  struct held_back {};
  transaction(const PGBackend& db, held_back);
  transaction(const PGBackend& db, int id_app, const std::string& order_id, held_back);
  ~transaction();
  transaction(const transaction&) = delete;
  transaction& operator=(const transaction&) = delete;

  bool ok() const { return open_; } // BEGIN succeeded and nothing has ended it
  // False (logged on "orvale/jobs") when the COMMIT did not commit; the transaction is over either way.
  [[nodiscard]] bool commit();
  void rollback() noexcept;
  // Ended by other means (finish_job's COMMIT or ROLLBACK): nothing left to do when dropped.
  void ended();

private:
  void begin_now();
  void begin_locked_now(int id_app, const std::string& order_id);
  // Drops an opening still held back: nothing of the transaction reached the server.
  bool drop_opening() const;

  const PGBackend& db_;
  bool open_ = false;
};

// The order's internal status (-1 for NULL) read under the order's lock in a transaction of its
// own, BEGIN to COMMIT in one round trip. False when it was not read (logged) or the order is
// not stored.
bool read_order_status_committed(const PGBackend& db, int id_app, const std::string& order_id,
                                 int& status);

// True while the backend's connection is open and sound (a session held for long is checked
// before each round: the server may have ended it).
bool session_usable(const PGBackend& db);

struct job_booking {
  std::string kind;
  int id_app = -1;
  std::string order_id;
  std::string args = "{}"; // a JSON object's text
  std::string peer;        // scheme://host:port of the calls the job makes; "" none
  std::chrono::milliseconds delay{0}; // from now, as the job waits (pause_scale applied)
  // The job carries the latest values of something: a job of the same kind and order that still
  // waits takes these args (and keeps its place) instead of a second job being booked.
  bool latest_only = false;
};

// Books on `db` inside the caller's transaction: the job's id, -1 (logged) when it failed.
std::int64_t book_job(const PGBackend& db, const job_booking& booking);

// A job booked with the end of the one before it (job_finish::chained): running at once under the
// owner's lease when no other unfinished job of its order comes before it, so that the worker
// ending that one runs it next without a claim (it then takes over the ended job's row and id);
// otherwise waiting, as book_job books it.
struct chained_job {
  std::int64_t id = -1;
  bool running = false;
  // finish_job only: the order's status as the end left it, read under the order's lock after
  // the booking; none when the order has no row.
  std::optional<int> order_status;
};

// A job booked outside a worker (an order event's handler, under the order's lock), due at once:
// running under `owner`'s lease when no other unfinished job of its order exists and no job of
// its peer waits to be claimed, so that this process hands it to a worker without a claim;
// otherwise waiting, as book_job books it. Its id is -1 (logged) when it failed.
chained_job book_held_job(const PGBackend& db, const job_booking& booking, const std::string& owner,
                          std::chrono::milliseconds lease);

struct piped_statement;

// A booking with book_held_job's rules that goes out in the round trip of its transaction's
// COMMIT (commit_and_unlock_order) rather than in one of its own, with its order's status read
// after it, as finish_job reads it for a chained job.
class booking_with_commit {
public:
  booking_with_commit(job_booking booking, std::string owner, std::chrono::milliseconds lease)
      : booking_(std::move(booking)), owner_(std::move(owner)), lease_(lease) {}
  // For the data layer's commit: the booking, then the status read.
  std::vector<piped_statement> statements() const;
  // Their results: booked() as book_held_job returns it (a failure is logged), with the status.
  void read(const PGBackend& db, const ::pg_result* booked, const ::pg_result* status);
  const job_booking& booking() const { return booking_; }
  const chained_job& booked() const { return booked_; }

private:
  job_booking booking_;
  std::string owner_;
  std::chrono::milliseconds lease_;
  chained_job booked_;
};

struct claimed_job {
  std::int64_t id = 0;
  std::string kind;
  int id_app = -1;
  std::string order_id;
  std::string args;
  std::string peer;
  int attempts = 0;                 // this run included
  std::chrono::milliseconds age{0}; // since it was booked
  bool taken_over = false;          // it was running under a lease that had run out
  std::optional<int> order_status;  // a chained job's: see chained_job
};

// How many more calls this process may make to a peer: peers at their limit are left out, the
// others get at most `room` (or `default_room` when not listed) jobs.
struct peer_room {
  std::vector<std::string> peers;
  std::vector<int> room;
  int default_room = 4;
  // The jobs the claiming process runs or holds: never taken over by its own claims when their
  // leases ran out (its renewals could not reach the database for a whole lease). Their runs go
  // on and end them; started again they would call their peers twice at once.
  std::vector<std::int64_t> held_here;
};

// Claims at most `limit` jobs that are due (or running under a lease that has run out, and not
// held here) and are the oldest unfinished job of their order, with none of their order running
// under a live lease, for `owner` until now + `lease`. Empty on failure (logged).
std::vector<claimed_job> claim_jobs(const PGBackend& db, const std::string& owner,
                                    std::chrono::milliseconds lease, int limit,
                                    const peer_room& room);

// Until the next job of a peer with room falls due or a lease runs out; none when nothing waits.
// Empty on failure.
std::optional<std::chrono::milliseconds> next_job_due(const PGBackend& db, const peer_room& room);

// Extends the leases `owner` holds on `ids`; the number renewed, -1 on failure.
int renew_leases(const PGBackend& db, const std::string& owner,
                 const std::vector<std::int64_t>& ids, std::chrono::milliseconds lease);

// How a job `owner` holds ends, with the jobs booked with its end, in one round trip: a pipeline of
// BEGIN and the order's lock (unless the caller's transaction is open already), the bookings,
// the end and COMMIT. Nothing is committed when `owner` no longer holds the job (its lease ran
// out and another process took it over) or a statement failed; the session is then left outside
// any transaction (the caller's included).
struct job_finish {
  std::int64_t id = 0;
  std::string owner;
  int id_app = -1;
  std::string order_id;
  bool begin = true; // no transaction open yet: BEGIN and the order's lock first
  std::vector<job_booking> bookings;       // latest_only ones are not taken here
  std::optional<job_booking> chained;      // see chained_job; after `id`, which ends done
  std::chrono::milliseconds lease{60000};  // the chained job's
  enum class end { done, failed, retry } state = end::done;
  std::string error;
  std::chrono::milliseconds delay{0};      // retry
  std::optional<std::string> args;         // retry: the args from now on
};
struct job_finished {
  bool committed = false;
  chained_job chained;
};
job_finished finish_job(const PGBackend& db, const job_finish& finish);

// Gives back jobs claimed but never started (at a stop): waiting again, the claim not counted.
void release_jobs(const PGBackend& db, const std::string& owner,
                  const std::vector<std::int64_t>& ids);
// Deletes finished (done) jobs older than `keep`; the number deleted.
long purge_done_jobs(const PGBackend& db, std::chrono::seconds keep);

struct stored_job_counts {
  std::string kind;
  std::uint64_t due = 0;
  std::uint64_t scheduled = 0;
  std::uint64_t running = 0;
  std::uint64_t failed = 0;
};
struct stored_failed_job {
  std::string order_id;
  std::string kind;
  int attempts = 0;
  std::string last_error;
  std::int64_t failed_at_ms = 0; // since the epoch
};
struct stored_jobs {
  std::vector<stored_job_counts> counts;
  std::optional<std::chrono::milliseconds> oldest_due;
  std::vector<stored_failed_job> failed; // most recent first, at most `failed_limit`
};
bool read_job_summary(const PGBackend& db, int failed_limit, stored_jobs& out);

} // namespace content
