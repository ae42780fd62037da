// Log records go through one dispatching channel shared by every named logger, so that the sinks
// can be replaced at a service rebuild without touching the loggers, and tests can tap records.
#include "web/log.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/FileChannel.h>
#include <Poco/Formatter.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/SyslogChannel.h>

namespace web {
namespace {

Poco::Message::Priority to_priority(log_level level) {
  switch (level) {
  case log_level::critical:
    return Poco::Message::PRIO_CRITICAL;
  case log_level::error:
    return Poco::Message::PRIO_ERROR;
  case log_level::warning:
    return Poco::Message::PRIO_WARNING;
  case log_level::notice:
    return Poco::Message::PRIO_NOTICE;
  case log_level::info:
    return Poco::Message::PRIO_INFORMATION;
  case log_level::debug:
    break;
  }
  return Poco::Message::PRIO_DEBUG;
}

log_level from_priority(Poco::Message::Priority p) {
  switch (p) {
  case Poco::Message::PRIO_FATAL:
  case Poco::Message::PRIO_CRITICAL:
    return log_level::critical;
  case Poco::Message::PRIO_ERROR:
    return log_level::error;
  case Poco::Message::PRIO_WARNING:
    return log_level::warning;
  case Poco::Message::PRIO_NOTICE:
    return log_level::notice;
  case Poco::Message::PRIO_INFORMATION:
    return log_level::info;
  default:
    return log_level::debug;
  }
}

std::string base_name(const char* file) {
  if (file == nullptr) {
    return "";
  }
  const char* slash = std::strrchr(file, '/');
  return slash != nullptr ? slash + 1 : file;
}

log_record to_record(const Poco::Message& msg) {
  return log_record{msg.getSource(), from_priority(msg.getPriority()), msg.getText(),
                    base_name(msg.getSourceFile()), msg.getSourceLine()};
}

class line_formatter final : public Poco::Formatter {
public:
  void format(const Poco::Message& msg, std::string& text) override {
    text = format_log_line(to_record(msg), msg.getTime().epochTime());
  }
};

// The one channel every logger writes to: forwards to the configured sinks and to test taps.
class dispatch_channel final : public Poco::Channel {
public:
  void log(const Poco::Message& msg) override {
    std::vector<Poco::AutoPtr<Poco::Channel>> sinks;
    std::vector<std::function<void(const log_record&)>> taps;
    {
      std::lock_guard<std::mutex> lock(mu_);
      sinks = sinks_;
      for (const auto& [id, tap] : taps_) {
        taps.push_back(tap);
      }
    }
    for (auto& sink : sinks) {
      sink->log(msg);
    }
    if (!taps.empty()) {
      const log_record record = to_record(msg);
      for (auto& tap : taps) {
        tap(record);
      }
    }
  }

  void replace_sinks(std::vector<Poco::AutoPtr<Poco::Channel>> sinks) {
    std::vector<Poco::AutoPtr<Poco::Channel>> old;
    {
      std::lock_guard<std::mutex> lock(mu_);
      old.swap(sinks_);
      sinks_ = std::move(sinks);
    }
    for (auto& sink : old) {
      sink->close();
    }
  }

  std::size_t add_tap(std::function<void(const log_record&)> tap) {
    std::lock_guard<std::mutex> lock(mu_);
    taps_.emplace(++next_tap_, std::move(tap));
    return next_tap_;
  }

  void remove_tap(std::size_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    taps_.erase(id);
  }

private:
  std::mutex mu_;
  std::vector<Poco::AutoPtr<Poco::Channel>> sinks_;                    // guarded by mu_
  std::map<std::size_t, std::function<void(const log_record&)>> taps_; // guarded by mu_
  std::size_t next_tap_ = 0;                                           // guarded by mu_
};

// Logging is process-wide by nature (every thread logs); this is its one piece of state.
struct log_state {
  std::atomic<int> level{static_cast<int>(log_level::error)};
  Poco::AutoPtr<dispatch_channel> channel{new dispatch_channel};
  std::once_flag installed;
};

log_state& state() {
  static log_state s;
  return s;
}

Poco::AutoPtr<Poco::Channel> formatted(Poco::Channel* sink) {
  Poco::AutoPtr<Poco::Channel> inner(sink);
  Poco::AutoPtr<Poco::Formatter> fmt(new line_formatter);
  return Poco::AutoPtr<Poco::Channel>(new Poco::FormattingChannel(fmt, inner));
}

void install_dispatch() {
  log_state& s = state();
  std::call_once(s.installed, [&s] {
    Poco::Logger::root().setChannel(s.channel);
    Poco::Logger::setChannel("", s.channel);
    Poco::Logger::setLevel("", Poco::Message::PRIO_DEBUG); // filtering is ours
    s.channel->replace_sinks({formatted(new Poco::ConsoleChannel(std::cerr))});
  });
}

Poco::AutoPtr<Poco::Channel> make_file_sink(const log_sinks& sinks) {
  if (!sinks.file_append) {
    std::ofstream truncate(sinks.file_name, std::ios::trunc);
    if (!truncate) {
      throw std::runtime_error("cannot open log file " + sinks.file_name);
    }
  }
  Poco::AutoPtr<Poco::FileChannel> file(new Poco::FileChannel(sinks.file_name));
  if (sinks.file_max_files > 0) {
    file->setProperty("rotation", "10 M");
    file->setProperty("archive", "number");
    file->setProperty("purgeCount", std::to_string(sinks.file_max_files));
  }
  try {
    file->open();
  } catch (const Poco::Exception& e) {
    throw std::runtime_error("cannot open log file " + sinks.file_name + ": " + e.displayText());
  }
  file->duplicate();
  return formatted(file.get());
}

} // namespace

const char* to_string(log_level level) {
  switch (level) {
  case log_level::critical:
    return "critical";
  case log_level::error:
    return "error";
  case log_level::warning:
    return "warning";
  case log_level::notice:
    return "notice";
  case log_level::info:
    return "info";
  case log_level::debug:
    break;
  }
  return "debug";
}

bool parse_log_level(const std::string& text, log_level& out) {
  for (log_level l : {log_level::critical, log_level::error, log_level::warning, log_level::notice,
                      log_level::info, log_level::debug}) {
    if (text == to_string(l)) {
      out = l;
      return true;
    }
  }
  return false;
}

bool log_enabled(log_level level) {
  return static_cast<int>(level) <= state().level.load(std::memory_order_relaxed);
}

void log_write(const std::string& channel, log_level level, const std::string& message,
               const char* file, int line) {
  install_dispatch();
  // One record, one line: a caller's text with a line break must not forge a record of its own.
  std::string text = message;
  for (char& c : text) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  Poco::Message msg(channel, text, to_priority(level), file, line);
  Poco::Logger::get(channel).log(msg);
}

void configure_logging(const log_sinks& sinks) {
  install_dispatch();
  std::vector<Poco::AutoPtr<Poco::Channel>> channels;
  if (!sinks.file_name.empty()) {
    channels.push_back(make_file_sink(sinks));
  }
  if (sinks.syslog) {
    Poco::AutoPtr<Poco::SyslogChannel> sys(new Poco::SyslogChannel(sinks.syslog_id));
    sys->duplicate();
    channels.push_back(formatted(sys.get()));
  }
  if (sinks.to_stderr) {
    channels.push_back(formatted(new Poco::ConsoleChannel(std::cerr)));
  }
  state().channel->replace_sinks(std::move(channels));
  state().level.store(static_cast<int>(sinks.level));
}

log_level current_log_level() { return static_cast<log_level>(state().level.load()); }

std::string format_log_line(const log_record& record, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line = stamp;
  line += "; ";
  line += record.channel;
  line += ", ";
  line += to_string(record.level);
  line += ": ";
  line += record.message;
  line += " (";
  line += record.file;
  line += ":";
  line += std::to_string(record.line);
  line += ")";
  return line;
}

log_tap::log_tap(log_level level, std::function<void(const log_record&)> sink)
    : previous_(current_log_level()) {
  install_dispatch();
  id_ = state().channel->add_tap(std::move(sink));
  state().level.store(static_cast<int>(level));
}

log_tap::~log_tap() {
  state().channel->remove_tap(id_);
  state().level.store(static_cast<int>(previous_));
}

} // namespace web
