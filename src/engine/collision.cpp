// collision.cpp: detection, streaks and the collision alert texts.
#include "engine/collision.h"

#include <bit>
#include <charconv>
#include <cmath>

#include "common/format.h"
#include "common/log.h"

namespace tarvex {

namespace {

// Appends v in fixed notation with `digits` digits after the point.
void appendFixed(TextBuf& b, f32 v, int digits) {
    char tmp[64];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::fixed, digits);
    if (r.ec == std::errc()) b.append(std::string_view(tmp, static_cast<size_t>(r.ptr - tmp)));
}

std::string_view plural(u32 n) {
    return n == 1 ? "" : "s";
}

AlertSeverity collisionSeverity(const Collision& c) {
    if (c.cross_stream) return c.wave_count >= 4 ? AlertSeverity::critical : AlertSeverity::high;
    return c.wave_count >= 3 ? AlertSeverity::medium : AlertSeverity::low;
}

void writeEvidence(TextBuf& ev, const Collision& c, std::string_view name, const Graph& graph) {
    formatInto(ev, "{} independent activation wave{} converged on {}", c.wave_count,
               plural(c.wave_count), name);
    if (c.cross_stream) {
        ev.append(
            ".\nSignals originated from multiple independent sources, suggesting coordinated "
            "activity targeting this endpoint.\n");
    } else {
        ev.append(".\n");
    }
    formatInto(ev, "\nTarget: {}\n", name);
    ev.append("Activation Level: ");
    appendFixed(ev, c.activation, 4);
    ev.append("\n");
    formatInto(ev, "Wave Count: {}\n", c.wave_count);
    formatInto(ev, "Stream Count: {}\n", c.stream_count);
    formatInto(ev, "Cross-Stream: {}\n", c.cross_stream ? "yes" : "no");
    formatInto(ev, "Streak: {} consecutive cycle{}\n", c.streak, plural(c.streak));

    Neighbor nbs[kMaxNeighbors];
    const u32 k = graph.getNeighbors(c.node_id, 0.0f, nbs);
    if (k == 0) return;
    ev.append("\nConnected nodes:\n");
    for (u32 i = 0; i < k && i < kListedNeighbors; ++i) {
        formatInto(ev, "  {} ({}, weight ", nbs[i].name.slice(), edgeTypeName(nbs[i].edge_type));
        appendFixed(ev, nbs[i].weight, 2);
        ev.append(")\n");
    }
    if (k > kListedNeighbors) formatInto(ev, "  ... and {} more\n", k - kListedNeighbors);
}

}  // namespace

u32 popcount32(u32 x) {
    return static_cast<u32>(std::popcount(x));
}

f32 degreeThreshold(u32 degree) {
    if (degree == 0) return 0.2f;
    return std::min(0.2f + 0.2f * std::log2(static_cast<f32>(degree) + 1.0f), 1.5f);
}

f32 hubDampening(u32 access_count) {
    return access_count >= 21 ? 20.0f / static_cast<f32>(access_count) : 1.0f;
}

void StreakTracker::updateCycle(std::span<const u32> ids) {
    bool seen[kMaxStreaks] = {};
    for (u32 id : ids) {
        u32 slot = kMaxStreaks;
        for (u32 i = 0; i < kMaxStreaks; ++i) {
            if (active[i] && node_ids[i] == id) {
                slot = i;
                break;
            }
        }
        if (slot != kMaxStreaks) {
            ++streaks[slot];
            seen[slot] = true;
            continue;
        }
        for (u32 i = 0; i < kMaxStreaks; ++i) {
            if (!active[i]) {
                node_ids[i] = id;
                streaks[i] = 1;
                active[i] = true;
                seen[i] = true;
                ++count;
                break;
            }
        }
    }
    for (u32 i = 0; i < kMaxStreaks; ++i) {
        if (active[i] && !seen[i]) {
            active[i] = false;
            streaks[i] = 0;
            if (count > 0) --count;
        }
    }
}

u32 StreakTracker::getStreak(u32 node_id) const {
    for (u32 i = 0; i < kMaxStreaks; ++i)
        if (active[i] && node_ids[i] == node_id) return streaks[i];
    return 0;
}

u32 detectCollisions(const ActivationMap& map, const Graph& graph, const StreakTracker& tracker,
                     Collision (&out)[kMaxCollisions]) {
    u32 n = 0;
    for (u32 i = 0; i < kMaxActivations; ++i) {
        const ActivationEntry& e = map.entries[i];
        if (!e.active) continue;
        const u32 waves = popcount32(e.wave_mask);
        if (waves < 2) continue;
        f32 threshold = 0.2f;
        f32 level = e.activation;
        if (const Node* node = graph.getNode(e.node_id)) {
            threshold = degreeThreshold(graph.nodeDegree(e.node_id));
            level = e.activation * hubDampening(node->access_count);
        }
        if (level < threshold) continue;
        const u32 streams = popcount32(e.stream_mask);
        const u32 streak = tracker.getStreak(e.node_id);
        if (streak > kMaxStreak) continue;
        if (n == kMaxCollisions) break;
        out[n++] = Collision{e.node_id, level, waves, streams, streak, streams >= 2};
    }
    return n;
}

void sortCollisionsDesc(std::span<Collision> c) {
    for (size_t i = 1; i < c.size(); ++i) {
        const Collision x = c[i];
        size_t j = i;
        while (j > 0 && c[j - 1].activation < x.activation) {
            c[j] = c[j - 1];
            --j;
        }
        c[j] = x;
    }
}

u32 runCollisionDetection(ActivationMap& map, StreakTracker& tracker, const Graph& graph,
                          AlertManager& alerts, const LiveFeed* feed) {
    Collision found[kMaxCollisions];
    const u32 n = detectCollisions(map, graph, tracker, found);

    u32 ids[kMaxCollisions];
    for (u32 i = 0; i < n; ++i) ids[i] = found[i].node_id;
    tracker.updateCycle(std::span<const u32>(ids, n));
    for (u32 i = 0; i < n; ++i) found[i].streak = tracker.getStreak(found[i].node_id);
    if (n == 0) return 0;

    sortCollisionsDesc(std::span<Collision>(found, n));
    logInfo("collision", "detectCollisions: found {} collisions", n);

    static constexpr u8 kNoMac[6] = {};
    for (u32 i = 0; i < n; ++i) {
        const Collision& c = found[i];
        const Node* node = graph.getNode(c.node_id);
        const std::string_view name = node ? node->name.slice() : std::string_view("unknown");

        FixedText<kAlertTitleCap> title;
        formatInto(title, "Collision on {} ({} wave{}{})", name, c.wave_count, plural(c.wave_count),
                   c.cross_stream ? ", cross-stream" : "");

        FixedText<kAlertEvidenceCap> evidence;
        writeEvidence(evidence, c, name, graph);

        std::string_view description = evidence.view();
        description = description.substr(0, description.find('\n'));

        const AlertSeverity severity = collisionSeverity(c);
        const u32 id = alerts.createAlert(title.view(), description, severity, c.activation, kNoMac,
                                          c.wave_count);
        if (id == 0) continue;
        Alert* a = alerts.getAlert(id);
        if (!a) continue;
        a->setEvidence(evidence.view());
        a->setSourceIp(name);
        publishAlert(feed, id, a->getTitle(), severityName(severity));
    }
    return n;
}

}  // namespace tarvex
