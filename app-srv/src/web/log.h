// Logging entry point for the whole service: one LOG macro, channels by name, levels as the
// operators know them. Only this layer talks to the logging library.
#pragma once

#include <functional>
#include <locale>
#include <memory>
#include <sstream>
#include <string>
#include <ctime>
#include <vector>

namespace web {

enum class log_level { critical = 0, error, warning, notice, info, debug };

const char* to_string(log_level level);
// "critical" ... "debug"; false for anything else.
bool parse_log_level(const std::string& text, log_level& out);

struct log_record {
  std::string channel;
  log_level level;
  std::string message;
  std::string file; // base name of the source file
  int line;
};

// Where log records go; built from the "logging" settings once per service cycle.
struct log_sinks {
  log_level level = log_level::error;
  bool to_stderr = true;
  std::string file_name; // empty: no file
  bool file_append = true;
  int file_max_files = 0; // 0: no rotation
  bool syslog = false;
  std::string syslog_id;
};

// True when records of this level are written at all; cheap (one atomic read).
bool log_enabled(log_level level);
// Writes one record on the named channel ("orvale", "orvale/price", "Database", ...).
void log_write(const std::string& channel, log_level level, const std::string& message,
               const char* file, int line);

// Replaces the process's sinks. Throws std::runtime_error when a file cannot be opened.
void configure_logging(const log_sinks& sinks);
log_level current_log_level();

// Formats one record the way every sink writes it:
// "YYYY-MM-DD HH:MM:SS; CHANNEL, LEVEL: MESSAGE (FILE:LINE)" in local time.
std::string format_log_line(const log_record& record, std::time_t when);

// Test hook: while alive, every record that passes the level also goes to the callback, and the
// level is the one given. Restores the previous level on destruction.
class log_tap {
public:
  log_tap(log_level level, std::function<void(const log_record&)> sink);
  ~log_tap();
  log_tap(const log_tap&) = delete;
  log_tap& operator=(const log_tap&) = delete;

private:
  log_level previous_;
  std::size_t id_;
};

} // namespace web

#define LOG(channel, lvl, stream_expr)                                                             \
  do {                                                                                             \
    if (::web::log_enabled(::web::log_level::lvl)) {                                               \
      std::ostringstream log_os_;                                                                  \
      log_os_.imbue(std::locale::classic());                                                       \
      log_os_ << stream_expr;                                                                      \
      ::web::log_write(channel, ::web::log_level::lvl, log_os_.str(), __FILE__, __LINE__);         \
    }                                                                                              \
  } while (0)
