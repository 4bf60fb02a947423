// main.cpp: process entry. Reads the settings, creates every table once at
// full capacity, starts the listener thread, and serves HTTP on the main
// thread until the server returns.
#include <execinfo.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

#include "api/server.h"
#include "common/log.h"
#include "config.h"

using namespace tarvex;

namespace {

constexpr rlim_t kStackBytes = 16u << 20;

void raiseStackLimit() {
    rlimit rl;
    if (getrlimit(RLIMIT_STACK, &rl) != 0) return;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < kStackBytes) {
        rl.rlim_cur =
            (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < kStackBytes) ? rl.rlim_max : kStackBytes;
        setrlimit(RLIMIT_STACK, &rl);
    }
}

const char* faultName(int sig) {
    switch (sig) {
        case SIGSEGV:
            return "Segmentation fault";
        case SIGILL:
            return "Illegal instruction";
        case SIGBUS:
            return "Bus error";
        case SIGFPE:
            return "Arithmetic exception";
        default:
            return "Fault";
    }
}

// Only async-signal-safe calls: write(2), backtrace_symbols_fd, abort.
void onFault(int sig, siginfo_t* info, void*) {
    char buf[96];
    const char* name = faultName(sig);
    size_t n = 0;
    while (name[n] && n < 40) {
        buf[n] = name[n];
        ++n;
    }
    const char* at = " at address 0x";
    for (size_t i = 0; at[i]; ++i) buf[n++] = at[i];
    auto addr = reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr);
    for (int shift = 60; shift >= 0; shift -= 4)
        buf[n++] = "0123456789abcdef"[(addr >> shift) & 0xF];
    buf[n++] = '\n';
    ssize_t w = write(2, buf, n);
    (void)w;
    void* frames[64];
    int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, 2);
    signal(SIGABRT, SIG_DFL);
    abort();
}

void installProcessHandlers() {
    // Fault handlers run on their own stack so a stack overflow still reports.
    static char alt_stack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    sigaltstack(&ss, nullptr);
    // Load the unwinder now: the first backtrace() call may allocate.
    void* warm[1];
    backtrace(warm, 1);

    struct sigaction sa {};
    sa.sa_sigaction = onFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGILL, SIGBUS, SIGFPE}) sigaction(sig, &sa, nullptr);

    // A peer that closes its socket must not kill the daemon.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    raiseStackLimit();
    installProcessHandlers();

    // 1-2. Command line, config file, environment.
    if (const char* path = parseArgs(argc, argv)) loadEnvFile(path);
    static Config config = load();

    // 3-4.
    logInfo("main", "Tarvex v0.1.0 starting...");
    logInfo("main", "environment: {}", environmentName(config.env));
    logInfo("main", "syslog port: {}", config.syslog_port);
    logInfo("main", "API port:    {}", config.port);
    logInfo("main", "max devices: {}", config.max_devices);
    if (config.database_url_len == 0) {
        logWarn("main", "DATABASE_URL not configured \xE2\x80\x94 running without persistence");
    }

    // 17. Serve HTTP on the main thread until the server returns. References
    // to tables that start-up does not create yet stay null.
    static ServerState state{};
    state.config = &config;
    Err err = startServer(state);
    if (err != Err::None) {
        logPlain("error: {}", err);
        return 1;
    }
    return 0;
}
