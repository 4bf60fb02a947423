// log_capture.h: collects the daemon's log lines inside a test.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"

namespace tarvex::test {

// While alive, every log line is kept here instead of going to stderr.
class LogCapture {
  public:
    LogCapture() { setLogSink(&LogCapture::sink, this); }
    ~LogCapture() { setLogSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> l(mu_);
        return lines_;
    }
    bool has(std::string_view line) const {
        std::lock_guard<std::mutex> l(mu_);
        for (const auto& s : lines_)
            if (s == line) return true;
        return false;
    }
    bool hasSubstring(std::string_view part) const {
        std::lock_guard<std::mutex> l(mu_);
        for (const auto& s : lines_)
            if (s.find(part) != std::string::npos) return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> l(mu_);
        lines_.clear();
    }

  private:
    // Called with the logger's mutex held; mu_ only orders test-side reads.
    static void sink(void* ctx, std::string_view line) {
        auto* self = static_cast<LogCapture*>(ctx);
        std::lock_guard<std::mutex> l(self->mu_);
        self->lines_.emplace_back(line);
    }
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
};

}  // namespace tarvex::test
