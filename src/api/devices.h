// devices.h: the device and entity-graph endpoints.
//
// Read-only views of the fingerprint table, the entity graph, the raw event
// ring and the baseline table. Each handler holds the engine state lock
// shared only while it copies what it answers with into its request's
// memory, and writes JSON after releasing it.
#pragma once

#include "api/context.h"

namespace tarvex {

// Seconds within which a last-seen time counts as active.
constexpr i64 kDeviceActiveWindow = 3600;

// GET /api/devices: devices and unassigned local addresses, newest first,
// filtered by "status" and "search", paged by "limit" and "offset".
Err handleListDevices(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/devices/:id: one device or address node (by node name, hardware
// address or label) with its neighbours and recent raw events.
Err handleGetDevice(ServerState& state, HttpRequest& req, HttpResponse& res);
// PUT /api/devices/:id: the user's correction, {"name": ..., "kind": ...}
// (either or both; "" clears one), kept in the database and shown instead of
// the guess; answers the device as GET /api/devices/:id does. 400 for a body
// that is not such an object, 404 for an unknown device.
Err handlePutDevice(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/devices/:id/activity: counts of matching raw events per 30 s.
Err handleGetDeviceActivity(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/devices/:id/similar: up to ten devices whose vectors are most
// similar (above 0.5).
Err handleGetSimilarDevices(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/devices/:id/baseline: the device's learned behavioural baseline.
Err handleGetDeviceBaseline(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/graph: active nodes and edges in slot order, each paged by
// "limit" (default 200, at most 10000) and "offset".
Err handleGetGraph(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
