// metrics.cpp: GET /metrics in the Prometheus text format.
#include "api/metrics.h"

#include "api/json.h"
#include "api/stats.h"
#include "api/ws.h"
#include "common/format.h"
#include "common/table.h"
#include "engine_state.h"
#include "http/server.h"
#include "ingest/event.h"
#include "ingest/stream_listener.h"
#include "notify/notifier.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

constexpr u32 kEventTypes = static_cast<u32>(EventType::unknown) + 1;
constexpr u32 kSeverities = static_cast<u32>(AlertSeverity::critical) + 1;

// Writes into the response body one family at a time: its HELP and TYPE
// lines, then its samples.
class Exposition {
  public:
    explicit Exposition(BodyWriter& out) : out_(out) {}

    void family(std::string_view name, std::string_view type, std::string_view help) {
        line("# HELP {} {}\n", name, help);
        line("# TYPE {} {}\n", name, type);
    }
    void sample(std::string_view name, u64 value) { line("{} {}\n", name, value); }
    void sample(std::string_view name, std::string_view label, std::string_view label_value,
                u64 value) {
        FixedText<256> t;
        t.append(name);
        t.append("{");
        t.append(label);
        t.append("=\"");
        t.append(label_value);
        formatInto(t, "\"} {}\n", value);
        out_.append(t.view());
    }
    void fixed(std::string_view name, f32 value) {
        FixedText<96> t;
        formatInto(t, "{} ", name);
        appendJsonFixed(t, value, 1);
        t.append("\n");
        out_.append(t.view());
    }

  private:
    template <class... A>
    void line(const char* pattern, const A&... args) {
        FixedText<256> t;
        formatInto(t, pattern, args...);
        out_.append(t.view());
    }
    BodyWriter& out_;
};

}  // namespace

Err handleMetrics(ServerState& state, HttpRequest&, HttpResponse& res) {
    res.content_type = ContentType::metrics;
    EngineState& engine = *state.engine;
    CountersSnapshot c;
    u64 devices;
    u64 by_type[kEventTypes];
    u64 by_severity[kSeverities] = {};
    {
        SharedGuard hold(engine.lock);
        c = engine.readCounters();
        devices = u64{c.devices} + countActiveIpNodes(*engine.graph);
        for (u32 t = 0; t < kEventTypes; ++t) by_type[t] = engine.counters.events_by_type[t];
        const AlertManager& am = *engine.alerts;
        forEachActiveSlot(am.alerts, am.alert_count, [&](u32, const Alert& a) {
            const u32 s = static_cast<u32>(a.severity);
            if (s < kSeverities) ++by_severity[s];
            return true;
        });
    }

    Exposition m(res.writer());
    m.family("tarvex_events_processed_total", "counter", "Datagrams taken through the pipeline.");
    m.sample("tarvex_events_processed_total", c.events_processed);
    m.family("tarvex_events_total", "counter", "Datagrams by the kind of line they were read as.");
    for (u32 t = 0; t < kEventTypes; ++t) {
        m.sample("tarvex_events_total", "type", eventTypeName(static_cast<EventType>(t)),
                 by_type[t]);
    }
    Persistence::Counters db{};
    if (state.db) db = state.db->counters();
    m.family("tarvex_events_dropped_total", "counter",
             "Events lost: dropped by the kernel on the full receive buffer, or refused by the "
             "full database write queue.");
    m.sample("tarvex_events_dropped_total", "reason", "kernel", c.events_dropped);
    m.sample("tarvex_events_dropped_total", "reason", "write_queue", db.events_refused);
    m.family("tarvex_events_per_second", "gauge",
             "Events per second over the newest 5-second snapshot.");
    m.fixed("tarvex_events_per_second", c.events_per_second);
    m.family("tarvex_anomalies_total", "counter", "Anomalies detected.");
    m.sample("tarvex_anomalies_total", c.anomalies);
    m.family("tarvex_collisions_total", "counter", "Activation collisions detected.");
    m.sample("tarvex_collisions_total", c.collisions);
    m.family("tarvex_devices", "gauge",
             "Devices: those fingerprinted and the local addresses seen without one.");
    m.sample("tarvex_devices", devices);
    m.family("tarvex_fingerprinted_devices", "gauge", "Devices known by their hardware address.");
    m.sample("tarvex_fingerprinted_devices", c.devices);
    m.family("tarvex_alerts", "gauge", "Alerts held, by severity.");
    for (u32 s = 0; s < kSeverities; ++s) {
        m.sample("tarvex_alerts", "severity", severityName(static_cast<AlertSeverity>(s)),
                 by_severity[s]);
    }
    m.family("tarvex_graph_nodes", "gauge", "Nodes of the entity graph.");
    m.sample("tarvex_graph_nodes", c.graph_nodes);
    m.family("tarvex_graph_edges", "gauge", "Edges of the entity graph.");
    m.sample("tarvex_graph_edges", c.graph_edges);
    m.family("tarvex_database_configured", "gauge", "1 when a database copy is kept.");
    m.sample("tarvex_database_configured", state.db ? 1 : 0);
    m.family("tarvex_database_events_written_total", "counter", "Events written to the database.");
    m.sample("tarvex_database_events_written_total", db.events_written);
    m.family("tarvex_database_write_failures_total", "counter",
             "Event writes that failed (the events are kept and retried).");
    m.sample("tarvex_database_write_failures_total", db.write_failures);
    static const StreamCounters kNoStreams;
    const StreamCounters& st = state.streams ? *state.streams : kNoStreams;
    auto load = [](const auto& a) { return static_cast<u64>(a.load(std::memory_order_relaxed)); };
    const u64 stream_open = load(st.connections), tls_open = load(st.tls_connections);
    m.family("tarvex_stream_connections", "gauge", "Syslog stream connections open, by transport.");
    m.sample("tarvex_stream_connections", "transport", "tcp",
             stream_open > tls_open ? stream_open - tls_open : 0);
    m.sample("tarvex_stream_connections", "transport", "tls", tls_open);
    m.family("tarvex_stream_connections_accepted_total", "counter",
             "Syslog stream connections accepted.");
    m.sample("tarvex_stream_connections_accepted_total", load(st.accepted));
    m.family("tarvex_stream_connections_refused_total", "counter",
             "Syslog stream connections refused: all slots taken, or too many from one address.");
    m.sample("tarvex_stream_connections_refused_total", "reason", "total_limit",
             load(st.refused_total));
    m.sample("tarvex_stream_connections_refused_total", "reason", "sender_limit",
             load(st.refused_sender));
    m.family("tarvex_stream_connections_closed_total", "counter",
             "Syslog stream connections closed by the daemon: idle, a frame that cannot be "
             "right, a failed TLS session.");
    m.sample("tarvex_stream_connections_closed_total", "reason", "idle", load(st.closed_idle));
    m.sample("tarvex_stream_connections_closed_total", "reason", "bad_frame",
             load(st.closed_bad_frame));
    m.sample("tarvex_stream_connections_closed_total", "reason", "tls", load(st.tls_failures));
    m.family("tarvex_stream_messages_total", "counter",
             "Messages taken from syslog streams; cut: longer than 4096 bytes; incomplete: a "
             "frame the end of its connection cut off (dropped).");
    m.sample("tarvex_stream_messages_total", "outcome", "received", load(st.messages));
    m.sample("tarvex_stream_messages_total", "outcome", "cut", load(st.messages_cut));
    m.sample("tarvex_stream_messages_total", "outcome", "incomplete", load(st.frames_incomplete));
    m.family("tarvex_websocket_clients", "gauge", "Live-feed clients connected.");
    m.sample("tarvex_websocket_clients", feedClientCount());
    m.family("tarvex_http_requests_total", "counter", "HTTP requests answered, by status code.");
    if (state.http) {
        char code[4] = {};
        for (u16 s = 100; s < 600; ++s) {
            const u64 n = state.http->responses(s);
            if (n == 0) continue;
            code[0] = static_cast<char>('0' + s / 100);
            code[1] = static_cast<char>('0' + s / 10 % 10);
            code[2] = static_cast<char>('0' + s % 10);
            m.sample("tarvex_http_requests_total", "code", std::string_view(code, 3), n);
        }
    }
    Notifier::Counters notes{};
    if (state.notifier) notes = state.notifier->counters();
    m.family("tarvex_notifications_configured", "gauge", "1 when alerts are pushed to NOTIFY_URL.");
    m.sample("tarvex_notifications_configured", state.notifier ? 1 : 0);
    m.family("tarvex_notifications_total", "counter",
             "Notifications: sent (alerts and digests delivered), failed (given up after every "
             "attempt), dropped (alerts refused by the full queue or left at the stop), digested "
             "(alerts the limit of 30 a minute folded into a digest).");
    m.sample("tarvex_notifications_total", "outcome", "sent", notes.sent);
    m.sample("tarvex_notifications_total", "outcome", "failed", notes.failed);
    m.sample("tarvex_notifications_total", "outcome", "dropped", notes.dropped);
    m.sample("tarvex_notifications_total", "outcome", "digested", notes.digested);
    return res.writer().err();
}

}  // namespace tarvex
