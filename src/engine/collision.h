// collision.h: collision detection over the activation map.
//
// A collision is a node that two or more independent waves have reached and
// whose (hub-dampened) activation stands above a threshold that grows with
// its degree. StreakTracker counts how many consecutive detection cycles
// each node has collided; a node on a streak above 4 is skipped once. Each
// collision of a cycle becomes one alert, announced on the live feed.
//
// StreakTracker is valid when zero-filled. Everything here runs on the
// listener thread under the engine state lock held exclusively.
#pragma once

#include <span>

#include "alert/manager.h"
#include "common/live_feed.h"
#include "common/types.h"
#include "engine/activation.h"
#include "engine/graph.h"

namespace tarvex {

constexpr u32 kMaxStreaks = 256;
constexpr u32 kMaxCollisions = 32;
constexpr u32 kMaxStreak = 4;
constexpr u32 kListedNeighbors = 20;

struct Collision {
    u32 node_id;
    f32 activation;  // dampened level
    u32 wave_count;
    u32 stream_count;
    u32 streak;
    bool cross_stream;
};

struct StreakTracker {
    u32 node_ids[kMaxStreaks];
    u32 streaks[kMaxStreaks];
    u32 count;
    bool active[kMaxStreaks];

    // Counts one more consecutive cycle for every id (tracking new ones in
    // the lowest free slot) and releases every tracked node not among them.
    void updateCycle(std::span<const u32> node_ids);
    // The node's current streak, 0 when it is not tracked.
    u32 getStreak(u32 node_id) const;
};

u32 popcount32(u32 x);
// 0.2 for degree 0, else min(0.2 + 0.2 log2(degree + 1), 1.5).
f32 degreeThreshold(u32 degree);
// 20 / access_count from 21 accesses on, else 1.0.
f32 hubDampening(u32 access_count);

// Scans the map in entry order for collisions (at most 32) into `out` and
// returns how many were found.
u32 detectCollisions(const ActivationMap& map, const Graph& graph, const StreakTracker& tracker,
                     Collision (&out)[kMaxCollisions]);
// Stable insertion sort by activation, highest first.
void sortCollisionsDesc(std::span<Collision> collisions);

// One detection cycle: detect, advance the streaks, sort, and raise one
// alert per collision (broadcast on `feed`, which may be null). Returns the
// number of collisions, each of which counts as detected even when the
// alert table refused its alert.
u32 runCollisionDetection(ActivationMap& map, StreakTracker& tracker, const Graph& graph,
                          AlertManager& alerts, const LiveFeed* feed);

}  // namespace tarvex
