// indicator_files.cpp: reading and watching the indicator files.
#include "intel/indicator_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "common/log.h"
#include "common/thread.h"
#include "intel/indicator_feed.h"

namespace tarvex {

namespace {

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string_view baseName(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The whole file into `out`; errno's error otherwise.
Err readWhole(const std::string& path, std::string& out, struct stat& st) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errFromErrno(errno);
    Err e = Err::None;
    if (fstat(fd, &st) != 0) {
        e = errFromErrno(errno);
    } else if (!S_ISREG(st.st_mode)) {
        e = Err::IsDir;
    } else if (static_cast<size_t>(st.st_size) > kMaxIndicatorFileBytes) {
        e = Err::StreamTooLong;
    } else {
        out.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < out.size()) {
            ssize_t n = ::read(fd, out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        out.resize(got);
    }
    ::close(fd);
    return e;
}

}  // namespace

IndicatorFiles::IndicatorFiles(IndicatorStore& store, std::string_view paths) : store_(store) {
    while (!paths.empty() && files_.size() < kMaxIndicatorFiles) {
        size_t comma = paths.find(',');
        std::string_view p = paths.substr(0, comma);
        paths = comma == std::string_view::npos ? std::string_view() : paths.substr(comma + 1);
        while (!p.empty() && (p.front() == ' ' || p.front() == '\t')) p.remove_prefix(1);
        while (!p.empty() && (p.back() == ' ' || p.back() == '\t')) p.remove_suffix(1);
        if (p.empty()) continue;
        File f{};
        f.path = std::string(p);
        f.origin = static_cast<u8>(files_.size() + 1);
        files_.push_back(f);
    }
    if (!paths.empty()) {
        logWarn("indicators", "INDICATOR_FILES names more than {} files; the rest are ignored",
                kMaxIndicatorFiles);
    }
}

IndicatorFiles::~IndicatorFiles() {
    stop();
}

void IndicatorFiles::readFile(File& f) {
    std::string text;
    struct stat st {};
    Err e = readWhole(f.path, text, st);
    if (e != Err::None) {
        if (!f.warned) {
            logWarn("indicators", "cannot read indicator file {}: {}", std::string_view(f.path), e);
        }
        f.warned = true;
        return;
    }
    f.warned = false;
    f.read_once = true;
    f.read_mtime = f.seen_mtime = st.st_mtim;
    f.read_size = f.seen_size = st.st_size;
    if (buffer_.empty()) buffer_.resize(kMaxIndicators);
    FeedDefaults defaults;
    defaults.source = baseName(f.path).substr(0, sizeof(Indicator::source));
    FeedResult feed = parseIndicatorFeed(text, defaults, buffer_.data(), kMaxIndicators);
    ReloadCounts c = store_.replaceOrigin(f.origin, buffer_.data(), feed.count);
    logInfo("indicators",
            "indicator file {}: {} added, {} kept, {} removed, {} duplicate, {} rejected",
            std::string_view(f.path), c.added, c.kept, c.removed, c.duplicate,
            c.rejected + feed.rejected);
    for (u32 i = 0; i < feed.kept && i < 3; ++i) {
        logWarn("indicators", "indicator file {} line {}: {}", std::string_view(f.path),
                feed.first_rejected[i].line, feed.first_rejected[i].reason);
    }
}

void IndicatorFiles::loadAll() {
    for (File& f : files_) readFile(f);
}

u32 IndicatorFiles::checkOnce() {
    u32 reread = 0;
    for (File& f : files_) {
        struct stat st {};
        if (::stat(f.path.c_str(), &st) != 0) {
            if (!f.warned) {
                logWarn("indicators", "cannot read indicator file {}: {}", std::string_view(f.path),
                        errFromErrno(errno));
                f.warned = true;
            }
            f.seen_size = -1;
            continue;
        }
        const bool changed =
            !f.read_once || !sameTime(st.st_mtim, f.read_mtime) || st.st_size != f.read_size;
        const bool settled = sameTime(st.st_mtim, f.seen_mtime) && st.st_size == f.seen_size;
        f.seen_mtime = st.st_mtim;
        f.seen_size = st.st_size;
        if (changed && settled) {
            readFile(f);
            ++reread;
        }
    }
    return reread;
}

Err IndicatorFiles::start(int interval_ms) {
    if (files_.empty()) return Err::None;
    try {
        thread_ = std::thread([this, interval_ms] {
            nameThisThread("tarvex-intel");
            std::unique_lock<std::mutex> lock(mu_);
            while (!stopping_) {
                cv_.wait_for(lock, std::chrono::milliseconds(interval_ms));
                if (stopping_) break;
                lock.unlock();
                checkOnce();
                lock.lock();
            }
        });
    } catch (const std::system_error&) {
        return Err::SystemResources;
    }
    return Err::None;
}

void IndicatorFiles::stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

}  // namespace tarvex
