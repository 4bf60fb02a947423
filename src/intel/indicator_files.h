// indicator_files.h: the threat indicator files of INDICATOR_FILES.
//
// IndicatorFiles reads each named file (a plain list, CSV or Zeek intel
// file, indicator_feed.h) into the indicator store under its own origin, at
// start and again whenever the file changes: the indicators of a re-read
// file become exactly those it names now (hits of those it still names are
// kept). A change is taken once the file's modification time and size have
// stayed the same for one poll, so a file caught half-written is read when
// its writer has finished. A file that cannot be read keeps the indicators
// it gave before, with a warning. Lines without a source take the file's
// name as their source feed.
//
// Thread-safety: loadAll() and checkOnce() run on one thread at a time (the
// start-up thread, then the watcher thread start() creates); the store
// serialises them with everything else.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/error.h"
#include "intel/indicators.h"

namespace tarvex {

constexpr u32 kMaxIndicatorFiles = 32;
constexpr size_t kMaxIndicatorFileBytes = 64u << 20;

class IndicatorFiles {
  public:
    // `paths`: comma-separated (blank entries skipped; at most
    // kMaxIndicatorFiles).
    IndicatorFiles(IndicatorStore& store, std::string_view paths);
    ~IndicatorFiles();
    IndicatorFiles(const IndicatorFiles&) = delete;
    IndicatorFiles& operator=(const IndicatorFiles&) = delete;

    size_t size() const { return files_.size(); }
    // Reads every file now.
    void loadAll();
    // Re-reads the files whose change has settled; returns how many.
    u32 checkOnce();
    // Polls every `interval_ms` on the thread "tarvex-intel" until stop().
    Err start(int interval_ms = 5000);
    void stop();

  private:
    struct File {
        std::string path;
        u8 origin;
        bool read_once;
        bool warned;  // the last attempt failed and was logged
        // Modification time and size when last read, and as last polled.
        timespec read_mtime;
        off_t read_size;
        timespec seen_mtime;
        off_t seen_size;
    };
    void readFile(File& f);

    IndicatorStore& store_;
    std::vector<File> files_;
    std::vector<Indicator> buffer_;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false;
};

}  // namespace tarvex
