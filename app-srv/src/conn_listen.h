// A database session of its own that waits for the announcements of catalogue changes and
// reports them, with the session's own state, to whoever keeps data derived from those tables.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include <thread>

#include "conn.h"
#include "web/clock.h"

namespace content {

// The channel the catalogue tables' triggers notify on every change.
inline constexpr const char* catalogue_channel = "orvale_catalogue";
// The listening session's application_name, as it shows in pg_stat_activity.
inline constexpr const char* listen_session_name = "orvale-listen";

// What one listening session listens to, and how it says so in the log.
struct listen_target {
  const char* channel;
  const char* session_name; // application_name
  const char* log_channel = "orvale";
  // One count of what has to exist for announcements to come (the triggers), and the count it
  // must reach; no check when null.
  const char* armed_sql = nullptr;
  int armed_count = 0;
  const char* opened_text = "";    // info, once the session is up
  const char* lost_text = "";      // warning, with the reason, when it is lost or cannot start
  const char* listen_failed_text = ""; // error, with the server's text
  const char* unarmed_text = "";   // error, once, with "(n из m)"

  static listen_target catalogue();
};

enum class listen_event {
  up,      // LISTEN succeeded: from now on every committed change is announced
  down,    // the session broke (or could not be opened); changes may go unannounced
  changed, // one or more announcements arrived, with their payloads
};

class change_listener {
public:
  // The payloads of the announcements that arrived together, for "changed"; none otherwise.
  using sink = std::function<void(listen_event, const std::vector<std::string>& payloads)>;

  // Starts the session's thread at once; the first report is "up" or "down". Between two
  // attempts to connect it waits the design's 1 s through the clock's scale. The record's pool is
  // never used: the session is held for the listener's whole life. The session counts as up
  // only once LISTEN succeeded and every catalogue table has its enabled trigger: without them
  // changes would go unannounced.
  change_listener(const DBConnection_t& record, web::clock_source& clock, sink report,
                  listen_target target = listen_target::catalogue());
  ~change_listener();
  change_listener(const change_listener&) = delete;
  change_listener& operator=(const change_listener&) = delete;

  // Ends the session and joins its thread; reports nothing more. Safe to call twice.
  void stop();

private:
  void run();
  // One session from connecting to its loss; false when it never came up.
  bool serve_session();
  bool start_listening(const PGBackend& db);
  bool wait_for_traffic(int socket); // false when stopping
  void pause_before_retry();

  const DBConnection_t record_;
  const listen_target target_;
  web::clock_source& clock_;
  const sink report_;
  std::atomic<bool> stopping_{false};
  std::string failure_;            // why the last session ended or never began; run()'s thread only
  bool triggers_reported_ = false; // their absence is logged once, not every second
  std::mutex mu_;
  std::condition_variable cv_;
  std::thread thread_; // last: started once everything above exists
};

} // namespace content
