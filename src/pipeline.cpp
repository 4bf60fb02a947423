// pipeline.cpp: processEvent, its periodic work, and the source handlers.
#include "pipeline.h"

#include <cstring>

#include "common/clock.h"
#include "common/format.h"
#include "common/log.h"
#include "common/mac.h"
#include "common/text.h"
#include "ingest/classify.h"
#include "ingest/dhcp.h"
#include "ingest/dns.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

// A decimal octet-ish number (at most 3 digits, 0..255) between the first and
// second dots of an address text, or -1.
int secondOctet(std::string_view text) {
    size_t first = text.find('.');
    if (first == std::string_view::npos) return -1;
    size_t second = text.find('.', first + 1);
    if (second == std::string_view::npos) return -1;
    std::string_view part = text.substr(first + 1, second - first - 1);
    if (part.empty() || part.size() > 3) return -1;
    int v = 0;
    for (char c : part) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v <= 255 ? v : -1;
}

bool startsWith(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

std::string_view protocolText(FirewallEvent::Protocol p) {
    switch (p) {
        case FirewallEvent::Protocol::tcp:
            return "tcp";
        case FirewallEvent::Protocol::udp:
            return "udp";
        case FirewallEvent::Protocol::icmp:
            return "icmp";
        case FirewallEvent::Protocol::unknown:
            return "unk";
    }
    return "unk";
}

bool isZeroMac(const u8 mac[6]) {
    for (int i = 0; i < 6; ++i)
        if (mac[i]) return false;
    return true;
}

void batchTrampoline(void* ctx, const Datagram* batch, unsigned count, u64 kernel_drops) {
    static_cast<Pipeline*>(ctx)->processBatchLocked(batch, count, kernel_drops);
}
void runBegin(void* ctx) {
    static_cast<Pipeline*>(ctx)->state_lock.lockExclusive();
}
void runEnd(void* ctx) {
    static_cast<Pipeline*>(ctx)->state_lock.unlockExclusive();
}

}  // namespace

bool isLocalIp(std::string_view text) {
    if (text.size() < 3) return false;
    if (startsWith(text, "10.") || startsWith(text, "127.") || startsWith(text, "192.168.") ||
        startsWith(text, "169.254.")) {
        return true;
    }
    if (startsWith(text, "172.")) {
        int o = secondOctet(text);
        return o >= 16 && o <= 31;
    }
    if (startsWith(text, "100.")) {
        int o = secondOctet(text);
        return o >= 64 && o <= 127;
    }
    return false;
}

std::optional<Ipv4Result> extractIpv4(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        char c = text[pos];
        if (c < '0' || c > '9') {
            ++pos;
            continue;
        }
        // Read up to four dot-separated digit groups from pos.
        size_t i = pos;
        int dots = 0;
        bool ok = true;
        size_t group_start = i;
        for (;;) {
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
            size_t glen = i - group_start;
            bool dot_next = i < text.size() && text[i] == '.' && dots < 3;
            if (dot_next) {
                // A group ended by a dot: 1 to 3 digits, at most 255.
                if (glen == 0 || glen > 3) {
                    ok = false;
                    break;
                }
                int v = 0;
                for (size_t k = group_start; k < i; ++k) v = v * 10 + (text[k] - '0');
                if (v > 255) {
                    ok = false;
                    break;
                }
                ++dots;
                ++i;
                group_start = i;
                continue;
            }
            // The last group: valid only after three dots, 1 to 3 digits, <= 255.
            if (dots != 3 || glen == 0 || glen > 3) {
                ok = false;
                break;
            }
            int v = 0;
            for (size_t k = group_start; k < i; ++k) v = v * 10 + (text[k] - '0');
            if (v > 255) ok = false;
            break;
        }
        if (ok) return Ipv4Result{text.substr(pos, i - pos), i};
        ++pos;
    }
    return std::nullopt;
}

OuiText macOui(const u8 mac[6]) {
    char full[17];
    formatMac(mac, full);
    OuiText o;
    std::memcpy(o.s, full, 8);
    return o;
}

MacAddr stableHostnameMac(std::string_view hostname) {
    u64 h = 14695981039346656037ull;
    for (char c : hostname) {
        h ^= static_cast<u8>(c);
        h *= 1099511628211ull;
    }
    MacAddr m;
    m.b[0] = static_cast<u8>((h & 0xFC) | 0x02);
    for (int k = 1; k < 6; ++k) m.b[k] = static_cast<u8>((h >> (8 * k)) & 0xFF);
    return m;
}

void Pipeline::init(FingerprintEngine& fp, Graph& g, ActivationMap& am, StreakTracker& st,
                    BaselineEngine& be, AlertManager& al, RingBuffer& ring, Persistence* db,
                    u32 retention_days_) {
    fp_engine = &fp;
    graph = &g;
    act_map = &am;
    streak_tracker = &st;
    baseline_engine = &be;
    alerts = &al;
    events = &ring;
    persistence = db;
    feed = nullptr;
    events_processed = events_dropped = anomalies_detected = collisions_detected = 0;
    std::memset(history, 0, sizeof history);
    last_snapshot_time = last_persist_time = last_retention_time = 0;
    last_snapshot_events = 0;
    history_pos = history_count = 0;
    retention_days = retention_days_;
    clock = wallSeconds;
}

ListenerTarget Pipeline::listenerTarget() {
    return ListenerTarget{this, batchTrampoline, runBegin, runEnd};
}

void Pipeline::processBatch(const Datagram* batch, unsigned count, u64 kernel_drops) {
    ExclusiveGuard hold(state_lock);
    processBatchLocked(batch, count, kernel_drops);
}

void Pipeline::processBatchLocked(const Datagram* batch, unsigned count, u64 kernel_drops) {
    events_dropped = kernel_drops;
    for (unsigned i = 0; i < count; ++i) processEvent(batch[i].bytes(), batch[i].sourceIp());
}

void Pipeline::processEvent(std::string_view bytes, std::string_view source_ip) {
    i64 now = clock();
    // 1-2. Keep the raw text, then classify and parse the whole datagram.
    RawEvent& raw = events->push(bytes, source_ip, now);
    ParsedEvent ev = ingest::classifyAndParse(bytes, now);
    raw.event_type = static_cast<u8>(ev.type);

    // 3. Hand the event to the database batch.
    if (persistence) persistence->submitEvent(static_cast<u8>(ev.type), source_ip, bytes, now);

    // 4. Dispatch.
    switch (ev.type) {
        case EventType::syslog_event:
            processSyslog(ev.syslog, source_ip, bytes);
            break;
        case EventType::dhcp_event:
            processDhcp(ev.dhcp, source_ip);
            break;
        case EventType::dns_event:
            processDns(ev.dns, source_ip);
            break;
        case EventType::firewall:
            processFirewall(ev.firewall, source_ip);
            break;
        case EventType::cef:
            processCef(ev.cef, source_ip);
            break;
        case EventType::unknown:
            break;
    }

    // 5-6. Count, and snapshot every 5 s of event-driven time.
    events_processed += 1;
    now = clock();
    if (now - last_snapshot_time >= kSnapshotInterval) recordSnapshot(now);

    // 7. Graph snapshot every 30 s and retention purge every hour; the
    // persistence thread does the writing.
    if (persistence) {
        if (now - last_persist_time >= kGraphPersistInterval && persistence->submitGraph(*graph))
            last_persist_time = now;
        if (now - last_retention_time >= kRetentionInterval) {
            persistence->submitPurge(retention_days);
            last_retention_time = now;
        }
    }

    // 8. Collision detection on every 100th event.
    if (events_processed % kCollisionEvery == 0) {
        collisions_detected +=
            runCollisionDetection(*act_map, *streak_tracker, *graph, *alerts, feed);
    }

    // 9. The event batch is flushed by the persistence thread as it takes
    // each event (at 100 buffered events or 5 s after the last flush).

    // 10. Live statistics on every 50th event, only when someone listens.
    if (events_processed % kLiveStatsEvery == 0 && liveFeedListening(feed)) {
        publishStats(feed, liveStats());
    }
}

void Pipeline::recordSnapshot(i64 now) {
    StatsSnapshot& s = history[history_pos % kHistoryCapacity];
    s.timestamp = now;
    s.events_processed = events_processed;
    s.anomalies = anomalies_detected;
    s.events_per_second = static_cast<f32>(events_processed - last_snapshot_events) /
                          static_cast<f32>(now - last_snapshot_time);
    s.devices = fp_engine->device_count;
    s.alerts = alerts->alert_count;
    s.graph_nodes = graph->node_count;
    s.graph_edges = graph->edge_count;
    history_pos += 1;
    history_count = history_count + 1 < kHistoryCapacity ? history_count + 1 : kHistoryCapacity;
    last_snapshot_time = now;
    last_snapshot_events = events_processed;
}

Stats Pipeline::getStats() const {
    Stats s;
    s.events_processed = events_processed;
    s.events_dropped = events_dropped;
    s.anomalies_detected = anomalies_detected;
    s.collisions_detected = collisions_detected;
    s.devices_tracked = fp_engine->device_count;
    s.active_alerts = alerts->alert_count;
    s.graph_nodes = graph->node_count;
    s.graph_edges = graph->edge_count;
    return s;
}

f32 Pipeline::currentEps() const {
    if (history_pos == 0) return 0.0f;
    return history[(history_pos - 1) % kHistoryCapacity].events_per_second;
}

u32 Pipeline::getHistory(StatsSnapshot (&out)[kHistoryCapacity]) const {
    if (history_count < kHistoryCapacity) {
        std::memcpy(out, history, sizeof(StatsSnapshot) * history_count);
        return history_count;
    }
    u32 start = history_pos % kHistoryCapacity;
    for (u32 i = 0; i < kHistoryCapacity; ++i) out[i] = history[(start + i) % kHistoryCapacity];
    return kHistoryCapacity;
}

LiveStats Pipeline::liveStats() const {
    LiveStats s;
    s.devices = fp_engine->device_count;
    s.alerts = alerts->alert_count;
    s.events_processed = events_processed;
    s.events_per_second = currentEps();
    s.anomalies = anomalies_detected;
    s.graph_nodes = graph->node_count;
    s.graph_edges = graph->edge_count;
    return s;
}

std::optional<u32> Pipeline::ensureNode(std::string_view name, NodeType type) {
    if (const Node* n = graph->findNode(name, type)) return n->id;
    return graph->addNode(name, type);
}

void Pipeline::tryIdentifyDevice(const u8 mac[6]) {
    fp_engine->tryIdentifyDevice(mac);
}

void Pipeline::persistDeviceState(const u8 mac[6], std::string_view fallback_label) {
    if (!persistence) return;
    DeviceRow row{};
    std::memcpy(row.mac, mac, 6);
    std::string_view label = fallback_label;
    if (const DeviceFingerprint* d = fp_engine->findDevice(mac)) {
        if (d->label_len) label = d->getLabel();
        row.confidence = d->confidence;
        row.signal_count = d->signal_count;
    }
    copyBounded(row.label, row.label_len, label);
    persistence->submitDevice(row);
}

void Pipeline::processSyslog(const SyslogMessage&, std::string_view source_ip,
                             std::string_view datagram) {
    i64 now = clock();
    if (!source_ip.empty() && isLocalIp(source_ip)) {
        if (auto id = ensureNode(source_ip, NodeType::ip_address)) graph->bumpAccess(*id, now);
    }
    u32 taken = 0;
    std::string_view rest = datagram;
    while (taken < kSyslogAddressesPerEvent) {
        auto found = extractIpv4(rest);
        if (!found) break;
        rest.remove_prefix(found->span);
        if (found->text == source_ip || !isLocalIp(found->text)) continue;
        if (auto id = ensureNode(found->text, NodeType::ip_address)) graph->bumpAccess(*id, now);
        ++taken;
    }
}

void Pipeline::processDhcp(const DhcpEvent& event, std::string_view source_ip) {
    if (!event.valid || isZeroMac(event.mac)) return;
    std::string_view hostname = event.getHostname();
    std::string_view assigned = event.getAssignedIp();
    std::string_view address = assigned.empty() ? source_ip : assigned;
    bool local_mac = isLocallyAdministeredMac(event.mac);

    MacAddr key;
    if (local_mac) {
        if (hostname.empty()) {
            if (!address.empty()) ensureNode(address, NodeType::ip_address);
            return;
        }
        key = stableHostnameMac(hostname);
    } else {
        std::memcpy(key.b, event.mac, 6);
    }

    OuiText oui = macOui(event.mac);
    fp_engine->observeSignal(key.b, SignalType::manufacturer, oui.view());
    if (!hostname.empty()) fp_engine->observeSignal(key.b, SignalType::hostname, hostname);
    if (event.option55_len) {
        fp_engine->observeSignal(key.b, SignalType::dhcp_profile, event.getOption55());
    }
    if (event.vendor_class_len) {
        fp_engine->observeSignal(key.b, SignalType::vendor_class, event.getVendorClass());
    }
    if (!hostname.empty() && local_mac) {
        if (DeviceFingerprint* d = fp_engine->findDevice(key.b)) d->setLabel(hostname);
    }
    tryIdentifyDevice(key.b);

    MacText key_text = macToString(key.b);
    auto device = ensureNode(key_text.view(), NodeType::device);
    std::optional<u32> ip;
    if (!address.empty()) ip = ensureNode(address, NodeType::ip_address);
    if (device && ip) graph->addEdge(*device, *ip, EdgeType::assigned_to, 0.9f);
    persistDeviceState(key.b, key_text.view());
}

void Pipeline::processDns(const DnsEvent& event, std::string_view source_ip) {
    if (!event.valid) return;
    i64 now = clock();
    std::string_view address = event.client_ip_len ? event.getClientIp() : source_ip;
    if (const Node* node = graph->findNode(address, NodeType::ip_address)) {
        u32 id = node->id;
        Neighbor nbrs[kMaxNeighbors];
        u32 n = graph->getNeighbors(id, 0.0f, nbrs);
        for (u32 i = 0; i < n; ++i) {
            if (nbrs[i].edge_type != EdgeType::assigned_to) continue;
            const Node* dev = graph->getNode(nbrs[i].node_id);
            if (dev) {
                if (auto mac = ingest::dhcp::parseMac(dev->name.slice())) {
                    std::string_view q = event.getQueryName();
                    fp_engine->observeSignal(mac->b, SignalType::dns_behavior, q);
                    if (!q.empty() && ingest::dns::isOsProbe(q)) {
                        fp_engine->observeSignal(mac->b, SignalType::dns_behavior, q);
                    }
                }
            }
            break;  // only the first assigned_to neighbour counts
        }
        graph->bumpAccess(id, now);
        return;
    }
    if (!address.empty()) {
        if (auto id = graph->addNode(address, NodeType::ip_address)) graph->bumpAccess(*id, now);
    }
}

void Pipeline::processFirewall(const FirewallEvent& event, std::string_view source_ip) {
    if (!event.valid) return;
    i64 now = clock();
    std::string_view src = event.src_ip_len ? event.getSrcIp() : source_ip;
    std::string_view dst = event.getDstIp();

    std::optional<u32> src_node, dst_node;
    if (isLocalIp(src)) src_node = ensureNode(src, NodeType::ip_address);
    if (!dst.empty() && isLocalIp(dst)) dst_node = ensureNode(dst, NodeType::ip_address);
    if (src_node && dst_node) {
        graph->addEdge(*src_node, *dst_node, EdgeType::communicates_with, 0.5f);
    }
    if (src_node) graph->bumpAccess(*src_node, now);
    if (dst_node) graph->bumpAccess(*dst_node, now);

    if (event.has_macs && !isLocallyAdministeredMac(event.src_mac)) {
        MacText mac_text = macToString(event.src_mac);
        auto device = ensureNode(mac_text.view(), NodeType::device);
        if (device && src_node) graph->addEdge(*device, *src_node, EdgeType::assigned_to, 0.8f);
        OuiText oui = macOui(event.src_mac);
        fp_engine->observeSignal(event.src_mac, SignalType::manufacturer, oui.view());
        if (!dst.empty()) fp_engine->observeSignal(event.src_mac, SignalType::conn_behavior, dst);
        tryIdentifyDevice(event.src_mac);
    }

    if (event.action == FirewallEvent::Action::drop && src_node) {
        spread(*graph, *act_map, *src_node);
    }

    if (event.dst_port >= 1 && event.dst_port <= 1023 && dst_node) {
        FixedText<16> service;
        formatInto(service, "{}/{}", protocolText(event.protocol), event.dst_port);
        if (auto svc = ensureNode(service.view(), NodeType::service)) {
            graph->addEdge(*dst_node, *svc, EdgeType::assigned_to, 0.7f);
        }
    }

    if (event.has_macs) persistDeviceState(event.src_mac, "");
}

void Pipeline::processCef(const CefEvent& event, std::string_view source_ip) {
    if (!event.valid) return;
    i64 now = clock();
    std::string_view source = event.src_ip_len ? event.getSrcIp() : source_ip;
    std::string_view dst = event.getDstIp();

    // 1-2. Source and destination addresses, and their communication.
    std::optional<u32> src_node, dst_node;
    if (!source.empty()) {
        src_node = ensureNode(source, NodeType::ip_address);
        if (src_node) graph->bumpAccess(*src_node, now);
    }
    if (!dst.empty()) {
        dst_node = ensureNode(dst, NodeType::ip_address);
        if (dst_node) graph->bumpAccess(*dst_node, now);
    }
    if (src_node && dst_node) {
        graph->addEdge(*src_node, *dst_node, EdgeType::communicates_with, 0.5f);
    }

    // 3. Security events start an activation wave at the source.
    std::string_view category = event.getUnifiCategory();
    if (category.size() >= 8 && startsWith(category, "Security") && src_node) {
        spread(*graph, *act_map, *src_node);
    }

    // 4. The client device behind the event.
    std::optional<MacAddr> client;
    if (event.client_mac_len) client = ingest::dhcp::parseMac(event.getClientMac());
    if (client) {
        MacText mac_text = macToString(client->b);
        auto device = ensureNode(mac_text.view(), NodeType::device);
        if (device && src_node) {
            graph->addEdge(*device, *src_node, EdgeType::communicates_with, 0.6f);
        }
        fp_engine->observeSignal(client->b, SignalType::conn_behavior, source);
        tryIdentifyDevice(client->b);
    }

    // 5. Severe events become alerts.
    if (event.severity < 6) return;
    AlertSeverity severity = event.severity >= 8 ? AlertSeverity::critical : AlertSeverity::high;
    std::string_view name = event.getName();
    std::string_view protocol = event.getProtocol();

    FixedText<128> title;
    title.append(name);
    if (!source.empty()) {
        formatInto(title, " - {}", source);
        if (!dst.empty()) {
            formatInto(title, " to {}", dst);
            if (event.dst_port != 0) formatInto(title, ":{}", event.dst_port);
            if (!protocol.empty()) formatInto(title, "/{}", protocol);
        }
    }

    std::string_view description = event.message_len ? event.getMessage() : name;

    FixedText<2048> evidence;
    evidence.append(name);
    if (!dst.empty() && event.dst_port != 0) {
        formatInto(evidence, ": {} to {}:{}", source, dst, event.dst_port);
        if (!protocol.empty()) formatInto(evidence, "/{}", protocol);
        evidence.append(".");
    } else if (!dst.empty()) {
        formatInto(evidence, ": {} to {}.", source, dst);
    } else {
        formatInto(evidence, " from {}.", source);
    }
    evidence.append("\n");
    formatInto(evidence, "\nSource: {}\n", source);
    if (!dst.empty()) {
        formatInto(evidence, "Destination: {}", dst);
        if (event.dst_port != 0) formatInto(evidence, ":{}", event.dst_port);
        evidence.append("\n");
    }
    if (!protocol.empty()) formatInto(evidence, "Protocol: {}\n", protocol);
    if (event.src_port != 0) formatInto(evidence, "Source Port: {}\n", event.src_port);
    if (event.client_mac_len) formatInto(evidence, "Client MAC: {}\n", event.getClientMac());
    if (event.device_vendor_len) formatInto(evidence, "Vendor: {}\n", event.getDeviceVendor());
    if (event.device_product_len) {
        formatInto(evidence, "Product: {}\n", event.getDeviceProduct());
    }
    if (!category.empty()) formatInto(evidence, "Category: {}\n", category);
    if (event.unifi_subcategory_len) {
        formatInto(evidence, "Subcategory: {}\n", event.getUnifiSubcategory());
    }
    formatInto(evidence, "CEF Severity: {}/10\n", event.severity);
    if (event.signature_id_len) formatInto(evidence, "Signature: {}\n", event.getSignatureId());

    u8 source_mac[6] = {};
    if (client) std::memcpy(source_mac, client->b, 6);
    u32 id = alerts->createAlert(title.view(), description, severity, 0.0f, source_mac, 0);
    if (id == 0) return;
    if (Alert* a = alerts->getAlert(id)) {
        a->setEvidence(evidence.view());
        a->setSourceIp(source);
        if (!dst.empty()) a->setDestIp(dst);
    }
    logInfo("pipeline", "CEF high-severity alert created: id={} severity={}", id, event.severity);
    publishAlert(feed, id, title.view(), severityName(severity));
    if (persistence) {
        if (const Alert* a = alerts->getAlert(id))
            persistence->submitAlert(AlertRow::fromAlert(*a));
    }
}

}  // namespace tarvex
