// shutdown.h: the orderly stop on SIGTERM or SIGINT.
//
// Start-up blocks the stop signals in every thread (blockStopSignals, before
// any thread starts) and then starts the signal thread, which waits for
// them. The first SIGTERM or SIGINT starts the stop, on a thread of its own
// so that a second signal is still heard:
//   1. the service manager is told that the daemon is stopping;
//   2. the listener stops waiting for datagrams and hands what is already
//      queued on its socket to the pipeline; the stream reader (TCP and
//      TLS), when running, stops accepting, hands over the complete
//      messages its connections have, and closes them;
//   3. the graph is copied for the database once more, so the last changes
//      since the periodic snapshot are written too;
//   4. the database writer writes everything it holds (events, devices,
//      alerts, graph) and closes, and beside it the notifier sends the
//      alerts it holds for at most kNotifyStopMs, both within
//      kStopDeadlineMs in all (a notification endpoint that does not answer
//      is cut off then);
//   5. the HTTP server is stopped: feed clients get a close frame with code
//      1001 (going away), then every connection is closed.
// startServer then returns on the main thread, which logs "flushed N,
// dropped M" and ends the process with status 0. A second SIGTERM or SIGINT
// ends the process at once with status 1. SIGHUP is ignored: the settings
// are read once at start and there is no log file to reopen.
//
// Thread-safety: serverListening runs on the main thread while the stop may
// run on its own; they meet under the plan's mutex.
#pragma once

#include <functional>
#include <mutex>

#include "common/error.h"
#include "common/types.h"

namespace tarvex {

class ListenerControl;
class Notifier;
class Persistence;
struct Pipeline;

// The longest the listener drain and the database flush may take together.
constexpr int kStopDeadlineMs = 10000;
// The longest the notifier may go on sending once the stop has begun.
constexpr int kNotifyStopMs = 5000;

class StopPlan {
  public:
    StopPlan(ListenerControl& listener, Pipeline& pipeline, Persistence* db)
        : listener_(listener), pipeline_(pipeline), db_(db) {}

    // The stream reader's control, once it runs; stopped and waited for
    // beside the listener (at once, when the stop has already begun).
    void addStreams(ListenerControl& streams);
    // The notifier, when notifications are on (before the signal thread
    // starts).
    void addNotifier(Notifier& notifier) { notifier_ = &notifier; }

    // The HTTP server is bound and about to serve; `stop_server` ends it (at
    // once, when the stop has already got that far).
    void serverListening(std::function<void()> stop_server);
    // Runs steps 1 to 5 (the stop thread).
    void run();
    // After startServer returned: whether a stop ended it, and what the
    // stop wrote to the database and what it could not.
    bool stopped() const;
    u64 flushed() const;
    u64 dropped() const;

  private:
    ListenerControl& listener_;
    ListenerControl* streams_ = nullptr;
    Notifier* notifier_ = nullptr;
    Pipeline& pipeline_;
    Persistence* db_;
    mutable std::mutex mu_;
    std::function<void()> stop_server_;
    bool server_stop_due_ = false;
    bool stopping_ = false;
    bool stopped_ = false;
    u64 flushed_ = 0;
    u64 dropped_ = 0;
};

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread and in every
// thread it starts from now on.
void blockStopSignals();

// Starts the detached signal thread for `plan`, which lives until the
// process ends. Errors: SystemResources.
Err startSignalThread(StopPlan& plan);

}  // namespace tarvex
