// The dispatcher claims, the workers run, the renewer keeps the leases of what runs; all three
// meet under one mutex. The database is the only shared state between processes.
#include "job_runner.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <random>
#include <utility>

#include "conn_listen.h"
#include "gateway_services.h"
#include "web/log.h"

namespace srv_apps {
namespace {

constexpr const char* channel = "orvale/jobs";
// A handler that threw is tried again after this pause (before pause_scale).
constexpr web::millis crash_pause{10000};
// A job of a kind this build does not know (booked by a newer one) waits for a process that does.
constexpr web::millis unknown_kind_pause{60000};
// Without the announcements (their session is down), due work is looked for this often.
constexpr web::millis unheard_poll{1000};
// With them, a look now and then still catches what no announcement covers (a lease that ran out
// in a process that died).
constexpr web::millis heard_poll{5000};
constexpr web::millis purge_every{60000};
constexpr web::millis due_again{20};
constexpr int failed_shown = 50;

std::string make_owner() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) {
    host[0] = '\0';
  }
  std::random_device rd;
  return std::string(host) + ":" + std::to_string(::getpid()) + ":" + std::to_string(rd() % 100000);
}

std::unique_ptr<content::PGBackend> open_session(const database& db) {
  database::open_failure failure = database::open_failure::none;
  return db.open(failure);
}

// The dispatcher's and the renewer's own sessions, held for the runner's life outside the pool so
// that they never take a connection the requests and the jobs need.
std::unique_ptr<content::PGBackend> open_own_session(const database& db) {
  auto session = std::make_unique<content::PGBackend>(db.record);
  session->name_sessions(content::jobs_listen_session_name);
  session->quiet_connect_failures(); // retried at every round; the jobs' listener logs the loss
  if (session->connect() != content::CONNECTION_STATUS_OK) {
    return nullptr;
  }
  return session;
}

std::string args_text(const web::json::value& args) {
  return web::json::is_null(args) ? std::string("{}") : web::json::write(args);
}

// A job booked running under this process's lease, as a claim would have given it.
content::claimed_job claimed_from(const content::job_booking& b, std::int64_t id) {
  content::claimed_job job;
  job.id = id;
  job.kind = b.kind;
  job.id_app = b.id_app;
  job.order_id = b.order_id;
  job.args = b.args;
  job.peer = b.peer;
  job.attempts = 1;
  return job;
}

} // namespace

content::job_booking stored_booking(const job_booking& booking, const web::clock_source& clock) {
  content::job_booking b;
  b.kind = booking.kind;
  b.id_app = booking.id_app;
  b.order_id = booking.order_id;
  b.args = args_text(booking.args);
  b.peer = booking.peer;
  b.delay = clock.scaled(booking.pause);
  b.latest_only = booking.latest_only;
  return b;
}

bool book_job(const content::PGBackend& db, const job_booking& booking,
              const web::clock_source& clock) {
  return content::book_job(db, stored_booking(booking, clock)) >= 0;
}

job_unit::job_unit(const database& db, int id_app, std::string order_id,
                   std::optional<int> known_status)
    : database_(db), id_app_(id_app), order_id_(std::move(order_id)), known_status_(known_status) {}

job_unit::~job_unit() { rollback(); }

content::PGBackend* job_unit::db() {
  known_status_.reset(); // what the unit writes may change it
  bool begin = false;
  if (session_for_end(begin) == nullptr || !begin) {
    return backend_.get();
  }
  tx_ = std::make_unique<content::transaction>(*backend_, id_app_, order_id_,
                                               content::transaction::held_back{});
  if (!tx_->ok()) {
    tx_.reset();
    backend_.reset();
    return nullptr;
  }
  return backend_.get();
}

content::PGBackend* job_unit::session_for_end(bool& begin) {
  begin = tx_ == nullptr;
  if (tx_) {
    return backend_.get();
  }
  backend_ = open_session(database_);
  if (!backend_) {
    LOG(channel, error, "[" << order_id_ << "] Отсутствует соединение с БД");
    return nullptr;
  }
  // Everything a job writes is inside its transaction: the session goes back without a reset
  // and keeps its prepared statements.
  backend_->promise_transaction_work();
  return backend_.get();
}

bool job_unit::read_order_status(int& status) {
  if (tx_) {
    return backend_->read_order_status(id_app_, order_id_, status);
  }
  if (known_status_) {
    status = *std::exchange(known_status_, std::nullopt);
    return true;
  }
  bool begin = false;
  content::PGBackend* session = session_for_end(begin);
  if (session == nullptr) {
    return false;
  }
  const bool read = content::read_order_status_committed(*session, id_app_, order_id_, status);
  backend_.reset();
  return read;
}

void job_unit::ended() {
  if (tx_) {
    tx_->ended();
  }
  tx_.reset();
  backend_.reset();
}

bool job_unit::flush() { return commit(); }

bool job_unit::commit() {
  if (!tx_) {
    return true;
  }
  const bool ok = tx_->commit();
  tx_.reset();
  backend_.reset();
  return ok;
}

void job_unit::rollback() noexcept {
  tx_.reset(); // rolls back
  backend_.reset();
}

job_runner::job_runner(job_runner_settings settings, const database& db, web::clock_source& clock)
    : settings_(std::move(settings)), db_(db), clock_(clock) {
  if (settings_.owner.empty()) {
    settings_.owner = make_owner();
  }
  settings_.workers = std::max(settings_.workers, 1);
  settings_.per_peer = std::max(settings_.per_peer, 1);
  settings_.lease = std::max(settings_.lease, web::millis(300));
}

job_runner::~job_runner() { shutdown(web::millis(0)); }

void job_runner::handle(const std::string& kind, job_handler handler) {
  handlers_[kind] = std::move(handler);
}

void job_runner::start() {
  listener_ = std::make_unique<content::change_listener>(
      db_.record, clock_,
      [this](content::listen_event event, const std::vector<std::string>& peers) {
        listening_ = event != content::listen_event::down;
        if (event == content::listen_event::up) {
          nudge(); // what was announced while the session was down
        }
        for (const std::string& peer : peers) {
          nudge(peer); // a booking's or a freed job's peer; empty from an older trigger
        }
      },
      content::listen_target{content::jobs_channel, content::jobs_listen_session_name, channel,
                             nullptr, 0,
                             "Сеанс ожидания заданий открыт",
                             "Нет сеанса ожидания заданий: задания ищутся раз в секунду",
                             "Ошибка подписки на задания", ""});
  threads_.emplace_back([this] { dispatch_loop(); });
  threads_.emplace_back([this] { renew_loop(); });
  for (int i = 0; i < settings_.workers; ++i) {
    threads_.emplace_back([this] { worker_loop(); });
  }
  const std::lock_guard<std::mutex> lock(mu_);
  started_ = true;
}

// Only a job due at once that a worker could start at once is held: held jobs beyond that would
// fill the peer's room, and its claims (the later steps of older orders, waiting in the table)
// would get a batch only once the room is half free again.
bool job_runner::may_hold(const content::job_booking& b) const {
  if (b.delay.count() > 0 || b.latest_only) {
    return false;
  }
  const std::lock_guard<std::mutex> lock(mu_);
  if (!started_ || stopping_ ||
      static_cast<int>(queue_.size() + running_.size()) >= settings_.workers) {
    return false;
  }
  const auto held = in_flight_.find(b.peer);
  return held == in_flight_.end() || held->second < settings_.per_peer;
}

bool job_runner::book(const content::PGBackend& db, const job_booking& booking,
                      std::optional<content::claimed_job>& held) {
  held.reset();
  content::job_booking b = stored_booking(booking, clock_);
  if (!may_hold(b)) {
    return content::book_job(db, b) >= 0;
  }
  const content::chained_job booked =
      content::book_held_job(db, b, settings_.owner, settings_.lease);
  if (booked.id < 0) {
    return false;
  }
  if (booked.running) {
    held = claimed_from(b, booked.id);
  }
  return true;
}

bool job_runner::book_before_commit(const content::PGBackend& db, const job_booking& booking,
                                    std::optional<content::booking_with_commit>& with_commit) {
  with_commit.reset();
  content::job_booking b = stored_booking(booking, clock_);
  if (!may_hold(b)) {
    return content::book_job(db, b) >= 0;
  }
  with_commit.emplace(std::move(b), settings_.owner, settings_.lease);
  return true;
}

std::optional<content::claimed_job>
job_runner::held_after_commit(const content::booking_with_commit& booked) {
  if (booked.booked().id < 0 || !booked.booked().running) {
    return std::nullopt;
  }
  content::claimed_job job = claimed_from(booked.booking(), booked.booked().id);
  job.order_status = booked.booked().order_status;
  return job;
}

void job_runner::adopt(content::claimed_job job) {
  std::vector<content::claimed_job> one;
  one.push_back(std::move(job));
  hand_over(std::move(one));
}

// A claim now would give a peer without room none of its jobs: that peer's ends look again once
// it has room, and its new jobs wait for that instead of making the dispatcher read its backlog
// in vain at every booking.
void job_runner::nudge(const std::string& peer) {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    const auto held = in_flight_.find(peer);
    if (!peer.empty() && held != in_flight_.end() && room_left(held->second) == 0) {
      starved_.insert(peer);
      return;
    }
    nudged_ = true;
  }
  dispatch_cv_.notify_all();
}

void job_runner::shutdown(web::millis grace) {
  std::vector<std::int64_t> unstarted;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (stopping_) {
      return;
    }
    stopping_ = true;
    for (const auto& job : queue_) {
      unstarted.push_back(job.id);
    }
    queue_.clear();
  }
  work_cv_.notify_all();
  dispatch_cv_.notify_all();
  renew_cv_.notify_all();
  if (!unstarted.empty()) {
    if (auto session = open_session(db_)) {
      content::release_jobs(*session, settings_.owner, unstarted);
    }
  }
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (!idle_cv_.wait_for(lock, grace, [this] { return running_.empty(); })) {
      LOG(channel, warning,
          "Остановка: выполняется заданий " << running_.size()
                                            << ", они будут завершены или перехвачены после аренды");
    }
  }
  for (auto& t : threads_) {
    if (t.joinable()) {
      t.join();
    }
  }
  threads_.clear();
  if (listener_) {
    listener_->stop();
  }
}

content::peer_room job_runner::room() const {
  content::peer_room r;
  // More of a peer's jobs than its calls are held here: the next ones are claimed while the calls
  // run, so a peer's worker starts its next job without waiting for a claim. Held ones take no
  // worker. A peer's room is claimed into once it is half free or more, as a batch: a claim per
  // job would cap a busy peer at the claims' pace.
  r.default_room = held_per_peer();
  for (const auto& [peer, count] : in_flight_) {
    r.peers.push_back(peer);
    r.room.push_back(room_left(count));
  }
  r.held_here = held_ids();
  return r;
}

// The jobs running here and those held for a peer's room: their leases are this process's to
// renew, and its claims never take them over.
std::vector<std::int64_t> job_runner::held_ids() const {
  std::vector<std::int64_t> ids;
  for (const auto& [id, kind] : running_) {
    ids.push_back(id);
  }
  for (const auto& job : queue_) {
    ids.push_back(job.id);
  }
  return ids;
}

int job_runner::room_left(int held) const {
  const int left = held_per_peer() - held;
  return left >= held_per_peer() / 2 ? left : 0;
}

void job_runner::dispatch_loop() {
  std::unique_ptr<content::PGBackend> session;
  auto wake_at = std::chrono::steady_clock::now();
  auto next_purge = std::chrono::steady_clock::now();
  while (true) {
    int free = 0;
    content::peer_room r;
    {
      std::unique_lock<std::mutex> lock(mu_);
      const auto free_now = [this] {
        return held_total() - static_cast<int>(queue_.size() + running_.size());
      };
      dispatch_cv_.wait_until(lock, wake_at, [&] {
        return stopping_ || (nudged_ && free_now() > 0);
      });
      if (stopping_) {
        return;
      }
      if (free_now() <= 0) {
        // Woken by the timer with every worker busy: a worker's end nudges again.
        wake_at = std::chrono::steady_clock::now() + std::chrono::hours(1);
        continue;
      }
      nudged_ = false;
      free = free_now();
      r = room();
    }
    if (!session || !content::session_usable(*session)) {
      session = open_own_session(db_);
    }
    const web::millis poll = listening_ ? heard_poll : unheard_poll;
    wake_at = std::chrono::steady_clock::now() + poll;
    if (!session) {
      continue;
    }
    std::vector<content::claimed_job> claimed =
        content::claim_jobs(*session, settings_.owner, settings_.lease, free, r);
    const bool full = static_cast<int>(claimed.size()) >= free;
    hand_over(std::move(claimed));
    if (full) {
      const std::lock_guard<std::mutex> lock(mu_);
      nudged_ = true; // there may be more: look again once a worker is free
    } else if (const auto due = content::next_job_due(*session, room_after_claim())) {
      // Due now yet not claimed: it fell due after the claim looked. A short look again covers
      // it without spinning.
      wake_at = std::min(wake_at, std::chrono::steady_clock::now() + std::max(*due, due_again));
    }
    if (std::chrono::steady_clock::now() >= next_purge) {
      next_purge = std::chrono::steady_clock::now() + purge_every;
      content::purge_done_jobs(*session, settings_.keep_done);
    }
  }
}

content::peer_room job_runner::room_after_claim() {
  const std::lock_guard<std::mutex> lock(mu_);
  content::peer_room r = room();
  starved_.clear();
  for (std::size_t i = 0; i < r.peers.size(); ++i) {
    if (r.room[i] == 0) {
      starved_.insert(r.peers[i]);
    }
  }
  return r;
}

void job_runner::hand_over(std::vector<content::claimed_job> claimed) {
  if (claimed.empty()) {
    return;
  }
  std::vector<std::int64_t> unstarted;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    for (auto& job : claimed) {
      if (stopping_) {
        unstarted.push_back(job.id);
        continue;
      }
      ++in_flight_[job.peer];
      queue_.push_back(std::move(job));
    }
  }
  work_cv_.notify_all();
  if (!unstarted.empty()) {
    if (auto session = open_session(db_)) {
      content::release_jobs(*session, settings_.owner, unstarted);
    }
  }
}

// The first held job whose peer has a call free, in the order they were claimed.
std::vector<content::claimed_job>::iterator job_runner::startable() {
  return std::find_if(queue_.begin(), queue_.end(), [this](const content::claimed_job& job) {
    const auto calls = calls_.find(job.peer);
    return calls == calls_.end() || calls->second < settings_.per_peer;
  });
}

void job_runner::worker_loop() {
  std::optional<content::claimed_job> chained;
  while (true) {
    content::claimed_job job;
    if (chained) {
      job = std::move(*chained); // its call is counted already
      chained.reset();
    } else {
      std::unique_lock<std::mutex> lock(mu_);
      auto next = queue_.end();
      work_cv_.wait(lock, [&] {
        next = startable();
        return stopping_ || next != queue_.end();
      });
      if (stopping_) {
        return;
      }
      job = std::move(*next);
      queue_.erase(next);
      running_[job.id] = job.kind;
      ++calls_[job.peer];
    }
    chained = run_job(job);
    bool give_back = false;
    {
      const std::lock_guard<std::mutex> lock(mu_);
      const bool slots_were_full =
          static_cast<int>(queue_.size() + running_.size()) >= held_total();
      running_.erase(job.id);
      const int held = --in_flight_[job.peer];
      if (held <= 0) {
        in_flight_.erase(job.peer);
      }
      if (chained) {
        running_[chained->id] = chained->kind;
        give_back = stopping_;
      }
      // The dispatcher looks again once a peer it left out has room for a batch (see room()).
      // A peer it offered room to had nothing more due then; what falls due later, or is booked,
      // or waited behind an order's earlier job, wakes it in its own way.
      if (slots_were_full || (starved_.count(job.peer) != 0 && held <= held_per_peer() / 2)) {
        nudged_ = true;
      }
    }
    if (give_back) {
      // A stop began meanwhile: it waits for the next process, like the jobs held unstarted.
      if (auto session = open_session(db_)) {
        content::release_jobs(*session, settings_.owner, {chained->id});
      }
      {
        const std::lock_guard<std::mutex> lock(mu_);
        running_.erase(chained->id);
      }
      cancel_call(chained->peer);
      chained.reset();
    }
    work_cv_.notify_all(); // a held job of this peer may start now
    dispatch_cv_.notify_all();
    idle_cv_.notify_all();
    renew_cv_.notify_all();
  }
}

bool job_runner::reserve_call(const std::string& peer) {
  const std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) {
    return false;
  }
  const auto calls = calls_.find(peer);
  if (calls != calls_.end() && calls->second >= settings_.per_peer) {
    return false;
  }
  ++calls_[peer];
  ++in_flight_[peer];
  return true;
}

// Counted from a job's start to its handler's return, not to its end's commit: a chained job
// reserves its call while the one before is still ending, and two workers doing so at once would
// each see the other's ended call as busy.
void job_runner::call_over(const std::string& peer) {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    if (--calls_[peer] <= 0) {
      calls_.erase(peer);
    }
  }
  work_cv_.notify_all(); // a held job of this peer may start now
}

void job_runner::cancel_call(const std::string& peer) {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    if (--in_flight_[peer] <= 0) {
      in_flight_.erase(peer);
    }
    if (--calls_[peer] <= 0) {
      calls_.erase(peer);
    }
  }
  work_cv_.notify_all();
}

void job_runner::renew_loop() {
  const web::millis every = settings_.lease / 3;
  std::unique_ptr<content::PGBackend> session;
  std::unique_lock<std::mutex> lock(mu_);
  const auto stopped = [this] { return stopping_ && running_.empty(); };
  while (!stopped()) {
    if (renew_cv_.wait_for(lock, every, stopped)) {
      return;
    }
    const std::vector<std::int64_t> ids = held_ids();
    if (ids.empty()) {
      continue;
    }
    lock.unlock();
    if (!session || !content::session_usable(*session)) {
      session = open_own_session(db_);
    }
    if (session) {
      content::renew_leases(*session, settings_.owner, ids, settings_.lease);
    }
    lock.lock();
  }
}

std::optional<content::claimed_job> job_runner::run_job(const content::claimed_job& job) {
  if (job.taken_over) {
    LOG(channel, warning,
        "[" << job.order_id << "] Задание " << job.id << " (" << job.kind
            << ") перехвачено: аренда прежнего исполнителя истекла");
  }
  job_unit unit(db_, job.id_app, job.order_id, job.order_status);
  job_result result = run_handler(job, unit);
  call_over(job.peer);
  return end_job(job, unit, std::move(result));
}

// A handler that throws is a try that failed: the job is tried again after a pause.
job_result job_runner::run_handler(const content::claimed_job& job, job_unit& unit) {
  const auto handler = handlers_.find(job.kind);
  if (handler == handlers_.end()) {
    return job_result::retry(unknown_kind_pause, "unknown kind " + job.kind);
  }
  try {
    job_call call;
    call.id = job.id;
    call.kind = job.kind;
    call.id_app = job.id_app;
    call.order_id = job.order_id;
    call.peer = job.peer;
    call.attempt = job.attempts;
    call.age = job.age;
    call.taken_over = job.taken_over;
    if (!web::json::parse(job.args, call.args) || !web::json::as_object(call.args)) {
      return job_result::failed("args are not a JSON object");
    }
    return handler->second(call, unit);
  } catch (const std::exception& e) {
    unit.rollback();
    LOG(channel, critical,
        "[" << job.order_id << "] Сбой задания " << job.id << " (" << job.kind
            << ") : " << e.what());
    return job_result::retry(crash_pause, std::string("exception: ") + e.what());
  } catch (...) {
    unit.rollback();
    LOG(channel, critical,
        "[" << job.order_id << "] Сбой задания " << job.id << " (" << job.kind << ")");
    return job_result::retry(crash_pause, "exception");
  }
}

std::optional<content::claimed_job> job_runner::end_job(const content::claimed_job& job,
                                                        job_unit& unit, job_result result) {
  for (job_booking& next : result.next) {
    if (next.id_app < 0 && next.order_id.empty()) {
      next.id_app = job.id_app;
      next.order_id = job.order_id;
    }
  }
  // Only a job of this order: the transaction holds this order's lock, no other's.
  const bool may_chain = result.state == job_result::end::done && result.next.size() == 1 &&
                         !result.next[0].latest_only && result.next[0].id_app == job.id_app &&
                         result.next[0].order_id == job.order_id &&
                         clock_.scaled(result.next[0].pause).count() == 0 &&
                         handlers_.count(result.next[0].kind) != 0 &&
                         reserve_call(result.next[0].peer);
  const std::optional<content::chained_job> ended = write_end_guarded(job, unit, result, may_chain);
  if (ended && may_chain && ended->running) {
    content::claimed_job next;
    next.id = ended->id;
    next.kind = result.next[0].kind;
    next.id_app = job.id_app;
    next.order_id = job.order_id;
    next.args = args_text(result.next[0].args);
    next.peer = result.next[0].peer;
    next.attempts = 1;
    next.order_status = ended->order_status;
    return next;
  }
  if (may_chain) {
    cancel_call(result.next[0].peer); // not written, or booked to wait behind an earlier job
  }
  if (!ended) {
    return std::nullopt;
  }
  if (result.state == job_result::end::failed) {
    LOG(channel, error,
        "[" << job.order_id << "] Задание не выполнено: " << job.kind << ", попыток "
            << job.attempts << " : " << result.error);
  }
  for (const job_booking& next : result.next) {
    nudge(next.peer);
  }
  if (result.state == job_result::end::retry) {
    nudge(job.peer);
  }
  return std::nullopt;
}

// An exception let out of a worker would end the process with every job it holds: one from the
// end's writing leaves the job to be taken over after its lease, like an end that did not commit;
// one from the handler's `committed` changes nothing of what was committed.
std::optional<content::chained_job> job_runner::write_end_guarded(const content::claimed_job& job,
                                                                  job_unit& unit,
                                                                  const job_result& result,
                                                                  bool chain) {
  std::optional<content::chained_job> ended;
  std::string error;
  try {
    ended = write_end(job, unit, result, chain);
    if (ended && result.committed) {
      result.committed();
    }
    return ended;
  } catch (const std::exception& e) {
    error = std::string("exception: ") + e.what();
  } catch (...) {
    error = "exception";
  }
  if (ended) {
    LOG(channel, critical,
        "[" << job.order_id << "] Сбой после завершения задания " << job.id << " (" << job.kind
            << ") : " << error);
  } else {
    unit.rollback();
    end_failed_unit(job, error);
  }
  return ended;
}

// The end, the next bookings and the handler's writes, committed together; the chained job as
// booked (none when not chained), or nothing when not committed (logged).
std::optional<content::chained_job> job_runner::write_end(const content::claimed_job& job,
                                                          job_unit& unit, const job_result& result,
                                                          bool chain) {
  // A booking that replaces a waiting job's args reads before it writes: not in a pipeline.
  const bool replaces = std::any_of(result.next.begin(), result.next.end(),
                                    [](const job_booking& b) { return b.latest_only; });
  content::PGBackend* db = nullptr;
  bool begin = false;
  if (replaces) {
    db = unit.db();
  } else {
    db = unit.session_for_end(begin);
  }
  if (db == nullptr) {
    end_failed_unit(job, "no database");
    return std::nullopt;
  }
  content::job_finish f;
  f.id = job.id;
  f.owner = settings_.owner;
  f.id_app = job.id_app;
  f.order_id = job.order_id;
  f.begin = begin;
  f.lease = settings_.lease;
  f.error = result.error;
  f.delay = clock_.scaled(result.pause);
  if (!web::json::is_null(result.args)) {
    f.args = web::json::write(result.args);
  }
  switch (result.state) {
  case job_result::end::done:
    f.state = content::job_finish::end::done;
    break;
  case job_result::end::failed:
    f.state = content::job_finish::end::failed;
    break;
  case job_result::end::retry:
    f.state = content::job_finish::end::retry;
    break;
  }
  for (const job_booking& next : result.next) {
    if (replaces && content::book_job(*db, stored_booking(next, clock_)) < 0) {
      unit.rollback();
      end_failed_unit(job, "the end was not written");
      return std::nullopt;
    }
    if (!replaces) {
      (chain ? f.chained.emplace() : f.bookings.emplace_back()) = stored_booking(next, clock_);
    }
  }
  const content::job_finished finished = content::finish_job(*db, f);
  unit.ended();
  if (!finished.committed) {
    end_failed_unit(job, "the end was not committed");
    return std::nullopt;
  }
  return finished.chained;
}

// Nothing of the run's last transaction is stored: the job stays running under its lease and is
// taken over once that runs out, by this process or another.
void job_runner::end_failed_unit(const content::claimed_job& job, const std::string& error) {
  LOG(channel, error,
      "[" << job.order_id << "] Итог задания " << job.id << " (" << job.kind
          << ") не записан (" << error << "): оно будет повторено после аренды");
}

web::job_snapshot job_runner::jobs() const {
  web::job_snapshot snapshot;
  const auto session = open_session(db_);
  content::stored_jobs stored;
  if (!session || !content::read_job_summary(*session, failed_shown, stored)) {
    return snapshot;
  }
  for (const auto& c : stored.counts) {
    web::job_counts& out = snapshot.counts[c.kind];
    out.due = c.due;
    out.scheduled = c.scheduled;
    out.running = c.running;
    out.failed = c.failed;
  }
  snapshot.oldest_due = stored.oldest_due;
  for (const auto& f : stored.failed) {
    snapshot.failed.push_back(web::failed_job{
        f.order_id, f.kind, f.attempts, f.last_error,
        std::chrono::system_clock::time_point(std::chrono::milliseconds(f.failed_at_ms))});
  }
  return snapshot;
}

} // namespace srv_apps
