// devices.cpp: the device and entity-graph endpoints.
#include "api/devices.h"

#include <cstring>

#include "api/body.h"
#include "api/json.h"
#include "api/local_copy.h"
#include "api/params.h"
#include "common/address.h"
#include "common/log.h"
#include "common/mac.h"
#include "common/state_lock.h"
#include "common/table.h"
#include "common/text.h"
#include "engine/baseline.h"
#include "engine/fingerprint.h"
#include "engine/graph.h"
#include "engine/identity.h"
#include "engine_state.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

constexpr u32 kMaxListEntries = 8192;
constexpr u32 kRecentEvents = 50;
constexpr u32 kMaxSimilar = 10;
constexpr f32 kSimilarAbove = 0.5f;
constexpr u32 kMaxBuckets = 120;
constexpr i64 kBucketSeconds = 30;
constexpr u32 kGraphDefaultLimit = 200;
constexpr u32 kGraphMaxLimit = 10000;
constexpr u32 kNodeTypeCount = 7;

constexpr std::string_view kBodyDeviceNotFound = "{\"error\":\"device not found\"}";
constexpr std::string_view kBodyNoBaseline = "{\"error\":\"no baseline data for device\"}";

bool inActiveWindow(i64 t, i64 now) {
    return t >= 1 && now - t < kDeviceActiveWindow;
}

// ---- the device list ------------------------------------------------------

// What identification says about a device, copied under the lock.
struct IdentityCopy {
    u8 hostname_len, vendor_len, kind_len, evidence_len;
    char hostname[kHostnameCap];
    char vendor[kVendorNameCap];
    char kind[kUserKindCap];
    char evidence[kEvidenceCap];

    void take(const DeviceFingerprint& d) {
        copyBounded(hostname, hostname_len, d.getHostname());
        copyBounded(vendor, vendor_len, d.getVendor());
        copyBounded(kind, kind_len, identity::kindOf(d));
        copyBounded(evidence, evidence_len, d.getEvidence());
    }
    // The keys after a device entry's own: "hostname", "vendor", "kind",
    // "evidence".
    void write(JsonWriter& j) const {
        j.key("hostname").str({hostname, hostname_len}).key("vendor").str({vendor, vendor_len});
        j.key("kind").str({kind, kind_len}).key("evidence").str({evidence, evidence_len});
    }
};

bool containsFolded(std::string_view hay, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > hay.size()) return false;
    auto low = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && low(hay[i + k]) == low(needle[k])) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

// Whether the search text occurs in the device's address, label, host name,
// vendor or kind (letter case ignored).
bool deviceMatches(const DeviceFingerprint& d, std::string_view search) {
    MacText mac = macToString(d.mac);
    return containsFolded(mac.view(), search) || containsFolded(d.displayLabel(), search) ||
           containsFolded(d.getLabel(), search) || containsFolded(d.getHostname(), search) ||
           containsFolded(d.getVendor(), search) || containsFolded(identity::kindOf(d), search);
}

struct ListEntry {
    i64 last_seen;
    u32 index;  // device slot or graph node slot
    bool address;
};

struct ListRow {
    i64 first_seen;
    i64 last_seen;
    f32 confidence;
    u32 signal_count;
    u8 mac[6];
    bool address;
    u8 label_len;
    u8 ip_len;
    char label[kLabelCap];
    char ip[kNameCap];
    IdentityCopy id;
};
static_assert(kNameCap <= kLabelCap, "an address entry's label holds a node name");

// The name of the first address node that the device's graph node is
// assigned to, in edge-slot order; empty without a node or such an edge.
std::string_view assignedAddress(const Graph& g, const u8 mac[6]) {
    MacText text = macToString(mac);
    const Node* dev = g.findNode(text.view(), NodeType::device);
    if (!dev) return {};
    std::string_view found;
    g.forEachOutEdge(dev->id, [&](const Edge& e) {
        if (e.edge_type != EdgeType::assigned_to) return true;
        const Node* target = g.getNode(e.target);
        if (!target || target->node_type != NodeType::ip_address) return true;
        found = target->name.slice();
        return false;
    });
    return found;
}

// Whether an active device node is assigned to this address node.
bool assignedToDevice(const Graph& g, u32 node) {
    bool assigned = false;
    g.forEachInEdge(node, [&](const Edge& e) {
        if (e.edge_type != EdgeType::assigned_to) return true;
        const Node* source = g.getNode(e.source);
        assigned = source && source->node_type == NodeType::device;
        return !assigned;
    });
    return assigned;
}

}  // namespace

Err handleListDevices(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    const QueryParams* q = queryOrBadRequest(req, res);
    if (!q) return Err::None;
    const QueryParams& query = *q;
    const Paging page = parsePaging(query);
    const std::string_view search = query.get("search");
    bool has_status = false;
    const std::string_view status = query.get("status", &has_status);
    const bool want_active = !has_status || status == "active";

    ListEntry* entries = arenaArray<ListEntry>(*req.arena, kMaxListEntries);
    ListEntry* scratch = arenaArray<ListEntry>(*req.arena, kMaxListEntries);
    ListRow* rows = arenaArray<ListRow>(*req.arena, page.limit);
    if (!entries || !scratch || !rows) return Err::OutOfMemory;

    u32 total = 0;
    u32 shown = 0;
    {
        SharedGuard hold(state.engine->lock);
        const i64 now = apiNow(state);
        const FingerprintEngine& fp = *state.engine->fp;
        const Graph& g = *state.engine->graph;
        u32 n = 0;
        forEachActiveSlot(fp.devices, fp.device_count, [&](u32 i, const DeviceFingerprint& d) {
            if (inActiveWindow(d.last_seen, now) != want_active) return true;
            if (!search.empty() && !deviceMatches(d, search)) return true;
            entries[n++] = {d.last_seen, i, false};
            return n < kMaxListEntries;
        });
        if (n < kMaxListEntries) {
            forEachActiveSlot(g.nodes, g.node_count, [&](u32 i, const Node& node) {
                if (node.node_type != NodeType::ip_address) return true;
                if (!isLocalIp(node.name.slice())) return true;
                if (inActiveWindow(node.last_activated, now) != want_active) return true;
                if (!search.empty() && !containsBytes(node.name.slice(), search)) return true;
                if (assignedToDevice(g, i)) return true;
                entries[n++] = {node.last_activated, i, true};
                return n < kMaxListEntries;
            });
        }
        stableSort(entries, scratch, n, [](const ListEntry& a, const ListEntry& b) {
            return a.last_seen > b.last_seen;
        });

        total = n;
        const u32 start = page.offset < total ? page.offset : total;
        shown = total - start < page.limit ? total - start : page.limit;
        for (u32 k = 0; k < shown; ++k) {
            const ListEntry& e = entries[start + k];
            ListRow& r = rows[k];
            r.address = e.address;
            if (e.address) {
                const Node& node = g.nodes[e.index];
                copyBounded(r.label, r.label_len, node.name.slice());
                r.ip_len = 0;
                r.signal_count = node.access_count;
                r.last_seen = node.last_activated;
                continue;
            }
            const DeviceFingerprint& d = fp.devices[e.index];
            std::memcpy(r.mac, d.mac, 6);
            copyBounded(r.label, r.label_len, d.displayLabel());
            r.id.take(d);
            copyBounded(r.ip, r.ip_len, assignedAddress(g, d.mac));
            r.confidence = d.confidence;
            r.signal_count = d.signal_count;
            r.first_seen = d.first_seen;
            r.last_seen = d.last_seen;
        }
    }

    JsonWriter j(res.writer());
    j.beginObject().key("devices").beginArray();
    for (u32 k = 0; k < shown; ++k) {
        const ListRow& r = rows[k];
        const std::string_view label(r.label, r.label_len);
        if (r.address) {
            j.beginObject()
                .key("mac")
                .str("00:00:00:00:00:00")
                .key("label")
                .str(label)
                .key("confidence")
                .fixed(0.0)
                .key("signal_count")
                .u(r.signal_count)
                .key("first_seen")
                .i(0)
                .key("last_seen")
                .i(r.last_seen)
                .key("type")
                .str("ip")
                .endObject();
            continue;
        }
        j.beginObject()
            .key("mac")
            .mac(r.mac)
            .key("label")
            .str(label)
            .key("ip")
            .str({r.ip, r.ip_len})
            .key("confidence")
            .fixed(r.confidence)
            .key("signal_count")
            .u(r.signal_count)
            .key("first_seen")
            .i(r.first_seen)
            .key("last_seen")
            .i(r.last_seen)
            .key("type")
            .str("fingerprinted");
        r.id.write(j);
        j.endObject();
    }
    j.endArray().key("total").u(total).key("limit").u(page.limit).key("offset").u(page.offset);
    j.endObject();
    return j.err();
}

// ---- one device -----------------------------------------------------------

namespace {

struct NeighborRow {
    f32 weight;
    NodeType type;
    EdgeType edge_type;
    u8 name_len;
    char name[kNameCap];
};

struct DeviceDetail {
    bool has_node;
    bool has_device;
    NodeType node_type;
    u32 node_access;
    i64 node_last;
    f32 activation;
    u32 device_signals;
    i64 device_last_seen;
    u8 label_len, user_name_len, user_kind_len;
    char label[kLabelCap];
    char user_name[kLabelCap];
    char user_kind[kUserKindCap];
    IdentityCopy id;
    u32 neighbor_count;
    NeighborRow neighbors[kMaxNeighbors];
};

// The lowest-slot active node named `name` among the first `type_count`
// node types of `types`.
const Node* lowestNodeNamed(const Graph& g, std::string_view name, const NodeType* types,
                            u32 type_count) {
    const Node* best = nullptr;
    for (u32 t = 0; t < type_count; ++t) {
        const Node* n = g.findNode(name, types[t]);
        if (n && (!best || n->id < best->id)) best = n;
    }
    return best;
}

constexpr NodeType kAllNodeTypes[kNodeTypeCount] = {
    NodeType::device, NodeType::ip_address, NodeType::dns_name, NodeType::service,
    NodeType::user,   NodeType::network,    NodeType::alert,
};
constexpr NodeType kDeviceOrAddress[2] = {NodeType::device, NodeType::ip_address};

// Whether a raw event concerns `id`: sent from it, or naming it.
bool eventMentions(const RawEvent& e, std::string_view id) {
    return e.active && (e.getSourceIp() == id || containsBytes(e.getData(), id));
}

// The device an `/api/devices/:id...` path names: the one with that address
// (its text in either case), else the first in slot order with that label
// or user's name.
const DeviceFingerprint* deviceById(const FingerprintEngine& fp, std::string_view id) {
    if (auto mac = parseMac(id)) {
        if (const DeviceFingerprint* d = fp.findDevice(mac->b)) return d;
    }
    const DeviceFingerprint* found = nullptr;
    forEachActiveSlot(fp.devices, fp.device_count, [&](u32, const DeviceFingerprint& d) {
        if ((d.label_len != 0 && d.getLabel() == id) ||
            (d.user_name_len != 0 && d.getUserName() == id))
            found = &d;
        return found == nullptr;
    });
    return found;
}

}  // namespace

Err handleGetDevice(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    char buf[kPercentDecodeBytes];
    const std::string_view id = percentDecode(req.param("id"), buf);
    if (id.empty()) return replyJson(res, 404, kBodyNotFound);

    EventCopy* events = arenaArray<EventCopy>(*req.arena, kRecentEvents);
    if (!events) return Err::OutOfMemory;
    DeviceDetail dd{};
    u32 event_count = 0;
    {
        SharedGuard hold(state.engine->lock);
        const FingerprintEngine& fp = *state.engine->fp;
        const Graph& g = *state.engine->graph;

        // A node named exactly so, else a device by address, else by label.
        const Node* node = lowestNodeNamed(g, id, kDeviceOrAddress, 2);
        const DeviceFingerprint* dev = nullptr;
        if (!node) {
            dev = deviceById(fp, id);
            if (dev) {
                node =
                    lowestNodeNamed(g, macToString(dev->mac).view(), kAllNodeTypes, kNodeTypeCount);
            }
        }
        if (!node && !dev) return replyJson(res, 404, kBodyNotFound);

        dd.has_node = node != nullptr;
        dd.has_device = dev != nullptr;
        dd.neighbor_count = 0;
        if (node) {
            dd.node_type = node->node_type;
            dd.node_access = node->access_count;
            dd.node_last = node->last_activated;
            dd.activation = node->activation;
            Neighbor nbrs[kMaxNeighbors];
            dd.neighbor_count = g.getNeighbors(node->id, 0.0f, nbrs);
            for (u32 k = 0; k < dd.neighbor_count; ++k) {
                NeighborRow& r = dd.neighbors[k];
                r.weight = nbrs[k].weight;
                r.edge_type = nbrs[k].edge_type;
                r.type = g.nodes[nbrs[k].node_id].node_type;
                copyBounded(r.name, r.name_len, nbrs[k].name.slice());
            }
        }
        if (dev) {
            dd.device_signals = dev->signal_count;
            dd.device_last_seen = dev->last_seen;
            copyBounded(dd.label, dd.label_len, dev->displayLabel());
            copyBounded(dd.user_name, dd.user_name_len, dev->getUserName());
            copyBounded(dd.user_kind, dd.user_kind_len, dev->getUserKind());
            dd.id.take(*dev);
        } else if (node && node->node_type == NodeType::device) {
            if (auto mac = parseMac(node->name.slice())) {
                if (const DeviceFingerprint* d = fp.findDevice(mac->b)) {
                    copyBounded(dd.label, dd.label_len, d->displayLabel());
                    copyBounded(dd.user_name, dd.user_name_len, d->getUserName());
                    copyBounded(dd.user_kind, dd.user_kind_len, d->getUserKind());
                    dd.id.take(*d);
                }
            }
        }
        const RingBuffer& ring = *state.engine->ring;
        const u32 held = ring.occupancy();
        for (u32 i = 0; i < held && event_count < kRecentEvents; ++i) {
            const RawEvent& e = ring.newest(i);
            if (eventMentions(e, id)) copyEvent(e, events[event_count++]);
        }
    }

    JsonWriter j(res.writer());
    j.beginObject().key("id").str(id);
    j.key("type").str(dd.has_node ? nodeTypeName(dd.node_type) : "fingerprinted");
    j.key("signal_count").u(dd.has_device ? dd.device_signals : dd.node_access);
    j.key("last_seen").i(dd.has_device ? dd.device_last_seen : dd.node_last);
    j.key("activation").fixed(dd.has_node ? dd.activation : 0.0);
    j.key("neighbors").beginArray();
    for (u32 k = 0; k < dd.neighbor_count; ++k) {
        const NeighborRow& r = dd.neighbors[k];
        j.beginObject()
            .key("name")
            .str({r.name, r.name_len})
            .key("type")
            .str(nodeTypeName(r.type))
            .key("edge_type")
            .str(edgeTypeName(r.edge_type))
            .key("weight")
            .fixed(r.weight)
            .endObject();
    }
    j.endArray().key("recent_events").beginArray();
    for (u32 k = 0; k < event_count; ++k) writeEventJson(j, events[k], false);
    j.endArray();
    // Identification of the device record (empty for a bare address node).
    j.key("label").str({dd.label, dd.label_len});
    dd.id.write(j);
    j.key("user_name").str({dd.user_name, dd.user_name_len});
    j.key("user_kind").str({dd.user_kind, dd.user_kind_len});
    j.endObject();
    return j.err();
}

namespace {

constexpr std::string_view kBodyBadOverride =
    "{\"error\":\"expected a JSON object with \\\"name\\\" and/or \\\"kind\\\" strings\"}";
constexpr std::string_view kBodyOverrideTooLong =
    "{\"error\":\"name is at most 64 bytes, kind at most 32\"}";

}  // namespace

Err handlePutDevice(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    char buf[kPercentDecodeBytes];
    const std::string_view id = percentDecode(req.param("id"), buf);
    if (id.empty()) return replyJson(res, 404, kBodyNotFound);
    if (!hasRequestBody(req)) return replyJson(res, 400, kBodyBadOverride);
    JsonBody body(req.body);
    if (!body.isObject()) return replyJson(res, 400, kBodyBadOverride);
    const bool has_name = hasJsonMember(body, "name");
    const bool has_kind = hasJsonMember(body, "kind");
    const std::optional<std::string_view> name = extractJsonString(body, "name");
    const std::optional<std::string_view> kind = extractJsonString(body, "kind");
    if ((!has_name && !has_kind) || (has_name && !name) || (has_kind && !kind))
        return replyJson(res, 400, kBodyBadOverride);
    if ((name && name->size() > kLabelCap) || (kind && kind->size() > kUserKindCap))
        return replyJson(res, 400, kBodyOverrideTooLong);

    DeviceRow row{};
    {
        ExclusiveGuard hold(state.engine->lock);
        FingerprintEngine& fp = *state.engine->fp;
        DeviceFingerprint* d = const_cast<DeviceFingerprint*>(deviceById(fp, id));
        if (!d) return replyJson(res, 404, kBodyDeviceNotFound);
        if (name) copyBounded(d->user_name, d->user_name_len, *name);
        if (kind) copyBounded(d->user_kind, d->user_kind_len, *kind);
        d->user_known = true;
        row = DeviceRow::of(*d, d->getLabel());
    }
    logInfo("api", "device {} corrected: name \"{}\", kind \"{}\"", macToString(row.mac).view(),
            row.getUserName(), row.getUserKind());
    if (state.db) state.db->submitDevice(row);
    // Answer with the device, under its address.
    MacText mac = macToString(row.mac);
    for (u32 i = 0; i < req.param_count; ++i)
        if (req.params[i].name == "id") req.params[i].value = mac.view();
    return handleGetDevice(state, req, res);
}

Err handleGetDeviceActivity(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    char buf[kPercentDecodeBytes];
    const std::string_view id = percentDecode(req.param("id"), buf);
    if (id.empty()) return replyJson(res, 404, kBodyNotFound);

    struct Bucket {
        i64 start;
        u32 count;
    };
    Bucket buckets[kMaxBuckets];
    Bucket scratch[kMaxBuckets];
    u32 n = 0;
    {
        SharedGuard hold(state.engine->lock);
        const RingBuffer& ring = *state.engine->ring;
        const u32 held = ring.occupancy();
        for (u32 i = 0; i < held; ++i) {
            const RawEvent& e = ring.newest(i);
            if (!eventMentions(e, id)) continue;
            i64 rem = e.timestamp % kBucketSeconds;
            if (rem < 0) rem += kBucketSeconds;
            const i64 start = e.timestamp - rem;
            u32 b = 0;
            while (b < n && buckets[b].start != start) ++b;
            if (b < n) {
                ++buckets[b].count;
            } else if (n < kMaxBuckets) {
                buckets[n++] = {start, 1};
            }
        }
    }
    stableSort(buckets, scratch, n,
               [](const Bucket& a, const Bucket& b) { return a.start < b.start; });

    JsonWriter j(res.writer());
    j.beginArray();
    for (u32 b = 0; b < n; ++b)
        j.beginObject().key("t").i(buckets[b].start).key("count").u(buckets[b].count).endObject();
    j.endArray();
    return j.err();
}

Err handleGetSimilarDevices(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    char buf[kPercentDecodeBytes];
    const std::string_view id = percentDecode(req.param("id"), buf);
    if (id.empty()) return replyJson(res, 404, kBodyNotFound);

    struct Kept {
        u32 index;
        f32 similarity;
    };
    struct SimilarRow {
        f32 similarity;
        f32 confidence;
        u8 mac[6];
        u8 label_len;
        char label[kLabelCap];
    };
    Kept kept[kMaxSimilar];
    Kept scratch[kMaxSimilar];
    SimilarRow rows[kMaxSimilar];
    u32 n = 0;
    {
        SharedGuard hold(state.engine->lock);
        const FingerprintEngine& fp = *state.engine->fp;
        const DeviceFingerprint* dev = deviceById(fp, id);
        if (!dev) return replyJson(res, 404, kBodyDeviceNotFound);
        forEachActiveSlot(fp.devices, fp.device_count, [&](u32 i, const DeviceFingerprint& other) {
            if (&other == dev || std::memcmp(other.mac, dev->mac, 6) == 0) return true;
            const f32 s = ConceptVector::similarity(dev->vector, other.vector);
            if (!(s > kSimilarAbove)) return true;
            if (n < kMaxSimilar) {
                kept[n++] = {i, s};
                return true;
            }
            u32 low = 0;
            for (u32 k = 1; k < n; ++k)
                if (kept[k].similarity < kept[low].similarity) low = k;
            if (s > kept[low].similarity) kept[low] = {i, s};
            return true;
        });
        stableSort(kept, scratch, n,
                   [](const Kept& a, const Kept& b) { return a.similarity > b.similarity; });
        for (u32 k = 0; k < n; ++k) {
            const DeviceFingerprint& d = fp.devices[kept[k].index];
            rows[k].similarity = kept[k].similarity;
            rows[k].confidence = d.confidence;
            std::memcpy(rows[k].mac, d.mac, 6);
            copyBounded(rows[k].label, rows[k].label_len, d.getLabel());
        }
    }

    JsonWriter j(res.writer());
    j.beginObject().key("device").str(id).key("similar").beginArray();
    for (u32 k = 0; k < n; ++k) {
        j.beginObject()
            .key("mac")
            .mac(rows[k].mac)
            .key("label")
            .str({rows[k].label, rows[k].label_len})
            .key("similarity")
            .fixed(rows[k].similarity)
            .key("confidence")
            .fixed(rows[k].confidence)
            .endObject();
    }
    j.endArray().endObject();
    return j.err();
}

Err handleGetDeviceBaseline(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    char buf[kPercentDecodeBytes];
    const std::string_view id = percentDecode(req.param("id"), buf);
    if (id.empty()) return replyJson(res, 404, kBodyNotFound);

    u32 observations = 0;
    bool learning = false;
    i64 last_observation = 0;
    f32 modulation[kNamedFeatures];
    f32 surprise = 0;
    {
        SharedGuard hold(state.engine->lock);
        const DeviceFingerprint* dev = deviceById(*state.engine->fp, id);
        if (!dev) return replyJson(res, 404, kBodyDeviceNotFound);
        const DeviceBaseline* b = state.engine->baseline->findDevice(dev->mac);
        if (!b) return replyJson(res, 404, kBodyNoBaseline);
        observations = b->observation_count;
        learning = b->learning;
        last_observation = b->last_observation;
        for (u32 f = 0; f < kNamedFeatures; ++f) modulation[f] = b->model.getModulation(f);
        surprise = b->model.normalized_error;
    }

    JsonWriter j(res.writer());
    j.beginObject().key("mac").str(id).key("observation_count").u(observations);
    j.key("learning").boolean(learning).key("last_observation").i(last_observation);
    j.key("features").beginArray();
    for (u32 f = 0; f < kNamedFeatures; ++f) {
        j.beginObject().key("name").str(kFeatureNames[f]).key("modulation").fixed(modulation[f]);
        j.endObject();
    }
    j.endArray().key("surprise").fixed(surprise).endObject();
    return j.err();
}

// ---- the graph ------------------------------------------------------------

Err handleGetGraph(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    const QueryParams* q = queryOrBadRequest(req, res);
    if (!q) return Err::None;
    const QueryParams& query = *q;
    u32 limit = parseQueryU32(query, "limit", kGraphDefaultLimit);
    if (limit > kGraphMaxLimit) limit = kGraphMaxLimit;
    const u32 offset = parseQueryU32(query, "offset", 0);

    struct NodeRow {
        u32 id;
        f32 activation;
        NodeType type;
        u8 name_len;
        char name[kNameCap];
    };
    struct EdgeRow {
        u32 source;
        u32 target;
        f32 weight;
        EdgeType type;
    };
    NodeRow* nodes = arenaArray<NodeRow>(*req.arena, limit);
    EdgeRow* edges = arenaArray<EdgeRow>(*req.arena, limit);
    if (!nodes || !edges) return Err::OutOfMemory;
    u32 node_rows = 0, edge_rows = 0, total_nodes = 0, total_edges = 0;
    {
        SharedGuard hold(state.engine->lock);
        const Graph& g = *state.engine->graph;
        total_nodes = g.node_count;
        total_edges = g.edge_count;
        // Slots are never freed, so the counts are the active slots: the
        // scans end once they have met them all.
        u32 seen = 0;
        for (u32 i = 0; i < kMaxNodes && node_rows < limit && seen < total_nodes; ++i) {
            const Node& n = g.nodes[i];
            if (!n.active || seen++ < offset) continue;
            NodeRow& r = nodes[node_rows++];
            r.id = i;
            r.activation = n.activation;
            r.type = n.node_type;
            copyBounded(r.name, r.name_len, n.name.slice());
        }
        seen = 0;
        for (u32 i = 0; i < kMaxEdges && edge_rows < limit && seen < total_edges; ++i) {
            const Edge& e = g.edges[i];
            if (!e.active || seen++ < offset) continue;
            edges[edge_rows++] = {e.source, e.target, e.weight, e.edge_type};
        }
    }

    JsonWriter j(res.writer());
    j.beginObject().key("nodes").beginArray();
    for (u32 k = 0; k < node_rows; ++k) {
        const NodeRow& r = nodes[k];
        j.beginObject()
            .key("id")
            .u(r.id)
            .key("name")
            .str({r.name, r.name_len})
            .key("type")
            .str(nodeTypeName(r.type))
            .key("activation")
            .fixed(r.activation)
            .endObject();
    }
    j.endArray().key("edges").beginArray();
    for (u32 k = 0; k < edge_rows; ++k) {
        const EdgeRow& r = edges[k];
        j.beginObject()
            .key("source")
            .u(r.source)
            .key("target")
            .u(r.target)
            .key("type")
            .str(edgeTypeName(r.type))
            .key("weight")
            .fixed(r.weight)
            .endObject();
    }
    j.endArray().key("total_nodes").u(total_nodes).key("total_edges").u(total_edges);
    j.endObject();
    return j.err();
}

}  // namespace tarvex
