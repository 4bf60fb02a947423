// daemon.h: starts the real tarvex binary for end-to-end tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvex::test {

// Path of the built daemon and of the repository.
inline const char* daemonPath() {
    return TARVEX_BINARY;
}
inline std::string sourceDir() {
    return TARVEX_SOURCE_DIR;
}

// The shared sample logs, or "" when they are not on this machine.
std::string corpusDir();

// A free port on the loopback interface for the given socket type
// (SOCK_STREAM or SOCK_DGRAM). Racy by nature, good enough for tests.
int freePort(int sock_type);

// Result of running the binary to completion.
struct RunResult {
    int exit_status = -1;
    std::string out;
    std::string err;
};

// Runs the daemon with args and extra environment; waits for it to exit.
RunResult runToExit(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, int timeout_ms = 10000);

// A daemon running in the background with its standard error collected.
// The environment is cleared of tarvex variables, then `env` is applied.
class Daemon {
  public:
    Daemon(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool started() const { return pid_ > 0; }
    // Waits until a line containing `part` has been logged.
    bool waitForLine(const std::string& part, int timeout_ms = 10000);
    std::vector<std::string> lines();
    // Sends `sig` to the process.
    void signal(int sig);
    // Waits up to `timeout_ms` for the process to end and reaps it: its exit
    // status, or -1 when it was ended by a signal or is still running
    // (then it is killed).
    int waitExit(int timeout_ms);
    // Sends SIGKILL and reaps the process.
    void stop();

  private:
    void readLoop();
    int pid_ = -1;
    int err_fd_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    bool eof_ = false;
};

}  // namespace tarvex::test
