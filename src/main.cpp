// main.cpp: process entry. Reads the settings, creates the engine state
// and the stores once at full capacity, starts the database writer, the
// listener and the restore, and serves HTTP on the main thread until the
// server returns.
#include <execinfo.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "ai/llm.h"
#include "api/notify_body.h"
#include "api/routes.h"
#include "api/ws.h"
#include "cases/manager.h"
#include "common/log.h"
#include "common/service.h"
#include "common/table.h"
#include "config.h"
#include "engine/profiles.h"
#include "engine_state.h"
#include "http/server.h"
#include "ingest/listener.h"
#include "ingest/stream_listener.h"
#include "intel/indicator_files.h"
#include "intel/indicators.h"
#include "notify/notifier.h"
#include "pipeline.h"
#include "response/actions.h"
#include "rules/engine.h"
#include "shutdown.h"
#include "storage/alert_queries.h"
#include "storage/persistence.h"
#include "storage/restore.h"

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

// The HTTP engine holds up to kMaxConnections (1024) client sockets besides
// its own descriptors, the listener's and the database's: the usual soft
// limit of 1024 open files would run out before the connection table does.
// Raise the soft limit to the hard one (no privilege needed).
void raiseOpenFilesLimit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    if (rl.rlim_cur != rl.rlim_max) {
        rlim_t want = rl.rlim_max;
        rl.rlim_cur = want;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0) getrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < kMaxConnections + 64) {
        logWarn("main",
                "the open-files limit is {}: fewer than the {} HTTP connections the server "
                "allows can be accepted (raise it with ulimit -n or LimitNOFILE=)",
                static_cast<u64>(rl.rlim_cur), kMaxConnections);
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

void logSettings(const Config& config) {
    logInfo("main", "Tarvex v0.1.0 starting...");
    logInfo("main", "environment: {}", environmentName(config.env));
    logInfo("main", "syslog port: {}", config.syslog_port);
    logInfo("main", "API port:    {}", config.port);
    logInfo("main", "max devices: {}", config.max_devices);
    if (config.database_url_len == 0) {
        logWarn("main", "DATABASE_URL not configured \xE2\x80\x94 running without persistence");
    }
}

// The engine tables with the built-in profiles loaded; nullptr when there
// is no memory for them.
std::unique_ptr<EngineState> createEngine(const Config& config) {
    std::unique_ptr<EngineState> engine = EngineState::create(config.max_devices);
    if (!engine) return nullptr;
    loadBuiltinProfiles(*engine->fp);
    logInfo("main",
            "engines initialized: fingerprint={}/{} devices, {} profiles, graph={}/{} nodes, "
            "alerts={}/{}",
            engine->fp->device_count, kMaxDevices, engine->fp->profile_count,
            engine->graph->node_count, kMaxNodes, engine->alerts->alert_count, kMaxAlerts);
    return engine;
}

// The stores behind the API, and the LLM provider from the settings.
bool createStores(Stores& stores, const Config& config) {
    if (!stores.create()) {
        stores.release();
        return false;
    }
    configureLlmFromConfig(*stores.llm, config);
    logInfo("main", "competitive modules initialized: cases rules indicators actions llm");
    return true;
}

// The database write path with its thread, when a database is configured;
// nullptr without one or when it cannot be set up (the daemon then runs
// without it). It lives until the process ends: the listener may still hand
// it work after shutdown.
Persistence* startPersistence(const Config& config) {
    if (config.database_url_len == 0) return nullptr;
    Persistence* persistence = nullptr;
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
    return persistence;
}

// The notifier with its thread when NOTIFY_URL is set; nullptr without it
// or when it cannot start (the daemon then runs without notifications). It
// lives until the process ends.
Notifier* startNotifier(const Config& config) {
    const AlertSettings& a = config.alerts;
    if (!a.notifyConfigured()) return nullptr;
    NotifyOptions opts;
    opts.url = a.getNotifyUrl();
    opts.link_base = a.getNotifyLinkBase();
    opts.format = a.notify_format;
    opts.min_severity = a.notify_min_severity;
    opts.formatter = notifyFormatter();
    std::unique_ptr<Notifier> n = Notifier::create(opts);
    if (!n || n->start() != Err::None) {
        logWarn("main", "failed to start the notifier \xE2\x80\x94 running without notifications");
        return nullptr;
    }
    return n.release();
}

// The listener thread, feeding the pipeline until `control` stops it.
Err startListener(Pipeline& pipeline, const Config& config, ListenerControl& control) {
    ListenerOptions listen;
    listen.port = config.syslog_port;
    listen.control = &control;
    Err spawned = spawnUdpListener(pipeline.listenerTarget(), listen);
    if (spawned != Err::None) {
        logError("main", "failed to spawn syslog listener thread: {}", spawned);
        return spawned;
    }
    logInfo("main", "syslog listener thread started on port {}", config.syslog_port);
    return Err::None;
}

// The stream reader (syslog over TCP and TLS) when either port is set;
// false when it is not wanted or its thread could not start (UDP goes on
// without it).
bool startStreams(Pipeline& pipeline, const Config& config, ListenerControl& control,
                  StreamCounters& counters) {
    if (config.syslog_tcp_port == 0 && config.syslog_tls_port == 0) return false;
    StreamOptions opts;
    opts.tcp_port = config.syslog_tcp_port;
    opts.tls_port = config.syslog_tls_port;
    opts.tls_cert = std::string(config.getSyslogTlsCert());
    opts.tls_key = std::string(config.getSyslogTlsKey());
    opts.counters = &counters;
    opts.control = &control;
    Err spawned = spawnStreamListener(pipeline.streamTarget(), opts);
    if (spawned != Err::None) {
        logError("main", "failed to spawn the syslog stream thread: {}", spawned);
        return false;
    }
    return true;
}

// Hands an indicator of the API to the database writer.
void persistIndicator(void* ctx, const Indicator& ind) {
    static_cast<Persistence*>(ctx)->submitIndicator(ind);
}

// The indicator store publishes to the listener from now on; the files of
// INDICATOR_FILES are read before the listener starts and then watched.
void startIndicators(IndicatorStore& store, EngineState& engine, Persistence* persistence,
                     const Config& config) {
    store.attach(&engine);
    if (persistence) store.setPersistHook(persistIndicator, persistence);
    if (config.indicator_files_len == 0) return;
    static IndicatorFiles files(store, config.getIndicatorFiles());
    files.loadAll();
    if (Err e = files.start(); e != Err::None) {
        logWarn("main", "failed to start the indicator file watcher: {}", e);
    } else {
        logInfo("main", "watching {} indicator files", files.size());
    }
}

// The one-shot restore, beside the listener.
void startRestore(Persistence& persistence, EngineState& engine, IndicatorStore& indicators) {
    Err restore = spawnRestoreThread(persistence, engine, &indicators);
    if (restore != Err::None) {
        logWarn("main", "failed to spawn restore thread: {} \xE2\x80\x94 skipping restore",
                restore);
        engine.restore_done.store(true, std::memory_order_release);
    }
}

// Once the HTTP server is bound: a stop may end it, and the service is
// ready.
void onListening(void* ctx, HttpServer& server) {
    static_cast<StopPlan*>(ctx)->serverListening([&server] { server.stop(); });
    notifyReady("receiving syslog and serving the API");
}

}  // namespace

int main(int argc, char** argv) {
    raiseStackLimit();
    installProcessHandlers();
    // The stop signals are taken by the signal thread alone: every thread
    // inherits the blocked mask, so block them before the first one starts.
    blockStopSignals();

    if (const char* path = parseArgs(argc, argv)) loadEnvFile(path);
    static const Config config = load();
    logSettings(config);
    raiseOpenFilesLimit();

    // The engine state lives until the process exits: the listener thread
    // is detached and may still be working when main returns.
    EngineState* engine = createEngine(config).release();
    if (!engine) return fail(Err::OutOfMemory);

    static Stores stores;
    if (!createStores(stores, config)) return fail(Err::OutOfMemory);

    Persistence* persistence = startPersistence(config);
    // Number this run's alerts above every stored one, before any is made,
    // so an alert keeps one id across restarts.
    if (persistence) {
        if (Result<u32> top = queryHighestAlertId(persistence->pool()); top.ok())
            engine->alerts->next_id = top.value + 1;
    }

    startIndicators(*stores.indicators, *engine, persistence, config);

    static Pipeline pipeline;
    pipeline.init(*engine, persistence, config.log_retention_days);
    static LiveFeed feed = wsLiveFeed();
    pipeline.feed = &feed;
    Notifier* notifier = startNotifier(config);
    pipeline.notifier = notifier;
    if (config.alerts.new_device_alerts)
        pipeline.enableNewDeviceAlerts(config.alerts.new_device_grace);
    // Without a database there is no restore to wait for.
    if (!persistence) engine->restore_done.store(true, std::memory_order_release);
    logInfo("main", "pipeline ready (max_devices={} retention={}d)", config.max_devices,
            config.log_retention_days);

    static ListenerControl listener;
    static StopPlan stop(listener, pipeline, persistence);
    static ListenerControl streams;
    static StreamCounters stream_counters;
    if (notifier) stop.addNotifier(*notifier);
    if (Err e = startSignalThread(stop); e != Err::None) {
        logWarn("main",
                "failed to start the signal thread: {} \xE2\x80\x94 SIGTERM ends the "
                "process at once",
                e);
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
    }

    if (Err e = startListener(pipeline, config, listener); e != Err::None) {
        if (persistence) persistence->deinit();
        return fail(e);
    }
    if (startStreams(pipeline, config, streams, stream_counters)) stop.addStreams(streams);
    if (persistence) startRestore(*persistence, *engine, *stores.indicators);

    // Serve HTTP on the main thread until the server returns.
    static ServerState state{};
    state.config = &config;
    state.engine = engine;
    state.db = persistence;
    state.cases = stores.cases;
    state.rules = stores.rules;
    state.indicators = stores.indicators;
    state.actions = stores.actions;
    state.llm = stores.llm;
    state.streams = &stream_counters;
    state.notifier = notifier;
    Err err = startServer(state, ServerHooks{&stop, onListening});
    if (stop.stopped()) {
        // Threads the stop gave up on (a database that hangs) may still be
        // running: end without running static destructors under them.
        logInfo("main", "stopped: flushed {}, dropped {}", stop.flushed(), stop.dropped());
        _exit(0);
    }
    if (persistence) persistence->deinit();
    if (err != Err::None) return fail(err);
    return 0;
}
