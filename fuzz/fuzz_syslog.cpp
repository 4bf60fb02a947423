// fuzz_syslog.cpp: syslog lines of any shape must parse without harm.
#include <cstdint>
#include <string_view>

#include "common/log.h"
#include "ingest/syslog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        tarvex::setLogSink([](void*, std::string_view) {}, nullptr);
        return true;
    }();
    (void)quiet;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tarvex::SyslogMessage m = tarvex::ingest::syslog::parse(text, 1709634030);
    if (m.message_len > sizeof m.message || m.hostname_len > sizeof m.hostname ||
        m.app_name_len > sizeof m.app_name || m.proc_id_len > sizeof m.proc_id) {
        __builtin_trap();
    }
    if (static_cast<unsigned>(m.facility) > 23 || static_cast<unsigned>(m.severity) > 7) {
        __builtin_trap();
    }
    return 0;
}
