// stats.cpp: the headline statistics and statistics history endpoints.
#include "api/stats.h"

#include "api/json.h"
#include "api/local_copy.h"
#include "common/state_lock.h"
#include "common/table.h"
#include "pipeline.h"

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
    u64 devices, alerts, events, anomalies, nodes, edges;
    f32 eps;
    {
        SharedGuard hold(*state.lock);
        devices = u64{state.fp_engine->device_count} + countActiveIpNodes(*state.graph);
        alerts = state.alerts->alert_count;
        events = *state.events_processed;
        anomalies = *state.anomalies_detected;
        nodes = state.graph->node_count;
        edges = state.graph->edge_count;
        eps = state.pipeline->currentEps();
    }
    JsonWriter j(res.writer());
    j.beginObject().key("devices").u(devices).key("alerts").u(alerts);
    j.key("events_processed").u(events).key("anomalies").u(anomalies);
    j.key("graph_nodes").u(nodes).key("graph_edges").u(edges);
    j.key("events_per_second").fixed(eps, 1).endObject();
    return j.err();
}

Err handleGetStatsHistory(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    auto* held = static_cast<StatsSnapshot(*)[kHistoryCapacity]>(
        req.arena->alloc(sizeof(StatsSnapshot[kHistoryCapacity]), alignof(StatsSnapshot)));
    if (!held) return Err::OutOfMemory;
    u32 n;
    {
        SharedGuard hold(*state.lock);
        n = state.pipeline->getHistory(*held);
    }
    JsonWriter j(res.writer());
    j.beginArray();
    for (u32 k = 0; k < n; ++k) {
        const StatsSnapshot& s = (*held)[k];
        j.beginObject().key("t").i(s.timestamp).key("eps").fixed(s.events_per_second, 1);
        j.key("events").u(s.events_processed).key("devices").u(s.devices);
        j.key("alerts").u(s.alerts).key("anomalies").u(s.anomalies);
        j.key("nodes").u(s.graph_nodes).key("edges").u(s.graph_edges).endObject();
    }
    j.endArray();
    return j.err();
}

}  // namespace tarvex
