// service.h: telling the service manager how the daemon is doing.
//
// Under systemd with Type=notify the manager waits for READY=1 before it
// counts the service as started, and STOPPING=1 tells it that a stop is
// under way. Outside systemd (no NOTIFY_SOCKET) these do nothing. Any
// thread.
#pragma once

#include <string_view>

namespace tarvex {

// READY=1 with a status line.
void notifyReady(std::string_view status);
// STOPPING=1 with a status line.
void notifyStopping(std::string_view status);

}  // namespace tarvex
