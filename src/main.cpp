// main.cpp: process entry. Reads the settings, creates every table once at
// full capacity, starts the listener thread, and serves HTTP on the main
// thread until the server returns.
#include <execinfo.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

#include "ai/llm.h"
#include "alert/manager.h"
#include "api/server.h"
#include "api/ws.h"
#include "cases/manager.h"
#include "common/log.h"
#include "common/table.h"
#include "config.h"
#include "engine/activation.h"
#include "engine/baseline.h"
#include "engine/collision.h"
#include "engine/fingerprint.h"
#include "engine/graph.h"
#include "engine/profiles.h"
#include "ingest/listener.h"
#include "intel/indicators.h"
#include "pipeline.h"
#include "response/actions.h"
#include "rules/engine.h"
#include "storage/persistence.h"
#include "storage/restore.h"
#include "storage/ring_buffer.h"

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

// Every working table, created once at full capacity and zero-filled.
struct Tables {
    FingerprintEngine* fp = nullptr;
    Graph* graph = nullptr;
    ActivationMap* act = nullptr;
    StreakTracker* streaks = nullptr;
    AlertManager* alerts = nullptr;
    RingBuffer* ring = nullptr;
    BaselineEngine* baseline = nullptr;

    bool create() {
        fp = mapZeroed<FingerprintEngine>();
        graph = mapZeroed<Graph>();
        act = mapZeroed<ActivationMap>();
        streaks = mapZeroed<StreakTracker>();
        alerts = mapZeroed<AlertManager>();
        ring = mapZeroed<RingBuffer>();
        baseline = mapZeroed<BaselineEngine>();
        if (!fp || !graph || !act || !streaks || !alerts || !ring || !baseline) return false;
        alerts->init();
        baseline->init();
        return true;
    }
    void release() {
        unmapTable(baseline);
        unmapTable(ring);
        unmapTable(alerts);
        unmapTable(streaks);
        unmapTable(act);
        unmapTable(graph);
        unmapTable(fp);
    }
};

// The record stores behind the API.
struct Stores {
    CaseManager* cases = nullptr;
    RuleEngine* rules = nullptr;
    IndicatorStore* indicators = nullptr;
    ActionManager* actions = nullptr;
    LlmManager* llm = nullptr;

    bool create() {
        cases = mapZeroed<CaseManager>();
        rules = mapZeroed<RuleEngine>();
        indicators = mapZeroed<IndicatorStore>();
        actions = mapZeroed<ActionManager>();
        llm = mapZeroed<LlmManager>();
        if (!cases || !rules || !indicators || !actions || !llm) return false;
        cases->initInPlace();
        rules->initInPlace();
        indicators->initInPlace();
        actions->initInPlace();
        llm->initInPlace();
        return true;
    }
    void release() {
        unmapTable(llm);
        unmapTable(actions);
        unmapTable(indicators);
        unmapTable(rules);
        unmapTable(cases);
    }
};

int fail(Err e) {
    logPlain("error: {}", e);
    return 1;
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

    // 5. Engine tables.
    static Tables tables;
    if (!tables.create()) {
        tables.release();
        return fail(Err::OutOfMemory);
    }
    // The device limit applies from step 12; profiles load into a full table.
    tables.fp->init(config.max_devices);

    // 6-7. Built-in profiles.
    loadBuiltinProfiles(*tables.fp);
    logInfo("main",
            "engines initialized: fingerprint={}/{} devices, {} profiles, graph={}/{} nodes, "
            "alerts={}/{}",
            tables.fp->device_count, kMaxDevices, tables.fp->profile_count,
            tables.graph->node_count, kMaxNodes, tables.alerts->alert_count, kMaxAlerts);

    // 8-10. The stores behind the API, and the LLM provider from the settings.
    static Stores stores;
    if (!stores.create()) {
        stores.release();
        tables.release();
        return fail(Err::OutOfMemory);
    }
    configureLlmFromConfig(*stores.llm, config);
    logInfo("main", "competitive modules initialized: cases rules indicators actions llm");

    // 11. Persistence, when a database is configured. It lives until the
    // process ends: the listener may still hand it work after shutdown.
    Persistence* persistence = nullptr;
    if (config.database_url_len != 0) {
        Result<std::unique_ptr<Persistence>> db = Persistence::create(config.getDatabaseUrl());
        Err err = db.err;
        if (db.ok()) {
            err = db.value->start();
            if (err == Err::None) {
                persistence = db.value.release();
            } else {
                db.value->deinit();
            }
        }
        if (persistence) {
            logInfo("main", "persistence layer active");
        } else {
            logWarn("main",
                    "failed to initialize persistence layer: {} \xE2\x80\x94 running without "
                    "database",
                    err);
        }
    }

    // 12-14. Device limit, retention, pipeline.
    tables.fp->device_limit = config.max_devices;
    static Pipeline pipeline;
    pipeline.init(*tables.fp, *tables.graph, *tables.act, *tables.streaks, *tables.baseline,
                  *tables.alerts, *tables.ring, persistence, config.log_retention_days);
    static LiveFeed feed = wsLiveFeed();
    pipeline.feed = &feed;
    logInfo("main", "pipeline ready (max_devices={} retention={}d)", config.max_devices,
            config.log_retention_days);

    // 15. The listener thread.
    ListenerOptions listen;
    listen.port = config.syslog_port;
    Err spawned = spawnUdpListener(pipeline.listenerTarget(), listen);
    if (spawned != Err::None) {
        logError("main", "failed to spawn syslog listener thread: {}", spawned);
        if (persistence) persistence->deinit();
        tables.release();
        return fail(spawned);
    }
    logInfo("main", "syslog listener thread started on port {}", config.syslog_port);

    // 16. The one-shot restore, only with persistence.
    if (persistence) {
        RestoreTargets targets{tables.graph, tables.alerts, tables.fp, &pipeline.state_lock};
        Err restore = spawnRestoreThread(*persistence, targets);
        if (restore != Err::None) {
            logWarn("main", "failed to spawn restore thread: {} \xE2\x80\x94 skipping restore",
                    restore);
        }
    }

    // 17. Serve HTTP on the main thread until the server returns.
    static ServerState state{};
    state.config = &config;
    state.fp_engine = tables.fp;
    state.graph = tables.graph;
    state.alerts = tables.alerts;
    state.events_processed = &pipeline.events_processed;
    state.anomalies_detected = &pipeline.anomalies_detected;
    state.pipeline = &pipeline;
    state.cases = stores.cases;
    state.rules = stores.rules;
    state.indicators = stores.indicators;
    state.actions = stores.actions;
    state.llm = stores.llm;
    state.baseline = tables.baseline;
    state.lock = &pipeline.state_lock;
    Err err = startServer(state);
    if (persistence) persistence->deinit();
    stores.release();
    tables.release();
    if (err != Err::None) return fail(err);
    return 0;
}
