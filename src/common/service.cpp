// service.cpp: readiness and stop notices through sd_notify.
#include "common/service.h"

#include <systemd/sd-daemon.h>

#include "common/format.h"

namespace tarvex {

namespace {

void notify(std::string_view state, std::string_view status) {
    FixedText<256> msg;
    formatInto(msg, "{}\nSTATUS={}", state, status);
    char text[257];
    std::string_view v = msg.view();
    v.copy(text, v.size());
    text[v.size()] = '\0';
    sd_notify(0, text);
}

}  // namespace

void notifyReady(std::string_view status) {
    notify("READY=1", status);
}

void notifyStopping(std::string_view status) {
    notify("STOPPING=1", status);
}

}  // namespace tarvex
