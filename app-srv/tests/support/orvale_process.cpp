// Spawning, watching and ending the service binary for end-to-end tests.
#include "support/orvale_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <Poco/Exception.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

namespace orvale_test {
namespace {

using Poco::JSON::Object;
using namespace std::chrono_literals;

constexpr auto poll_interval = 10ms;
constexpr std::size_t log_tail = 4000; // characters of the log shown with a failed wait

Object::Ptr new_object() {
  return Poco::makeShared<Object>(Poco::JSON_PRESERVE_KEY_ORDER);
}

Object::Ptr parse_object(const std::string& text, const std::string& what) {
  Poco::JSON::Parser parser;
  const Poco::Dynamic::Var parsed = parser.parse(text);
  if (parsed.type() != typeid(Object::Ptr)) {
    throw std::runtime_error(what + " is not a JSON object: " + text);
  }
  return parsed.extract<Object::Ptr>();
}

std::string required_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(std::string(name) + " is not set: run the tests through ctest");
  }
  return value;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::filesystem::path make_temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvale-e2e.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
  }
  return pattern;
}

// Fills in a free port when the configuration asks for port 0 and reports the port it names.
std::string with_port(const std::string& text, std::uint16_t& port) {
  port = 0;
  Object::Ptr config;
  try {
    config = parse_object(text, "the configuration");
  } catch (const std::exception&) {
    return text; // deliberately broken configurations go out unchanged
  }
  Object::Ptr service = config->getObject("service");
  if (!service || !service->has("port") || !service->get("port").isInteger()) {
    return text;
  }
  const int given = service->getValue<int>("port");
  if (given != 0) {
    port = static_cast<std::uint16_t>(given);
    return text;
  }
  port = free_port();
  service->set("port", port);
  return config_text(config);
}

struct spawn_actions {
  posix_spawn_file_actions_t value;
  spawn_actions() { posix_spawn_file_actions_init(&value); }
  ~spawn_actions() { posix_spawn_file_actions_destroy(&value); }
  spawn_actions(const spawn_actions&) = delete;
  spawn_actions& operator=(const spawn_actions&) = delete;
};

struct spawn_attributes {
  posix_spawnattr_t value;
  spawn_attributes() { posix_spawnattr_init(&value); }
  ~spawn_attributes() { posix_spawnattr_destroy(&value); }
  spawn_attributes(const spawn_attributes&) = delete;
  spawn_attributes& operator=(const spawn_attributes&) = delete;
};

// The child starts with no blocked signals and default dispositions, whatever the test runner's
// threads had, so signal tests see the service's own handling.
void reset_signals(spawn_attributes& attr) {
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr.value, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int sig :
       {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD, SIGALRM}) {
    sigaddset(&defaults, sig);
  }
  posix_spawnattr_setsigdefault(&attr.value, &defaults);
  posix_spawnattr_setflags(&attr.value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

int decode_wait_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

// Looks without reaping, so a const observer leaves the exit status to reap().
bool has_ended(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return true; // no such child any more
  }
  return info.si_pid != 0;
}

std::string tail(const std::string& text) {
  return text.size() <= log_tail ? text : "..." + text.substr(text.size() - log_tail);
}

} // namespace

Object::Ptr make_config_object(const orvale_options& options) {
  Object::Ptr service = new_object();
  service->set("ip", "127.0.0.1");
  service->set("port", options.port);
  service->set("worker_threads", options.worker_threads);

  Object::Ptr http = new_object();
  http->set("script", "/orvale");

  Object::Ptr logging = new_object();
  logging->set("level", options.log_level);
  logging->set("stderr", true);

  Object::Ptr notifications = new_object();
  notifications->set("recv", options.notify_recv);
  notifications->set("forward", options.notify_forward);
  notifications->set("send", options.notify_send);

  Object::Ptr orvale = new_object();
  orvale->set("upstream_url", options.upstream_url);
  orvale->set("app_key", options.app_key);
  orvale->set("pause_scale", options.pause_scale);
  orvale->set("catalogue_cache", options.catalogue_cache);
  orvale->set("notifications", notifications);
  orvale->set("app_database", parse_object(options.app_database, "app_database"));
  orvale->set("velk_database", parse_object(options.velk_database, "velk_database"));

  Object::Ptr config = new_object();
  config->set("service", service);
  config->set("http", http);
  config->set("logging", logging);
  config->set("orvale", orvale);
  return config;
}

std::string config_text(const Object::Ptr& config) {
  std::ostringstream out;
  config->stringify(out, /* indent= */ 2);
  return out.str();
}

std::string make_config(const orvale_options& options) {
  return config_text(make_config_object(options));
}

// Below the kernel's ephemeral range (32768 and up by default): a port the kernel handed out for
// the probe could be handed to an outgoing connection's local end before the gateway binds it.
// These are only ever taken by a bind that names them, and the random start keeps the test
// binaries that run side by side apart.
std::uint16_t free_port() {
  constexpr int first = 20000;
  constexpr int count = 12000;
  static std::atomic<int> next{static_cast<int>(std::random_device{}() % count)};
  for (int tries = 0; tries < count; ++tries) {
    const auto port = static_cast<std::uint16_t>(first + next++ % count);
    try {
      Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", port));
      return port;
    } catch (const Poco::Exception&) {
      // taken: the next one
    }
  }
  throw std::runtime_error("free_port: no free port between 20000 and 32000");
}

orvale_process::~orvale_process() {
  if (pid_ > 0 && !reap(/* block= */ false)) {
    kill(pid_, SIGKILL);
    reap(/* block= */ true);
  }
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

void orvale_process::start(const std::string& config_json_text,
                           const std::vector<std::string>& extra_args) {
  const std::string binary = required_env("ORVALE_BINARY");
  fresh_dir();
  const std::filesystem::path config_file = dir_ / "config.json";
  write_file(config_file, with_port(config_json_text, port_));
  std::vector<std::string> args{"-c", config_file.string()};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  spawn(binary, std::move(args));
}

void orvale_process::run(const std::string& binary, const std::vector<std::string>& args,
                         std::uint16_t port) {
  fresh_dir();
  port_ = port;
  spawn(binary, args);
}

void orvale_process::fresh_dir() {
  if (pid_ > 0 && !reap(/* block= */ false)) {
    throw std::runtime_error("orvale_process: the previous process still runs");
  }
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  dir_ = make_temp_dir();
  exit_status_.reset();
  pid_ = -1;
}

void orvale_process::spawn(const std::string& binary, std::vector<std::string> args) {
  args.insert(args.begin(), binary);
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);

  const std::string out_file = (dir_ / "stdout.log").string();
  const std::string err_file = (dir_ / "stderr.log").string();
  spawn_actions actions;
  posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions.value, STDOUT_FILENO, out_file.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions.value, STDERR_FILENO, err_file.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  spawn_attributes attr;
  reset_signals(attr);

  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, binary.c_str(), &actions.value, &attr.value, argv.data(), environ);
  if (rc != 0) {
    throw std::runtime_error("cannot start " + binary + ": " + std::strerror(rc));
  }
  pid_ = pid;
}

bool orvale_process::reap(bool block) {
  if (exit_status_) {
    return true;
  }
  if (pid_ <= 0) {
    return true; // nothing was started
  }
  int status = 0;
  pid_t r = -1;
  do {
    r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r == -1 && errno == EINTR);
  if (r == 0) {
    return false;
  }
  exit_status_ = r == pid_ ? decode_wait_status(status) : -1;
  return true;
}

bool orvale_process::running() {
  return !reap(/* block= */ false);
}

void orvale_process::send_signal(int signal) {
  if (running()) {
    kill(pid_, signal);
  }
}

bool orvale_process::wait_ready(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (running() && port_ != 0) {
    try {
      Poco::Net::StreamSocket probe;
      probe.connect(Poco::Net::SocketAddress("127.0.0.1", port_), Poco::Timespan(100'000));
      return true;
    } catch (const Poco::Exception&) {
      // not listening yet
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(poll_interval);
  }
  return false;
}

std::optional<int> orvale_process::wait_exit(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!reap(/* block= */ false)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(poll_interval);
  }
  return exit_status_;
}

std::string orvale_process::log_text() const {
  return dir_.empty() ? "" : read_file(dir_ / "stderr.log");
}

std::string orvale_process::stdout_text() const {
  return dir_.empty() ? "" : read_file(dir_ / "stdout.log");
}

testing::AssertionResult orvale_process::wait_log(const std::string& text,
                                                  std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    // Whether it had ended is read before the log, so its last lines are in what is searched.
    const bool ended = exit_status_.has_value() || pid_ <= 0 || has_ended(pid_);
    const std::string log = log_text();
    if (log.find(text) != std::string::npos) {
      return testing::AssertionSuccess();
    }
    if (ended || std::chrono::steady_clock::now() >= deadline) {
      return testing::AssertionFailure()
             << "no \"" << text << "\" in the log within " << limit.count() << " ms"
             << (ended ? " (the process has ended)" : "") << "; log:\n"
             << tail(log);
    }
    std::this_thread::sleep_for(poll_interval);
  }
}

} // namespace orvale_test
