// The catalogue cache.
#include "catalogue_cache.h"

namespace srv_apps {

namespace {

// What a kept value costs beyond its texts: the map's node, the recency list's node, the
// shared block. An estimate; it keeps many tiny entries from passing the bound unnoticed.
constexpr std::size_t entry_overhead = 160;

std::size_t cost(const std::string& key, const cached_entry& value) {
  return 2 * key.size() + value.body.size() + value.gzipped.size() + entry_overhead;
}

} // namespace

cached_entry_ptr catalogue_cache::get(const std::string& key, const compute_fn& compute) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!serving_) {
    lock.unlock();
    return compute();
  }
  if (const auto kept = slots_.find(key); kept != slots_.end()) {
    recency_.splice(recency_.begin(), recency_, kept->second.position);
    return kept->second.value;
  }
  if (const auto running = flights_.find(key); running != flights_.end()) {
    const std::shared_ptr<flight> joined = running->second;
    lock.unlock();
    return await(*joined);
  }
  const auto f = std::make_shared<flight>();
  flights_.emplace(key, f);
  const std::uint64_t generation = generation_;
  lock.unlock();
  cached_entry_ptr value;
  try {
    value = compute();
  } catch (...) {
    settle(*f, nullptr, std::current_exception());
    land(key, f, generation, nullptr);
    throw;
  }
  settle(*f, value, nullptr);
  land(key, f, generation, value);
  return value;
}

void catalogue_cache::settle(flight& f, cached_entry_ptr value, std::exception_ptr error) {
  {
    const std::lock_guard<std::mutex> hold(f.mu);
    f.value = std::move(value);
    f.error = std::move(error);
    f.done = true;
  }
  f.cv.notify_all();
}

cached_entry_ptr catalogue_cache::await(flight& f) {
  std::unique_lock<std::mutex> lock(f.mu);
  f.cv.wait(lock, [&f] { return f.done; });
  if (f.error) {
    std::rethrow_exception(f.error);
  }
  return f.value;
}

void catalogue_cache::land(const std::string& key, const std::shared_ptr<flight>& f,
                           std::uint64_t generation, const cached_entry_ptr& value) {
  const std::lock_guard<std::mutex> lock(mu_);
  const auto running = flights_.find(key);
  if (running != flights_.end() && running->second == f) {
    flights_.erase(running);
  }
  // Computed across a change (or a loss of the session): it may hold what the change replaced.
  if (value && serving_ && generation == generation_) {
    keep(key, value);
  }
}

void catalogue_cache::keep(const std::string& key, const cached_entry_ptr& value) {
  const std::size_t need = cost(key, *value);
  if (need > max_bytes_ || slots_.count(key) != 0) {
    return;
  }
  while (bytes_ + need > max_bytes_ && !recency_.empty()) {
    const auto oldest = slots_.find(recency_.back());
    bytes_ -= cost(oldest->first, *oldest->second.value);
    slots_.erase(oldest);
    recency_.pop_back();
  }
  recency_.push_front(key);
  slots_.emplace(key, slot{value, recency_.begin()});
  bytes_ += need;
}

void catalogue_cache::drop_all() {
  ++generation_;
  slots_.clear();
  recency_.clear();
  bytes_ = 0;
  // Callers arriving from now on compute afresh instead of joining a computation that may have
  // read the replaced rows.
  flights_.clear();
}

void catalogue_cache::listening(bool up) {
  const std::lock_guard<std::mutex> lock(mu_);
  drop_all();
  serving_ = up;
}

void catalogue_cache::changed() {
  const std::lock_guard<std::mutex> lock(mu_);
  drop_all();
}

bool catalogue_cache::serving() const {
  const std::lock_guard<std::mutex> lock(mu_);
  return serving_;
}

std::size_t catalogue_cache::bytes() const {
  const std::lock_guard<std::mutex> lock(mu_);
  return bytes_;
}

std::size_t catalogue_cache::size() const {
  const std::lock_guard<std::mutex> lock(mu_);
  return slots_.size();
}

} // namespace srv_apps
