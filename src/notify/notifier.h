// notifier.h: alerts pushed to a webhook, ntfy or Gotify.
//
// Notifier sends a POST to the configured NOTIFY_URL for each alert at or
// above NOTIFY_MIN_SEVERITY (new-device alerts always). The listener thread
// only offers an alert: offer() copies its fixed-size fields into a bounded
// queue created at start and returns at once; a full queue counts a drop.
// Everything else happens on the notifier's own thread ("tarvex-notify",
// nice 10) through libcurl: at most kNotifyPerWindow messages in any
// kNotifyWindowMs, the alerts beyond that folded into one digest message
// sent as soon as the window allows; failed attempts retried with doubling
// waits up to kNotifyAttempts in all, each failure logged rate-limited and
// naming only the scheme, host and port of the URL (user, password, path
// and query, where ntfy topics and Gotify tokens live, are never shown).
//
// The notifier knows nothing of JSON: the HTTP side fills in the formatter
// (api/notify_body.h) at start, as it fills in the live feed.
//
// Thread-safety: offer() and counters() may be called from any thread;
// start(), requestStop() and waitStopped() from one controlling thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "alert/manager.h"
#include "common/error.h"
#include "common/format.h"
#include "common/types.h"
#include "notify/settings.h"
#include "storage/work_queue.h"

namespace tarvex {

constexpr u32 kNotifyQueueItems = 256;
constexpr u32 kNotifyPerWindow = 30;
constexpr i64 kNotifyWindowMs = 60000;
constexpr u32 kNotifyAttempts = 4;
constexpr i64 kNotifyBackoffMs = 2000;  // before the second attempt; doubles
constexpr long kNotifyConnectTimeoutMs = 5000;
constexpr long kNotifyTotalTimeoutMs = 10000;

// One alert as the listener hands it over: fixed-size copies of the fields
// a message shows.
struct NotifyItem {
    i64 created_at;
    u32 id;
    AlertSeverity severity;
    bool new_device;
    u8 title_len;
    u8 source_len;
    u8 dest_len;
    char title[kAlertTitleCap];
    char source[kAlertIpCap];
    char dest[kAlertIpCap];

    std::string_view getTitle() const { return {title, title_len}; }
    std::string_view getSource() const { return {source, source_len}; }
    std::string_view getDest() const { return {dest, dest_len}; }
};

// A message ready to send: extra header lines ("Name: value\n" each) and
// the body with its content type.
struct NotifyMessage {
    FixedText<1024> headers;
    FixedText<4096> body;
};

// Writes the message for one alert, or for a digest of `held` alerts left
// out by the rate limit. `link_base` is the dashboard's address.
struct NotifyFormatter {
    void (*alert)(const NotifyItem& item, NotifyFormat format, std::string_view link_base,
                  NotifyMessage& out) = nullptr;
    void (*digest)(u64 held, NotifyFormat format, std::string_view link_base,
                   NotifyMessage& out) = nullptr;
};

struct NotifyOptions {
    std::string_view url;
    std::string_view link_base;
    NotifyFormat format = NotifyFormat::json;
    AlertSeverity min_severity = AlertSeverity::high;
    NotifyFormatter formatter;
    // The limits; tests shorten them.
    u32 per_window = kNotifyPerWindow;
    i64 window_ms = kNotifyWindowMs;
    u32 attempts = kNotifyAttempts;
    i64 backoff_ms = kNotifyBackoffMs;
    long connect_timeout_ms = kNotifyConnectTimeoutMs;
    long total_timeout_ms = kNotifyTotalTimeoutMs;
};

// The last kNotifyPerWindow sending times: whether one more message fits in
// the window now, and when the next one will.
class NotifyWindow {
  public:
    NotifyWindow(u32 per_window, i64 window_ms);
    bool allows(i64 now_ms) const;
    void record(i64 now_ms);
    // Milliseconds from `now_ms` until allows() holds (0 when it does).
    i64 waitMs(i64 now_ms) const;

  private:
    static constexpr u32 kMaxPerWindow = 1024;
    u32 per_window_;
    i64 window_ms_;
    i64 sent_at_[kMaxPerWindow] = {};
    u32 count_ = 0;
    u32 oldest_ = 0;
};

class Notifier {
  public:
    struct Counters {
        u64 sent;      // messages delivered (alerts and digests)
        u64 failed;    // messages given up after every attempt
        u64 dropped;   // alerts refused by the full queue or left at the stop
        u64 digested;  // alerts the rate limit folded into a digest
    };

    // A notifier for `opts` (texts copied); nullptr when the URL is not an
    // http or https URL or libcurl cannot be set up. Call before any other
    // thread uses libcurl.
    static std::unique_ptr<Notifier> create(const NotifyOptions& opts);
    // Stops the thread (at once) and waits for it.
    ~Notifier();

    // Starts the sending thread. Errors: SystemResources.
    Err start();
    // Listener path: queues the alert when its severity (or being a new
    // device) calls for a message. Copies fixed-size fields, never waits.
    void offer(const Alert& alert, bool new_device);
    // Stops taking alerts; the thread sends what is queued until
    // `deadline_ns` (monotonic) and then ends, cutting short a transfer or
    // a wait that would outlast it.
    void requestStop(i64 deadline_ns);
    // Whether the thread ended within `timeout_ms` (it is then joined).
    bool waitStopped(int timeout_ms);

    Counters counters() const;
    NotifyFormat format() const { return opts_.format; }
    AlertSeverity minSeverity() const { return opts_.min_severity; }
    // "scheme://host[:port]" of the URL, safe to show.
    std::string_view target() const { return {target_, target_len_}; }

  private:
    explicit Notifier(const NotifyOptions& opts);
    void run();
    void deliver(const NotifyItem& item);
    void deliverDigest(u64 held);
    // Sends one message with retries; true when it was delivered.
    bool send(const NotifyMessage& m);
    // One POST; the HTTP status, or 0 with `error` set for a transfer
    // failure.
    // `cut_by_stop` is set when the stop's deadline ended the transfer.
    long post(const NotifyMessage& m, const char*& error, bool& cut_by_stop);
    // Waits up to `ms` or until the stop deadline; false when the deadline
    // has passed.
    bool pause(i64 ms);
    bool pastDeadline() const;
    static int onProgress(void* self, long long, long long, long long, long long);

    NotifyOptions opts_;
    char url_[1024];
    char link_base_[256];
    char target_[300];
    u16 target_len_ = 0;
    void* curl_ = nullptr;
    WorkQueue queue_;
    NotifyWindow window_;

    std::atomic<u64> sent_{0}, failed_{0}, dropped_{0}, digested_{0};
    std::atomic<i64> stop_by_;
    std::atomic<bool> stopping_{false};
    std::mutex mu_;
    std::condition_variable cv_;  // pause() and waitStopped()
    bool done_ = false;
    std::thread thread_;
};

}  // namespace tarvex
