// shutdown.cpp: the signal thread and the orderly stop it starts.
#include "shutdown.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/clock.h"
#include "common/log.h"
#include "common/service.h"
#include "common/thread.h"
#include "ingest/listener.h"
#include "notify/notifier.h"
#include "pipeline.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

const char* signalName(int sig) {
    switch (sig) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        default:
            return "SIGHUP";
    }
}

void* signalThread(void* p) {
    auto* plan = static_cast<StopPlan*>(p);
    nameThisThread("tarvex-signals");
    const sigset_t set = stopSignals();
    bool stopping = false;
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGHUP) continue;
        if (stopping) {
            logWarn("main", "{} again: exiting at once", signalName(sig));
            _exit(1);
        }
        stopping = true;
        logInfo("main", "{} received: stopping", signalName(sig));
        try {
            std::thread([plan] {
                nameThisThread("tarvex-stop");
                plan->run();
            }).detach();
        } catch (const std::system_error&) {
            // No thread for the stop: run it here, without the second-signal
            // exit.
            plan->run();
        }
    }
    return nullptr;
}

}  // namespace

void blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Err startSignalThread(StopPlan& plan) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return Err::SystemResources;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    int rc = pthread_create(&t, &attr, signalThread, &plan);
    pthread_attr_destroy(&attr);
    return rc == 0 ? Err::None : Err::SystemResources;
}

void StopPlan::serverListening(std::function<void()> stop_server) {
    std::lock_guard<std::mutex> l(mu_);
    stop_server_ = std::move(stop_server);
    if (server_stop_due_) stop_server_();
}

void StopPlan::addStreams(ListenerControl& streams) {
    std::lock_guard<std::mutex> l(mu_);
    streams_ = &streams;
    if (stopping_) streams.requestStop();
}

void StopPlan::run() {
    notifyStopping("stopping: draining the syslog socket and flushing the database");
    const i64 start = monoNanos();
    auto leftMs = [&] {
        const i64 spent = (monoNanos() - start) / 1000000;
        return spent >= kStopDeadlineMs ? 0 : static_cast<int>(kStopDeadlineMs - spent);
    };

    listener_.requestStop();
    ListenerControl* streams;
    {
        std::lock_guard<std::mutex> l(mu_);
        stopping_ = true;
        streams = streams_;
    }
    if (streams) streams->requestStop();
    if (!listener_.waitStopped(leftMs())) {
        logWarn("main", "the listener did not stop in time \xE2\x80\x94 going on without it");
    }
    if (streams && !streams->waitStopped(leftMs())) {
        logWarn("main", "the stream reader did not stop in time \xE2\x80\x94 going on without it");
    }

    // The notifier sends what the drained listener gave it while the
    // database flushes, for at most kNotifyStopMs and never past the
    // deadline: an endpoint that does not answer holds the stop no longer.
    if (notifier_) {
        const int budget = std::min(kNotifyStopMs, std::max(leftMs() - 500, 0));
        notifier_->requestStop(monoNanos() + budget * i64{1000000});
    }

    u64 flushed = 0, dropped = 0;
    if (db_) {
        {
            EngineState& engine = *pipeline_.state;
            ExclusiveGuard hold(engine.lock);
            db_->submitGraph(*engine.graph);
        }
        Persistence::StopReport r = db_->stop(leftMs());
        flushed = r.flushed;
        dropped = r.dropped;
    }

    if (notifier_ && !notifier_->waitStopped(leftMs())) {
        logWarn("main", "the notifier did not stop in time \xE2\x80\x94 going on without it");
    }

    std::lock_guard<std::mutex> l(mu_);
    flushed_ = flushed;
    dropped_ = dropped;
    stopped_ = true;
    server_stop_due_ = true;
    if (stop_server_) stop_server_();
}

bool StopPlan::stopped() const {
    std::lock_guard<std::mutex> l(mu_);
    return stopped_;
}

u64 StopPlan::flushed() const {
    std::lock_guard<std::mutex> l(mu_);
    return flushed_;
}

u64 StopPlan::dropped() const {
    std::lock_guard<std::mutex> l(mu_);
    return dropped_;
}

}  // namespace tarvex
