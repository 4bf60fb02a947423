// live_feed.h: how the pipeline publishes to the dashboard's live feed.
//
// The engines and the pipeline know nothing of WebSocket connections: they
// publish through a LiveFeed, which the HTTP side fills in at start-up. An
// empty LiveFeed (or a null pointer) publishes nothing, and nothing is
// formatted when nobody listens.
#pragma once

#include <string_view>

#include "common/counters.h"
#include "common/types.h"

namespace tarvex {

struct LiveFeed {
    void* ctx = nullptr;
    // True when at least one client is connected (a cheap, lock-free test).
    bool (*has_listeners)(void* ctx) = nullptr;
    // A new alert: its id, title and lower-case severity name.
    void (*alert)(void* ctx, u32 id, std::string_view title, std::string_view severity) = nullptr;
    // A complete text message for every client.
    void (*text)(void* ctx, std::string_view message) = nullptr;
    // The statistics message, formatted by the feed.
    void (*stats)(void* ctx, const CountersSnapshot& stats) = nullptr;
};

inline bool liveFeedListening(const LiveFeed* f) {
    return f && f->has_listeners && f->has_listeners(f->ctx);
}

inline void publishAlert(const LiveFeed* f, u32 id, std::string_view title,
                         std::string_view severity) {
    if (f && f->alert) f->alert(f->ctx, id, title, severity);
}

inline void publishStats(const LiveFeed* f, const CountersSnapshot& stats) {
    if (f && f->stats) f->stats(f->ctx, stats);
}

inline void publishText(const LiveFeed* f, std::string_view message) {
    if (f && f->text) f->text(f->ctx, message);
}

}  // namespace tarvex
