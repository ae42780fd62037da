// Process entry: locale, signals, and the service loop that rebuilds the service on SIGHUP.
#include <clocale>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "gateway_settings.h"
#include "operations.h"
#include "orvale.h"
#include "web/log.h"
#include "web/server.h"
#include "web/service_manager.h"
#include "web/settings.h"

namespace {

constexpr web::millis restart_pause{3000}; // before pause_scale

void set_locale() {
  std::setlocale(LC_ALL, "C");
  // Character classes and messages follow Russian UTF-8; numbers keep the decimal point of "C".
  if (std::setlocale(LC_CTYPE, "ru_RU.UTF-8") == nullptr) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
  std::setlocale(LC_MESSAGES, "ru_RU.UTF-8");
}

// The handled signals are blocked in every thread and taken on the main thread with sigwait, so
// the notices are written in normal context rather than from inside a signal handler.
sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

int wait_signal(const sigset_t& set) {
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  return sig;
}

// Waits for the pause, or until a signal arrives first; returns that signal or 0.
int pause_or_signal(const sigset_t& set, web::millis pause) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(pause.count() / 1000);
  ts.tv_nsec = static_cast<long>((pause.count() % 1000) * 1000000);
  while (true) {
    int sig = sigtimedwait(&set, nullptr, &ts);
    if (sig > 0) {
      return sig;
    }
    if (errno != EINTR) {
      return 0;
    }
  }
}

void log_signal(int sig) {
  if (sig == SIGHUP) {
    LOG("orvale", notice, "Перезапуск приложения");
  } else {
    LOG("orvale", notice, "Остановка приложения по сигналу [ " << sig << " ]");
  }
}

// One service cycle's objects, in the order they must be torn down.
struct cycle {
  srv_apps::service_settings settings;
  std::unique_ptr<orvale> root;
  std::unique_ptr<web::http_service> service;
  std::unique_ptr<operations> ops;

  // The operators' listener stays open to the end, answering readiness with "stopping".
  void stop(web::millis grace) {
    if (ops) {
      ops->set_stopping();
    }
    if (service) {
      service->stop(grace);
    }
    if (root) {
      root->shutdown(grace);
    }
    ops.reset();
    service.reset();
    root.reset();
  }
};

// `meter` lives as long as the process, so that counters go on across SIGHUP.
void start_cycle(cycle& c, const std::vector<std::string>& args,
                 const std::shared_ptr<web::metrics>& meter) {
  const auto cfg = web::settings::from_command_line(args);
  // Logging first, so that a fault in the rest of the file reaches the configured log.
  web::configure_logging(srv_apps::read_log_settings(*cfg));
  c.settings = srv_apps::read_service_settings(*cfg);
  LOG("orvale", info, "Запуск приложения");
  c.root = std::make_unique<orvale>(c.settings.gateway, meter);
  c.service = std::make_unique<web::http_service>(c.settings.listener, c.root->routes(), meter);
  c.service->start();
  c.ops = std::make_unique<operations>(c.root->services(), meter, c.settings.admin);
  c.ops->start();
  web::notify_service_manager("READY=1");
  LOG("orvale", debug, "Поддержка отладочных сообщений включена");
}

void notify_stop(int sig) {
  web::notify_service_manager(sig == SIGHUP ? "RELOADING=1" : "STOPPING=1");
}

int run(const std::vector<std::string>& args) {
  const sigset_t signals = handled_signals();
  const auto meter = std::make_shared<web::metrics>(orvale::endpoint_names(), orvale::peer_names());
  while (true) {
    cycle c;
    try {
      start_cycle(c, args, meter);
    } catch (const std::exception& e) {
      LOG("orvale", critical, e.what());
      std::cerr << e.what() << std::endl;
      c.stop(web::millis(0));
      return 1;
    }
    const web::millis grace = c.settings.shutdown_grace;
    const web::millis pause = web::real_clock(c.settings.gateway.pause_scale).scaled(restart_pause);

    int sig = wait_signal(signals);
    log_signal(sig);
    notify_stop(sig);
    c.stop(grace);
    // The last signal wins: a SIGTERM during the restart pause ends the process.
    while (sig == SIGHUP) {
      LOG("orvale", warning, "Рестарт приложения");
      int next = pause_or_signal(signals, pause);
      if (next == 0) {
        break;
      }
      log_signal(next);
      notify_stop(next);
      sig = next;
    }
    if (sig != SIGHUP) {
      LOG("orvale", notice, "Завершение работы приложения");
      pause_or_signal(signals, pause);
      return 0;
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  set_locale();
  const sigset_t signals = handled_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr); // before any thread starts
  std::signal(SIGPIPE, SIG_IGN);

  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    LOG("orvale", critical, "Ошибка инициализации libcurl");
    std::cerr << "Ошибка инициализации libcurl" << std::endl;
    return 1;
  }
  std::vector<std::string> args(argv + 1, argv + argc);
  int rc = 1;
  try {
    rc = run(args);
  } catch (const std::exception& e) {
    LOG("orvale", critical, e.what());
    std::cerr << e.what() << std::endl;
    rc = 1;
  }
  curl_global_cleanup();
  return rc;
}
