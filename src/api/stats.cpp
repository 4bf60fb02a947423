// stats.cpp: the headline statistics and statistics history endpoints.
#include "api/stats.h"

#include "api/json.h"
#include "api/local_copy.h"
#include "common/address.h"
#include "common/state_lock.h"
#include "common/table.h"
#include "engine_state.h"
#include "ingest/stream_listener.h"

namespace tarvex {

u32 countActiveIpNodes(const Graph& graph) {
    u32 n = 0;
    forEachActiveSlot(graph.nodes, graph.node_count, [&](u32, const Node& node) {
        if (node.node_type == NodeType::ip_address && isLocalIp(node.name.slice())) ++n;
        return true;
    });
    return n;
}

Err handleGetStats(ServerState& state, HttpRequest&, HttpResponse& res) {
    res.content_type = ContentType::json;
    CountersSnapshot c;
    u64 devices;
    {
        SharedGuard hold(state.engine->lock);
        c = state.engine->readCounters();
        // Devices here are the fingerprinted ones and the local addresses
        // seen without a device behind them.
        devices = u64{c.devices} + countActiveIpNodes(*state.engine->graph);
    }
    JsonWriter j(res.writer());
    j.beginObject().key("devices").u(devices).key("alerts").u(c.alerts);
    j.key("events_processed").u(c.events_processed).key("anomalies").u(c.anomalies);
    j.key("graph_nodes").u(c.graph_nodes).key("graph_edges").u(c.graph_edges);
    j.key("events_per_second").fixed(c.events_per_second, 1);
    j.key("events_dropped").u(c.events_dropped);
    // Syslog over TCP and TLS: connections open now, and those refused at the
    // connection limits since start.
    u64 stream_connections = 0, stream_refused = 0;
    if (state.streams) {
        stream_connections = state.streams->connections.load(std::memory_order_relaxed);
        stream_refused = state.streams->refused_total.load(std::memory_order_relaxed) +
                         state.streams->refused_sender.load(std::memory_order_relaxed);
    }
    j.key("stream_connections").u(stream_connections);
    j.key("stream_refused").u(stream_refused).endObject();
    return j.err();
}

Err handleGetStatsHistory(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    auto* held = static_cast<CountersSnapshot(*)[kHistoryCapacity]>(
        req.arena->alloc(sizeof(CountersSnapshot[kHistoryCapacity]), alignof(CountersSnapshot)));
    if (!held) return Err::OutOfMemory;
    u32 n;
    {
        SharedGuard hold(state.engine->lock);
        n = state.engine->copyHistory(*held);
    }
    JsonWriter j(res.writer());
    j.beginArray();
    for (u32 k = 0; k < n; ++k) {
        const CountersSnapshot& s = (*held)[k];
        j.beginObject().key("t").i(s.timestamp).key("eps").fixed(s.events_per_second, 1);
        j.key("events").u(s.events_processed).key("devices").u(s.devices);
        j.key("alerts").u(s.alerts).key("anomalies").u(s.anomalies);
        j.key("nodes").u(s.graph_nodes).key("edges").u(s.graph_edges).endObject();
    }
    j.endArray();
    return j.err();
}

}  // namespace tarvex
