// The catalogue cache's bound, single flight and generations, without a database.
#include "catalogue_cache.h"

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using srv_apps::cached_entry;
using srv_apps::cached_entry_ptr;
using srv_apps::catalogue_cache;

cached_entry_ptr entry(const std::string& body) {
  return std::make_shared<const cached_entry>(cached_entry{body, {}});
}

// The value the cache hands out for `key`, and whether it had to compute it.
std::pair<std::string, bool> fetch(catalogue_cache& cache, const std::string& key,
                                   const std::string& fresh) {
  bool computed = false;
  const cached_entry_ptr v = cache.get(key, [&] {
    computed = true;
    return entry(fresh);
  });
  return {v ? v->body : "<null>", computed};
}

TEST(CatalogueCache, KeepsServesAndForgets) {
  catalogue_cache cache(1 << 20);
  using step = std::pair<std::string, bool>;
  EXPECT_EQ(fetch(cache, "a", "1"), step("1", true)) << "not serving before the session is up";
  EXPECT_EQ(fetch(cache, "a", "2"), step("2", true));
  EXPECT_EQ(cache.size(), 0U);
  cache.listening(true);
  EXPECT_EQ(fetch(cache, "a", "3"), step("3", true));
  EXPECT_EQ(fetch(cache, "a", "4"), step("3", false));
  cache.changed();
  EXPECT_EQ(fetch(cache, "a", "5"), step("5", true));
  cache.listening(false);
  EXPECT_EQ(cache.size(), 0U) << "a lost session empties the cache";
  EXPECT_EQ(fetch(cache, "a", "6"), step("6", true));
  cache.listening(true);
  EXPECT_EQ(fetch(cache, "a", "7"), step("7", true));
  // Nothing to keep: asked again.
  EXPECT_FALSE(cache.get("unknown", [] { return cached_entry_ptr(); }));
  EXPECT_EQ(fetch(cache, "unknown", "8"), step("8", true));
}

TEST(CatalogueCache, LeastRecentlyUsedGoesFirstWithinTheBound) {
  const std::string body(1000, 'x');
  // Room for three entries of this size, not four.
  catalogue_cache cache(3 * (body.size() + 400));
  cache.listening(true);
  for (const char* key : {"k1", "k2", "k3"}) {
    fetch(cache, key, body);
  }
  fetch(cache, "k1", body); // k1 used again: k2 is now the oldest
  fetch(cache, "k4", body);
  EXPECT_EQ(cache.size(), 3U);
  EXPECT_LE(cache.bytes(), 3 * (body.size() + 400));
  EXPECT_FALSE(fetch(cache, "k1", body).second);
  EXPECT_FALSE(fetch(cache, "k3", body).second);
  EXPECT_FALSE(fetch(cache, "k4", body).second);
  EXPECT_TRUE(fetch(cache, "k2", body).second) << "the least recently used went out";
  // A value larger than the whole bound is handed out but never kept.
  EXPECT_TRUE(fetch(cache, "huge", std::string(1 << 14, 'y')).second);
  EXPECT_TRUE(fetch(cache, "huge", "z").second);
}

TEST(CatalogueCache, ConcurrentMissesComputeOnce) {
  catalogue_cache cache(1 << 20);
  cache.listening(true);
  std::atomic<int> computations{0};
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  auto slow = [&] {
    ++computations;
    released.wait();
    return entry("v");
  };
  std::vector<std::future<std::string>> callers;
  for (int i = 0; i < 8; ++i) {
    callers.push_back(std::async(std::launch::async, [&] { return cache.get("k", slow)->body; }));
  }
  while (computations.load() == 0) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let the others reach the flight
  release.set_value();
  for (auto& c : callers) {
    EXPECT_EQ(c.get(), "v");
  }
  EXPECT_EQ(computations.load(), 1);

  // A failure reaches the callers that waited for it and is not kept.
  EXPECT_THROW(cache.get("bad", []() -> cached_entry_ptr { throw std::runtime_error("db"); }),
               std::runtime_error);
  EXPECT_TRUE(fetch(cache, "bad", "ok").second);
}

TEST(CatalogueCache, AValueComputedAcrossAChangeIsNotKept) {
  catalogue_cache cache(1 << 20);
  cache.listening(true);
  for (const auto& interrupt : {+[](catalogue_cache& c) { c.changed(); },
                                +[](catalogue_cache& c) { c.listening(false); c.listening(true); }}) {
    const cached_entry_ptr stale = cache.get("k", [&] {
      interrupt(cache); // the rows read may be the replaced ones
      return entry("old");
    });
    EXPECT_EQ(stale->body, "old") << "the caller still gets its answer";
    EXPECT_EQ(fetch(cache, "k", "new").first, "new");
    cache.changed();
  }
}

} // namespace
