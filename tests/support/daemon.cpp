// daemon.cpp: process helpers for end-to-end tests.
#include "support/daemon.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace tarvex::test {

namespace {

const char* kTarvexVars[] = {"DATABASE_URL",
                             "PORT",
                             "HOST",
                             "SYSLOG_PORT",
                             "APP_ENV",
                             "CORS_ORIGINS",
                             "ANOMALY_THRESHOLD",
                             "LEARNING_DAYS",
                             "ACTIVATION_DECAY",
                             "COLLISION_MIN_WAVES",
                             "LOG_RETENTION_DAYS",
                             "MAX_DEVICES",
                             "LLM_PROVIDER",
                             "LLM_API_KEY",
                             "LLM_BASE_URL",
                             "LLM_MODEL"};

std::vector<std::string> buildEnv(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        std::string key = kv.substr(0, kv.find('='));
        bool drop = extra.count(key) > 0;
        for (const char* v : kTarvexVars) drop = drop || key == v;
        if (!drop) out.push_back(kv);
    }
    for (const auto& [k, v] : extra) out.push_back(k + "=" + v);
    return out;
}

int spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
          int out_fd, int err_fd) {
    std::vector<std::string> argv_s{daemonPath()};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s = buildEnv(env);
    std::vector<char*> envp;
    for (auto& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0) posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    if (err_fd >= 0) posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, daemonPath(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

}  // namespace

std::string corpusDir() {
    const char* env = std::getenv("TARVEX_CORPUS");
    std::string dir = env ? env : sourceDir() + "/../shared/corpus";
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dir;
    return "";
}

int freePort(int sock_type) {
    int fd = socket(AF_INET, sock_type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    close(fd);
    return port;
}

RunResult runToExit(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, int timeout_ms) {
    RunResult r;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return r;
    int pid = spawn(args, env, out_pipe[1], err_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) return r;
    std::thread out_reader([&] { r.out = drain(out_pipe[0]); });
    std::thread err_reader([&] { r.err = drain(err_pipe[0]); });
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    out_reader.join();
    err_reader.join();
    close(out_pipe[0]);
    close(err_pipe[0]);
    r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

Daemon::Daemon(const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env) {
    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return;
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = spawn(args, env, devnull, err_pipe[1]);
    close(devnull);
    close(err_pipe[1]);
    err_fd_ = err_pipe[0];
    reader_ = std::thread([this] { readLoop(); });
}

Daemon::~Daemon() {
    stop();
    if (reader_.joinable()) reader_.join();
    if (err_fd_ >= 0) close(err_fd_);
}

void Daemon::readLoop() {
    std::string partial;
    char buf[4096];
    for (;;) {
        ssize_t n = read(err_fd_, buf, sizeof buf);
        if (n <= 0) break;
        partial.append(buf, static_cast<size_t>(n));
        size_t nl;
        std::lock_guard<std::mutex> l(mu_);
        while ((nl = partial.find('\n')) != std::string::npos) {
            lines_.push_back(partial.substr(0, nl));
            partial.erase(0, nl + 1);
        }
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> l(mu_);
    if (!partial.empty()) lines_.push_back(partial);
    eof_ = true;
    cv_.notify_all();
}

bool Daemon::waitForLine(const std::string& part, int timeout_ms) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] {
        for (const auto& s : lines_)
            if (s.find(part) != std::string::npos) return true;
        return eof_;
    }) && [&] {
        for (const auto& s : lines_)
            if (s.find(part) != std::string::npos) return true;
        return false;
    }();
}

std::vector<std::string> Daemon::lines() {
    std::lock_guard<std::mutex> l(mu_);
    return lines_;
}

void Daemon::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

int Daemon::waitExit(int timeout_ms) {
    if (pid_ <= 0) return -1;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Daemon::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

}  // namespace tarvex::test
