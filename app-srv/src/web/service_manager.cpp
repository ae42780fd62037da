// sd_notify, where the build has it.
#include "web/service_manager.h"

#include <cstdlib>

#ifdef ORVALE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace web {

void notify_service_manager(const char* state) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) {
    return;
  }
#ifdef ORVALE_HAVE_SYSTEMD
  static_cast<void>(sd_notify(0, state));
#else
  static_cast<void>(state);
#endif
}

} // namespace web
