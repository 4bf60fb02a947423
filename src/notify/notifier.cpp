// notifier.cpp: the notification queue, its sending thread and the POST.
#include "notify/notifier.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "common/clock.h"
#include "common/log.h"
#include "common/thread.h"

namespace tarvex {

namespace {

// Each record carries a 5-byte header (length and kind) in the queue.
constexpr size_t kQueueBytes = kNotifyQueueItems * (sizeof(NotifyItem) + sizeof(u32) + 1);

}  // namespace

NotifyWindow::NotifyWindow(u32 per_window, i64 window_ms)
    : per_window_(per_window == 0 ? 1 : (per_window > kMaxPerWindow ? kMaxPerWindow : per_window)),
      window_ms_(window_ms) {}

bool NotifyWindow::allows(i64 now_ms) const {
    return count_ < per_window_ || now_ms - sent_at_[oldest_] >= window_ms_;
}

void NotifyWindow::record(i64 now_ms) {
    if (count_ < per_window_) {
        sent_at_[(oldest_ + count_) % per_window_] = now_ms;
        ++count_;
        return;
    }
    sent_at_[oldest_] = now_ms;
    oldest_ = (oldest_ + 1) % per_window_;
}

i64 NotifyWindow::waitMs(i64 now_ms) const {
    if (allows(now_ms)) return 0;
    return sent_at_[oldest_] + window_ms_ - now_ms;
}

Notifier::Notifier(const NotifyOptions& opts)
    : opts_(opts),
      queue_(kQueueBytes),
      window_(opts.per_window, opts.window_ms),
      stop_by_(LLONG_MAX) {
    // The options' texts belong to the caller: keep copies.
    const size_t url_n = std::min(opts.url.size(), sizeof url_ - 1);
    std::memcpy(url_, opts.url.data(), url_n);
    url_[url_n] = 0;
    opts_.url = std::string_view(url_, url_n);
    std::string_view base = opts.link_base;
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    const size_t base_n = std::min(base.size(), sizeof link_base_);
    std::memcpy(link_base_, base.data(), base_n);
    opts_.link_base = std::string_view(link_base_, base_n);
    TextBuf t(target_, sizeof target_);
    appendNotifyTarget(t, opts_.url);
    target_len_ = static_cast<u16>(t.len);
}

std::unique_ptr<Notifier> Notifier::create(const NotifyOptions& opts) {
    if (!isNotifyUrl(opts.url) || opts.url.size() >= sizeof(url_)) return nullptr;
    if (!opts.formatter.alert || !opts.formatter.digest) return nullptr;
    static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (global != CURLE_OK) return nullptr;
    std::unique_ptr<Notifier> n(new Notifier(opts));
    CURL* c = curl_easy_init();
    if (!c) return nullptr;
    n->curl_ = c;
    curl_easy_setopt(c, CURLOPT_URL, n->url_);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "tarvex/0.1.0");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, opts.connect_timeout_ms);
    curl_easy_setopt(
        c, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t n, void*) {
            return size * n;  // the answer's body is not needed
        });
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Notifier::onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, n.get());
    return n;
}

Notifier::~Notifier() {
    requestStop(monoNanos());
    if (thread_.joinable()) thread_.join();
    if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

Err Notifier::start() {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return Err::SystemResources;
    }
    return Err::None;
}

void Notifier::offer(const Alert& a, bool new_device) {
    if (!new_device && a.severity < opts_.min_severity) return;
    NotifyItem item;
    item.created_at = a.created_at;
    item.id = a.id;
    item.severity = a.severity;
    item.new_device = new_device;
    item.title_len = static_cast<u8>(std::min<u32>(a.title_len, kAlertTitleCap));
    item.source_len = static_cast<u8>(std::min<u32>(a.source_ip_len, kAlertIpCap));
    item.dest_len = static_cast<u8>(std::min<u32>(a.dest_ip_len, kAlertIpCap));
    std::memcpy(item.title, a.title, item.title_len);
    std::memcpy(item.source, a.source_ip, item.source_len);
    std::memcpy(item.dest, a.dest_ip, item.dest_len);
    const PushResult r =
        queue_.push(0, {std::string_view(reinterpret_cast<const char*>(&item), sizeof item)});
    if (r == PushResult::queued) return;
    dropped_.fetch_add(1, std::memory_order_relaxed);
    if (r == PushResult::refused_first) {
        static LogLimit limit;
        logWarnLimited(limit, "notify",
                       "notification queue full ({} alerts waiting): alert {} not sent",
                       kNotifyQueueItems, a.id);
    }
}

void Notifier::requestStop(i64 deadline_ns) {
    stop_by_.store(deadline_ns, std::memory_order_relaxed);
    stopping_.store(true, std::memory_order_release);
    queue_.close();
    std::lock_guard<std::mutex> l(mu_);
    cv_.notify_all();
}

bool Notifier::waitStopped(int timeout_ms) {
    {
        std::unique_lock<std::mutex> l(mu_);
        if (!cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [this] { return done_; }))
            return false;
    }
    // The thread has ended its work: reap it.
    if (thread_.joinable()) thread_.join();
    return true;
}

Notifier::Counters Notifier::counters() const {
    return {sent_.load(std::memory_order_relaxed), failed_.load(std::memory_order_relaxed),
            dropped_.load(std::memory_order_relaxed), digested_.load(std::memory_order_relaxed)};
}

bool Notifier::pastDeadline() const {
    return monoNanos() >= stop_by_.load(std::memory_order_relaxed);
}

int Notifier::onProgress(void* self, long long, long long, long long, long long) {
    return static_cast<Notifier*>(self)->pastDeadline() ? 1 : 0;
}

bool Notifier::pause(i64 ms) {
    std::unique_lock<std::mutex> l(mu_);
    const i64 until = monoNanos() + ms * 1000000;
    for (;;) {
        const i64 now = monoNanos();
        const i64 stop_by = stop_by_.load(std::memory_order_relaxed);
        if (now >= stop_by) return false;
        if (now >= until) return true;
        cv_.wait_for(l, std::chrono::nanoseconds(std::min(until, stop_by) - now));
    }
}

void Notifier::run() {
    nameThisThread("tarvex-notify");
    setThisThreadNice(kBackgroundNice);
    std::vector<char> batch;
    batch.reserve(kQueueBytes);
    u64 held = 0;
    auto nowMs = [] { return monoNanos() / 1000000; };
    for (;;) {
        const bool stopping = stopping_.load(std::memory_order_acquire);
        int wait_ms = 1000;
        if (held > 0) wait_ms = static_cast<int>(std::clamp<i64>(window_.waitMs(nowMs()), 1, 1000));
        queue_.take(batch, stopping ? 0 : wait_ms);
        WorkQueue::forEach(batch, [&](u8, std::string_view payload) {
            if (payload.size() != sizeof(NotifyItem)) return;
            NotifyItem item;
            std::memcpy(&item, payload.data(), sizeof item);
            if (pastDeadline()) {
                dropped_.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            // Held alerts are told before any newer one.
            if (held > 0 && window_.allows(nowMs())) {
                deliverDigest(held);
                held = 0;
            }
            if (held == 0 && window_.allows(nowMs())) {
                deliver(item);
            } else {
                ++held;
            }
        });
        if (held > 0 && window_.allows(nowMs()) && !pastDeadline()) {
            deliverDigest(held);
            held = 0;
        }
        if (stopping && batch.empty()) break;
    }
    // Alerts held for a digest the stop left no time for.
    dropped_.fetch_add(held, std::memory_order_relaxed);
    std::lock_guard<std::mutex> l(mu_);
    done_ = true;
    cv_.notify_all();
}

void Notifier::deliver(const NotifyItem& item) {
    window_.record(monoNanos() / 1000000);
    NotifyMessage m;
    opts_.formatter.alert(item, opts_.format, opts_.link_base, m);
    send(m);
}

void Notifier::deliverDigest(u64 held) {
    window_.record(monoNanos() / 1000000);
    digested_.fetch_add(held, std::memory_order_relaxed);
    NotifyMessage m;
    opts_.formatter.digest(held, opts_.format, opts_.link_base, m);
    send(m);
}

bool Notifier::send(const NotifyMessage& m) {
    static LogLimit attempt_limit;
    static LogLimit give_up_limit;
    for (u32 attempt = 1; attempt <= opts_.attempts; ++attempt) {
        const char* error = nullptr;
        bool cut_by_stop = false;
        const long status = post(m, error, cut_by_stop);
        if (status >= 200 && status < 300) {
            sent_.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        if (error && (cut_by_stop || pastDeadline())) {
            failed_.fetch_add(1, std::memory_order_relaxed);
            logWarnLimited(give_up_limit, "notify", "notification to {} cut off by the stop",
                           target());
            return false;
        }
        // A refusal other than "busy" or "too many" will be refused again.
        const bool again = error != nullptr || status >= 500 || status == 408 || status == 429;
        if (error) {
            logWarnLimited(attempt_limit, "notify",
                           "notification to {} failed: {} (attempt {} of {})", target(),
                           std::string_view(error), attempt, opts_.attempts);
        } else {
            logWarnLimited(attempt_limit, "notify",
                           "notification to {} failed: HTTP {} (attempt {} of {})", target(),
                           static_cast<u64>(status), attempt, opts_.attempts);
        }
        if (!again || attempt == opts_.attempts) break;
        if (!pause(opts_.backoff_ms << (attempt - 1))) break;
    }
    failed_.fetch_add(1, std::memory_order_relaxed);
    logWarnLimited(give_up_limit, "notify", "notification to {} given up", target());
    return false;
}

long Notifier::post(const NotifyMessage& m, const char*& error, bool& cut_by_stop) {
    CURL* c = static_cast<CURL*>(curl_);
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    std::string_view lines = m.headers.view();
    std::string line;
    while (!lines.empty() && headers) {
        const size_t nl = lines.find('\n');
        line.assign(lines.substr(0, nl));
        lines = nl == std::string_view::npos ? std::string_view() : lines.substr(nl + 1);
        if (line.empty()) continue;
        curl_slist* more = curl_slist_append(headers, line.c_str());
        if (!more) break;
        headers = more;
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, m.body.data);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(m.body.len));
    // No transfer outlasts the stop's deadline.
    // The time left is rounded up, so that a transfer the stop's deadline
    // ends is seen past the deadline.
    long timeout = opts_.total_timeout_ms;
    bool stop_bound = false;
    const i64 stop_by = stop_by_.load(std::memory_order_relaxed);
    if (stop_by != LLONG_MAX) {
        const i64 left_ms = (stop_by - monoNanos() + 999999) / 1000000;
        if (left_ms < timeout) {
            timeout = std::max<long>(static_cast<long>(left_ms), 1);
            stop_bound = true;
        }
    }
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout);
    const CURLcode rc = curl_easy_perform(c);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    if (rc != CURLE_OK) {
        error = curl_easy_strerror(rc);
        cut_by_stop =
            rc == CURLE_ABORTED_BY_CALLBACK || (stop_bound && rc == CURLE_OPERATION_TIMEDOUT);
        return 0;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

}  // namespace tarvex
