// The real orvale binary ($ORVALE_BINARY) as a child process with a generated configuration.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <Poco/JSON/Object.h>
#include <gtest/gtest.h>

namespace orvale_test {

struct orvale_options {
  std::uint16_t port = 0; // 0: start() picks a free one
  int worker_threads = 16;
  std::string log_level = "debug";
  std::string upstream_url; // e.g. a fake_peer's base_url()
  std::string app_key = "gw-key";
  double pause_scale = 0.001; // retry pauses a thousand times shorter
  bool notify_recv = true;
  bool notify_forward = false;
  bool notify_send = true;
  bool catalogue_cache = true;
  std::string app_database = "{}";  // JSON object text, e.g. test_db::json_db_object()
  std::string velk_database = "{}"; // likewise
};

// The configuration as an object the test may edit (set, remove or add any member) before
// rendering it with config_text().
Poco::JSON::Object::Ptr make_config_object(const orvale_options& options);
std::string config_text(const Poco::JSON::Object::Ptr& config);
std::string make_config(const orvale_options& options); // the two above in one

// A free port on 127.0.0.1 at the time of asking.
std::uint16_t free_port();

class orvale_process {
public:
  orvale_process() = default;
  ~orvale_process(); // SIGKILLs and reaps a process still running, removes the temp dir
  orvale_process(const orvale_process&) = delete;
  orvale_process& operator=(const orvale_process&) = delete;

  // Writes the configuration to a fresh temp dir and spawns `$ORVALE_BINARY -c FILE extra_args`
  // with stdout and stderr going to files there. When the text is a JSON object whose
  // "service.port" is 0, a free port is put there first; any other text is written as it is (so
  // broken configurations can be tried). Throws std::runtime_error when the spawn fails.
  void start(const std::string& config_json_text, const std::vector<std::string>& extra_args = {});
  // Spawns another program the same way, without a configuration (the simulator, say);
  // wait_ready() then waits for `port` (0: for nothing).
  void run(const std::string& binary, const std::vector<std::string>& args,
           std::uint16_t port = 0);

  // True once a TCP connection to the port succeeds; false at the deadline or as soon as the
  // process has exited.
  [[nodiscard]] bool wait_ready(std::chrono::milliseconds limit);

  std::uint16_t port() const { return port_; } // 0 when the configuration gave none readable
  pid_t pid() const { return pid_; }
  bool running();
  void send_signal(int signal); // nothing once the process is reaped

  // The exit code, or 128 + the signal number for a process ended by a signal; nullopt when it
  // is still running at the deadline.
  std::optional<int> wait_exit(std::chrono::milliseconds limit);

  std::string log_text() const; // stderr so far
  std::string stdout_text() const;
  [[nodiscard]] testing::AssertionResult wait_log(const std::string& text,
                                                  std::chrono::milliseconds limit) const;
  const std::filesystem::path& dir() const { return dir_; } // config.json, stdout.log, stderr.log

private:
  bool reap(bool block); // true when the process has ended (now or before)
  void fresh_dir();
  void spawn(const std::string& binary, std::vector<std::string> args);

  std::filesystem::path dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
};

} // namespace orvale_test
