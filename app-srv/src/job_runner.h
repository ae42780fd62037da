// The stored jobs as the application books and runs them. A job is booked on the caller's
// backend inside the transaction of the state change it follows (book_job); after the commit the
// caller nudges the runner so that this process picks it up at once (every other process hears
// of it through the database's announcement).
//
// The runner's dispatcher claims due jobs under a lease for its workers and hands each to the
// handler of its kind. A handler returns what became of the job (done, a retry after a pause,
// failed) and the jobs it books next; that end, the next bookings and whatever the handler wrote
// through its unit are committed in one transaction.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "conn.h"
#include "conn_jobs.h"
#include "web/clock.h"
#include "web/jobs.h"
#include "web/json.h"

namespace content {
class change_listener;
}

namespace srv_apps {

struct database;

// A job to book. The pause is the design's (pause_scale is applied when booking).
struct job_booking {
  std::string kind;
  int id_app = -1;
  std::string order_id;
  web::json::value args; // an object; null books "{}"
  std::string peer;
  web::millis pause{0};
  bool latest_only = false; // see content::job_booking
};

// Books on `db` inside the caller's transaction. False (logged) when it was not written: the
// caller must not commit the state change then.
[[nodiscard]] bool book_job(const content::PGBackend& db, const job_booking& booking,
                            const web::clock_source& clock);

// The job as its handler gets it.
struct job_call {
  std::int64_t id = 0;
  std::string kind;
  int id_app = -1;
  std::string order_id;
  web::json::value args;
  std::string peer;
  int attempt = 1;            // this run's number, 1 for the first
  web::millis age{0};         // since it was booked
  bool taken_over = false;    // a process that held it before stopped without ending it
};

// The database work of one run of a job: one transaction, opened on first use on a pooled
// session with the order's lock taken in it. The job's end is committed in the same transaction.
class job_unit {
public:
  // `known_status`: the order's status as the end that chained this job read it (claimed_job).
  job_unit(const database& db, int id_app, std::string order_id,
           std::optional<int> known_status = std::nullopt);
  ~job_unit();
  job_unit(const job_unit&) = delete;
  job_unit& operator=(const job_unit&) = delete;

  // The backend of the open transaction; null (logged) when the database cannot be reached.
  content::PGBackend* db();
  // Commits what was written so far and gives the session back: before any call to a peer, so
  // that neither a transaction nor a pooled session is held while it answers. False when the
  // commit failed (the writes are lost).
  bool flush();
  // Used by the runner to end the job.
  bool commit();
  void rollback() noexcept;
  // The order's stored status inside the open transaction; with none open, read under the
  // order's lock in a transaction of its own, committed at once in the same round trip (a check
  // before a call, which would commit it anyway), or, the first time, the known status: it was
  // read the same way, in the round trip of the end before. False when it was not read.
  bool read_order_status(int& status);
  // The session the job's end is written on; `begin` is set when the unit's transaction is not
  // open yet (the end then opens it). Null (logged) when the database cannot be reached.
  content::PGBackend* session_for_end(bool& begin);
  // The end committed or rolled back the unit's transaction: the session goes back.
  void ended();

private:
  const database& database_;
  int id_app_;
  std::string order_id_;
  std::optional<int> known_status_;
  std::unique_ptr<content::PGBackend> backend_;
  std::unique_ptr<content::transaction> tx_;
};

// What a run of a job ends with.
struct job_result {
  enum class end { done, retry, failed };
  end state = end::done;
  web::millis pause{0};       // retry: before pause_scale
  std::string error;          // retry and failed: kept as the job's last error
  web::json::value args;      // retry: the job's args from now on, when not null
  std::vector<job_booking> next; // booked in the transaction that ends this job
  std::function<void()> committed; // once that transaction has committed (not when it failed)

  static job_result done() { return {}; }
  static job_result retry(web::millis pause, std::string error, web::json::value args = {}) {
    job_result r;
    r.state = end::retry;
    r.pause = pause;
    r.error = std::move(error);
    r.args = std::move(args);
    return r;
  }
  static job_result failed(std::string error) {
    job_result r;
    r.state = end::failed;
    r.error = std::move(error);
    return r;
  }
};

// Runs one try of a job. May throw: the job is then retried after a pause, like a failed try.
using job_handler = std::function<job_result(const job_call&, job_unit&)>;

struct job_runner_settings {
  int workers = 16;
  web::millis lease{60000};       // real time, not scaled
  int per_peer = 4;
  std::chrono::seconds keep_done{86400};
  std::string owner;              // this process as the jobs' owner column shows it; "" makes one
};

class job_runner final : public web::job_view {
public:
  job_runner(job_runner_settings settings, const database& db, web::clock_source& clock);
  ~job_runner() override;
  job_runner(const job_runner&) = delete;
  job_runner& operator=(const job_runner&) = delete;

  // Before start().
  void handle(const std::string& kind, job_handler handler);
  // Starts the dispatcher, the workers and the listening session.
  void start();
  // A job was booked by this process (for `peer`, when known): look for due work now.
  void nudge(const std::string& peer = {});
  // Books like book_job() outside a worker (an order event's handler holding the order's lock).
  // A job due at once, whose peer this process has room to hold, is booked running under this
  // process's lease instead, when nothing else of its order is unfinished, and given in `held`:
  // once the booking's transaction has committed, adopt() it (it then waits for a worker like a
  // claimed job, with no claim); if it did not commit, drop it.
  [[nodiscard]] bool book(const content::PGBackend& db, const job_booking& booking,
                          std::optional<content::claimed_job>& held);
  // As book(), for a handler whose next statement is its COMMIT (handler_db::flush_releasing): a
  // booking that would be held goes in `with_commit` instead of being sent now. Once that COMMIT
  // committed, held_after_commit() gives the job to adopt(), when it was booked running.
  [[nodiscard]] bool book_before_commit(const content::PGBackend& db, const job_booking& booking,
                                        std::optional<content::booking_with_commit>& with_commit);
  static std::optional<content::claimed_job>
  held_after_commit(const content::booking_with_commit& booked);
  void adopt(content::claimed_job job);
  // Stops claiming and gives back what was claimed but not started; running jobs get `grace`
  // to end; the rest stay stored for the next process. Joins every thread.
  void shutdown(web::millis grace);

  const std::string& owner() const { return settings_.owner; }
  web::job_snapshot jobs() const override;

private:
  void dispatch_loop();
  // Hands claimed jobs to the workers; gives them back when a stop began meanwhile.
  void hand_over(std::vector<content::claimed_job> claimed);
  void worker_loop();
  std::vector<content::claimed_job>::iterator startable(); // mu_ held
  void renew_loop();
  // The job booked to run next on this worker, if any (see end_job).
  std::optional<content::claimed_job> run_job(const content::claimed_job& job);
  job_result run_handler(const content::claimed_job& job, job_unit& unit);
  // A done job whose one next booking is of its own order and due at once books it running
  // under this process's lease, when its peer has a call free: the worker runs it straight on.
  std::optional<content::claimed_job> end_job(const content::claimed_job& job, job_unit& unit,
                                              job_result result);
  std::optional<content::chained_job> write_end_guarded(const content::claimed_job& job,
                                                        job_unit& unit, const job_result& result,
                                                        bool chain);
  std::optional<content::chained_job> write_end(const content::claimed_job& job, job_unit& unit,
                                                const job_result& result, bool chain);
  bool reserve_call(const std::string& peer); // for a chained job
  void call_over(const std::string& peer);
  void cancel_call(const std::string& peer);
  void end_failed_unit(const content::claimed_job& job, const std::string& error);
  content::peer_room room() const; // mu_ held
  std::vector<std::int64_t> held_ids() const; // mu_ held
  int room_left(int held) const;    // a peer's room in a claim, with `held` of its jobs held
  bool may_hold(const content::job_booking& b) const;
  // A peer's jobs claimed or running at most: four times its calls.
  int held_per_peer() const { return 4 * settings_.per_peer; }
  // Jobs claimed or running at most, all peers together: a few busy peers' held jobs leave room
  // for the others'.
  int held_total() const { return 4 * settings_.workers; }
  // The room left once the claim's jobs are held; the peers left without it are remembered, so
  // that their workers' ends wake the dispatcher.
  content::peer_room room_after_claim();

  job_runner_settings settings_;
  const database& db_;
  web::clock_source& clock_;
  std::map<std::string, job_handler> handlers_;

  mutable std::mutex mu_;
  std::condition_variable work_cv_;     // workers wait for queue_
  std::condition_variable dispatch_cv_; // the dispatcher waits for a nudge, a free worker, a due time
  std::condition_variable idle_cv_;     // shutdown waits for running_ to drain
  std::condition_variable renew_cv_;    // the renewer's pause, cut short by the end of a stop
  std::vector<content::claimed_job> queue_;   // claimed, not started; guarded by mu_
  std::map<std::int64_t, std::string> running_; // id -> kind; guarded by mu_
  std::map<std::string, int> in_flight_;      // peer -> claimed or running; guarded by mu_
  std::map<std::string, int> calls_;          // peer -> running; guarded by mu_
  std::set<std::string> starved_;             // see room_after_claim(); guarded by mu_
  bool nudged_ = true;                        // guarded by mu_
  bool started_ = false;                      // the workers run; guarded by mu_
  bool stopping_ = false;                     // guarded by mu_
  std::atomic<bool> listening_{false};
  std::unique_ptr<content::change_listener> listener_;
  std::vector<std::thread> threads_;
};

} // namespace srv_apps
