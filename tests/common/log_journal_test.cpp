// log_journal_test.cpp: the syslog priority prefix for the journal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/log.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

// A pipe the logger writes into while the test runs, then standard error
// again; JOURNAL_STREAM is put back as it was.
class LogPipe {
  public:
    LogPipe() {
        EXPECT_EQ(::pipe2(fds_, O_NONBLOCK), 0);
        const char* old = std::getenv("JOURNAL_STREAM");
        had_env_ = old != nullptr;
        if (had_env_) old_env_ = old;
    }
    ~LogPipe() {
        if (had_env_) {
            ::setenv("JOURNAL_STREAM", old_env_.c_str(), 1);
        } else {
            ::unsetenv("JOURNAL_STREAM");
        }
        setLogOutput(2);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    LogPipe(const LogPipe&) = delete;
    LogPipe& operator=(const LogPipe&) = delete;

    int writeEnd() const { return fds_[1]; }
    // "device:inode" of the pipe, as systemd would put it in JOURNAL_STREAM.
    std::string streamName() const {
        struct stat st;
        EXPECT_EQ(::fstat(fds_[1], &st), 0);
        return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
               std::to_string(static_cast<unsigned long long>(st.st_ino));
    }
    std::string drain() const {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }

  private:
    int fds_[2] = {-1, -1};
    bool had_env_ = false;
    std::string old_env_;
};

void logOneOfEach() {
    logError("main", "failed to spawn syslog listener thread: {}", "SystemResources");
    logWarn("config", "invalid value for PORT: 70000 (Overflow), using default 3000");
    logInfo("main", "syslog port: {}", 514);
    logDebug("pg", "connection {} ready", 2);
    logPlain("error: {}", "OutOfMemory");
    logPlain("warning: http: unhandled exception for request: /x");
    logPlain("failed to create route");
}

constexpr const char* kLines =
    "error(main): failed to spawn syslog listener thread: SystemResources\n"
    "warning(config): invalid value for PORT: 70000 (Overflow), using default 3000\n"
    "info(main): syslog port: 514\n"
    "debug(pg): connection 2 ready\n"
    "error: OutOfMemory\n"
    "warning: http: unhandled exception for request: /x\n"
    "failed to create route\n";

constexpr const char* kJournalLines =
    "<3>error(main): failed to spawn syslog listener thread: SystemResources\n"
    "<4>warning(config): invalid value for PORT: 70000 (Overflow), using default 3000\n"
    "<6>info(main): syslog port: 514\n"
    "<7>debug(pg): connection 2 ready\n"
    "<3>error: OutOfMemory\n"
    "<4>warning: http: unhandled exception for request: /x\n"
    "<3>failed to create route\n";

// Each line carries its priority exactly when JOURNAL_STREAM names the file
// the lines are written to; an unset, malformed or foreign value (standard
// error inherited by a child of the service, say) leaves the lines bare.
TEST(LogJournal, PrefixesPriorityOnlyWhenTheStreamIsTheJournal) {
    struct stat other;
    ASSERT_EQ(::stat("/", &other), 0);
    const std::string foreign = std::to_string(static_cast<unsigned long long>(other.st_dev)) +
                                ":" + std::to_string(static_cast<unsigned long long>(other.st_ino));
    struct Case {
        const char* rule;
        bool matching;      // JOURNAL_STREAM set to the pipe's own name
        const char* value;  // otherwise this value (nullptr: unset)
        const char* expect;
    };
    const std::vector<Case> cases = {
        {"names the stream", true, nullptr, kJournalLines},
        {"unset", false, nullptr, kLines},
        {"another file", false, foreign.c_str(), kLines},
        {"empty", false, "", kLines},
        {"no inode", false, "1234:", kLines},
        {"no device", false, ":1234", kLines},
        {"not numbers", false, "abc:def", kLines},
        {"overflowing", false, "99999999999999999999999:1", kLines},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        LogPipe pipe;
        const std::string own = pipe.streamName();
        if (c.matching) {
            ::setenv("JOURNAL_STREAM", own.c_str(), 1);
        } else if (c.value != nullptr) {
            ::setenv("JOURNAL_STREAM", c.value, 1);
        } else {
            ::unsetenv("JOURNAL_STREAM");
        }
        setLogOutput(pipe.writeEnd());
        logOneOfEach();
        EXPECT_EQ(pipe.drain(), c.expect);
    }
}

// The name must match whole: one digit more or less in either part, or
// anything after the inode, is another file.
TEST(LogJournal, StreamNameMatchesWholeDeviceAndInode) {
    LogPipe pipe;
    const std::string own = pipe.streamName();
    EXPECT_TRUE(journalStreamNames(own.c_str(), pipe.writeEnd()));
    const std::string inode_part = own.substr(own.find(':'));
    std::string other_device = "0";
    other_device += inode_part;
    std::string plus = "+";
    plus += own;
    const std::vector<std::string> near = {
        own + "0", own + " ", own + ":1", other_device, own.substr(0, own.size() - 1), plus,
    };
    for (const std::string& v : near) {
        EXPECT_FALSE(journalStreamNames(v.c_str(), pipe.writeEnd())) << v;
    }
    EXPECT_FALSE(journalStreamNames(nullptr, pipe.writeEnd()));
    EXPECT_FALSE(journalStreamNames(own.c_str(), -1));
}

// A capture sink sees the text as written, never the prefix.
TEST(LogJournal, CaptureSeesTheTextWithoutPrefix) {
    LogPipe pipe;
    ::setenv("JOURNAL_STREAM", pipe.streamName().c_str(), 1);
    setLogOutput(pipe.writeEnd());
    test::LogCapture logs;
    logWarn("listener", "receive buffer {} bytes", 212992);
    EXPECT_EQ(logs.lines(),
              std::vector<std::string>{"warning(listener): receive buffer 212992 bytes"});
    EXPECT_EQ(pipe.drain(), "");
}

}  // namespace
}  // namespace tarvex
