// Catalogue replies and key lookups kept in memory while the database announces every change of
// the tables they are read from. Bounded by bytes (least recently used out first); concurrent
// misses of one key compute it once; a value computed across a change is handed out but not kept.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace srv_apps {

// One kept value: a reply body (or a key's application id as text) and, for replies, the same
// body gzipped once.
struct cached_entry {
  std::string body;
  std::string gzipped;
};
using cached_entry_ptr = std::shared_ptr<const cached_entry>;

class catalogue_cache {
public:
  explicit catalogue_cache(std::size_t max_bytes) : max_bytes_(max_bytes) {}

  // Computes a missing value; null when there is nothing to keep (an unknown key). What it
  // throws reaches every caller that waited for the same key.
  using compute_fn = std::function<cached_entry_ptr()>;

  // The kept value of `key`, else computed. While not serving, every call computes and nothing
  // is kept.
  cached_entry_ptr get(const std::string& key, const compute_fn& compute);

  // The listening session's state: up, the cache starts empty and serves; down, it empties and
  // stops serving until it is up again.
  void listening(bool up);
  // A change was announced: everything kept so far may be stale.
  void changed();

  bool serving() const;
  std::size_t bytes() const;
  std::size_t size() const;

private:
  struct flight {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    cached_entry_ptr value;
    std::exception_ptr error;
  };
  struct slot {
    cached_entry_ptr value;
    std::list<std::string>::iterator position; // in recency_
  };

  static cached_entry_ptr await(flight& f);
  static void settle(flight& f, cached_entry_ptr value, std::exception_ptr error);
  void land(const std::string& key, const std::shared_ptr<flight>& f, std::uint64_t generation,
            const cached_entry_ptr& value);
  void keep(const std::string& key, const cached_entry_ptr& value); // mu_ held
  void drop_all();                                                  // mu_ held

  const std::size_t max_bytes_;
  mutable std::mutex mu_;
  bool serving_ = false;
  std::uint64_t generation_ = 0; // raised by every change, so a computation can tell it was crossed
  std::size_t bytes_ = 0;
  std::list<std::string> recency_; // most recently used first
  std::unordered_map<std::string, slot> slots_;
  std::unordered_map<std::string, std::shared_ptr<flight>> flights_;
};

} // namespace srv_apps
