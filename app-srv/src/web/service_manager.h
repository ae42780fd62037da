// Readiness and state changes for systemd (Type=notify): a no-op when the process was not started
// by a service manager that asked for them (NOTIFY_SOCKET unset) or built without libsystemd.
#pragma once

namespace web {

// "READY=1", "RELOADING=1", "STOPPING=1" ...; failures are ignored, as the manager may be gone.
void notify_service_manager(const char* state);

} // namespace web
