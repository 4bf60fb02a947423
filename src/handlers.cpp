// handlers.cpp: the pipeline's source handlers, one per event type: what a
// syslog line, a DHCP lease, a DNS query, a firewall record or a CEF record
// teaches the engine tables.
#include <cstring>

#include "common/address.h"
#include "common/format.h"
#include "common/log.h"
#include "common/mac.h"
#include "common/text.h"
#include "engine/identity.h"
#include "ingest/dns.h"
#include "intel/indicator_index.h"
#include "pipeline.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

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

}  // namespace

std::optional<u32> Pipeline::ensureNode(std::string_view name, NodeType type) {
    // An IPv6 address has many spellings (ip6tables writes every group in
    // full); its node is named by the canonical one, as senders are.
    char canonical[46];
    unsigned char canonical_len;
    if (type == NodeType::ip_address && name.find(':') != std::string_view::npos &&
        canonicalIpv6(name, canonical, canonical_len)) {
        name = std::string_view(canonical, canonical_len);
    }
    if (const Node* n = state->graph->findNode(name, type)) return n->id;
    return state->graph->addNode(name, type);
}

void Pipeline::persistDeviceState(const u8 mac[6], std::string_view fallback_label) {
    if (!persistence) return;
    DeviceRow row{};
    if (const DeviceFingerprint* d = state->fp->findDevice(mac)) {
        row = DeviceRow::of(*d, d->label_len ? d->getLabel() : fallback_label);
    } else {
        std::memcpy(row.mac, mac, 6);
        copyBounded(row.label, row.label_len, fallback_label);
    }
    persistence->submitDevice(row);
}

namespace {

// What a new-device alert calls the maker: the registry's vendor name when
// the lookup found one, else the address prefix.
std::string_view alertVendor(const DeviceFingerprint* d, const OuiText& oui) {
    if (d && d->vendor_len) return d->getVendor();
    return oui.view();
}

}  // namespace

DeviceFingerprint* Pipeline::deviceFor(const u8 key[6], const u8 mac[6], bool& created) {
    created = false;
    if (DeviceFingerprint* d = state->fp->findDevice(key)) {
        if (!d->vendor_known && !isLocallyAdministeredMac(mac)) {
            // A restored record without a vendor: asked once.
            char buf[kVendorCap];
            identity::noteVendor(*d, state->oui.lookup(mac, buf));
        }
        return d;
    }
    DeviceFingerprint* d = state->fp->getOrCreateDevice(key);
    if (!d) return nullptr;
    created = true;
    char buf[kVendorCap];
    identity::noteVendor(*d, state->oui.lookup(mac, buf));
    return d;
}

bool Pipeline::learnDhcpFacts(DeviceFingerprint& d, std::string_view hostname,
                              std::string_view options, std::string_view vendor_class) {
    FingerprintEngine& fp = *state->fp;
    bool changed = false;
    if (!hostname.empty()) {
        fp.observeFact(d, SignalType::hostname, hostname);
        changed |= identity::noteHostname(d, hostname);
    }
    if (!options.empty() && fp.observeFact(d, SignalType::dhcp_profile, options))
        changed |= identity::noteOptions(d, options);
    if (!vendor_class.empty()) {
        fp.observeFact(d, SignalType::vendor_class, vendor_class);
        changed |= identity::noteVendorClass(d, vendor_class);
    }
    return changed;
}

std::optional<MacAddr> Pipeline::keyFor(const u8 mac[6], std::string_view hostname) {
    MacAddr key;
    if (!isLocallyAdministeredMac(mac)) {
        std::memcpy(key.b, mac, 6);
        return key;
    }
    if (hostname.empty()) {
        // A randomised address already given its own record (below).
        if (state->fp->findDevice(mac)) {
            std::memcpy(key.b, mac, 6);
            return key;
        }
        return std::nullopt;
    }
    const i64 t = now();
    key = stableHostnameMac(hostname);
    DeviceFingerprint* folded = state->fp->findDevice(key.b);
    if (folded && folded->alias_seen != 0 && std::memcmp(folded->alias_mac, mac, 6) != 0 &&
        t - folded->alias_seen < kAliasWindow) {
        // Another randomised address with this name was heard from within
        // the hour: a second device of the same model, not the same one.
        std::memcpy(key.b, mac, 6);
        return key;
    }
    if (state->fp->findDevice(mac)) {  // had its own record before: keep it
        std::memcpy(key.b, mac, 6);
        return key;
    }
    return key;
}

DhcpExchange* Pipeline::exchangeFor(u32 xid, bool create) {
    DhcpExchange* oldest = &exchanges[0];
    for (DhcpExchange& e : exchanges) {
        if (e.touched != 0 && e.xid == xid) {
            e.touched = ++exchange_clock;
            return &e;
        }
        if (e.touched < oldest->touched) oldest = &e;
    }
    if (!create) return nullptr;
    *oldest = DhcpExchange{};
    oldest->xid = xid;
    oldest->touched = ++exchange_clock;
    return oldest;
}

void Pipeline::processDhcpDetail(const DhcpEvent& event) {
    DhcpExchange& ex = *exchangeFor(event.xid, true);
    switch (event.detail) {
        case DhcpDetail::vendor_class:
            copyBounded(ex.vendor_class, ex.vendor_class_len, event.getVendorClass());
            break;
        case DhcpDetail::client_name:
            copyBounded(ex.hostname, ex.hostname_len, event.getHostname());
            break;
        case DhcpDetail::requested_options: {
            const std::string_view part = event.getOption55();
            if (!ex.options_open) {
                // A new list. Every client asks for the subnet mask (1) first;
                // a list that starts elsewhere lost its first line.
                ex.options_len = 0;
                ex.options_bad = part.substr(0, 2) != "1," && part != "1";
                ex.options_ready = false;
            }
            // dnsmasq writes four options per line; a continued line with
            // another count means a line is missing.
            u32 count = part.empty() ? 0 : 1;
            for (char c : part) count += c == ',';
            if (event.options_continue && count != 4) ex.options_bad = true;
            if (ex.options_len && ex.options_len < kOption55Cap) ex.options[ex.options_len++] = ',';
            for (char c : part)
                if (ex.options_len < kOption55Cap) ex.options[ex.options_len++] = c;
            ex.options_open = event.options_continue;
            if (!ex.options_open) ex.options_ready = !ex.options_bad;
            break;
        }
        case DhcpDetail::none:
            return;
    }
    if (!ex.has_key) return;  // delivered when a message line names the client
    DeviceFingerprint* d = state->fp->findDevice(ex.key);
    if (!d) return;
    std::string_view options;
    if (ex.options_ready) {
        options = std::string_view(ex.options, ex.options_len);
        ex.options_ready = false;
    }
    const std::string_view vc =
        event.detail == DhcpDetail::vendor_class ? event.getVendorClass() : std::string_view{};
    const std::string_view name =
        event.detail == DhcpDetail::client_name ? event.getHostname() : std::string_view{};
    if (learnDhcpFacts(*d, name, options, vc)) identity::identify(*d);
    persistDeviceState(ex.key, "");
}

void Pipeline::processSyslog(const SyslogMessage&, std::string_view source_ip,
                             std::string_view datagram) {
    const i64 t = now();
    if (!source_ip.empty() && isLocalIp(source_ip)) {
        if (auto id = ensureNode(source_ip, NodeType::ip_address)) state->graph->bumpAccess(*id, t);
    }
    // Addresses the text names are matched against the indicators whether
    // local or not; the sender is the device the alert is about.
    const bool matching = state->indicators && !state->indicators->empty();
    IndicatorSighting sighting{};
    if (matching) {
        sighting.device = source_ip;
        sighting.source_ip = source_ip;
        sighting.seed_address = source_ip;
    }
    u32 taken = 0;
    std::string_view rest = datagram;
    while (taken < kSyslogAddressesPerEvent) {
        auto found = extractIpv4(rest);
        if (!found) break;
        rest.remove_prefix(found->span);
        if (found->text == source_ip) continue;
        if (matching) {
            sighting.dest_ip = found->text;
            matchIndicatorAddress(found->text, sighting);
        }
        if (!isLocalIp(found->text)) continue;
        if (auto id = ensureNode(found->text, NodeType::ip_address))
            state->graph->bumpAccess(*id, t);
        ++taken;
    }
    // IPv6 peers named in the text; an IPv4-mapped one was taken above by
    // its IPv4 part.
    rest = datagram;
    while (taken < kSyslogAddressesPerEvent) {
        auto found = extractIpv6(rest);
        if (!found) break;
        rest.remove_prefix(found->span);
        const std::string_view text = found->view();
        if (text == source_ip) continue;
        if (text.substr(0, 7) == "::ffff:" && text.find('.') != std::string_view::npos) continue;
        if (matching) {
            sighting.dest_ip = text;
            matchIndicatorAddress(text, sighting);
        }
        if (!isLocalIp(text)) continue;
        if (auto id = ensureNode(text, NodeType::ip_address)) state->graph->bumpAccess(*id, t);
        ++taken;
    }
}

void Pipeline::processDhcp(const DhcpEvent& event, std::string_view) {
    if (!event.valid) return;
    if (event.detail != DhcpDetail::none) {
        if (event.has_xid) processDhcpDetail(event);
        return;
    }
    if (isZeroMac(event.mac)) return;
    DhcpExchange* ex = event.has_xid ? exchangeFor(event.xid, true) : nullptr;
    if (ex && ex->options_open) {
        ex->options_open = false;  // the list's last line never came
        ex->options_bad = true;
    }
    std::string_view hostname = event.getHostname();
    if (hostname.empty() && ex) hostname = std::string_view(ex->hostname, ex->hostname_len);
    // Only an address the client holds or is given links it; a DISCOVER's
    // requested address, a NAK's refused one, or no address at all (never
    // the sender's) does not.
    std::string_view address = event.getAssignedIp();
    const bool client_address =
        !address.empty() && event.message_type != DhcpMessageType::discover &&
        event.message_type != DhcpMessageType::nak &&
        (extractIpv4(address).has_value() || address.find(':') != std::string_view::npos);
    if (!client_address) address = {};
    const bool local_mac = isLocallyAdministeredMac(event.mac);

    std::optional<MacAddr> resolved = keyFor(event.mac, hostname);
    if (!resolved) {
        if (!address.empty()) ensureNode(address, NodeType::ip_address);
        return;
    }
    const MacAddr key = *resolved;
    const bool folded = std::memcmp(key.b, event.mac, 6) != 0;

    OuiText oui = macOui(event.mac);
    bool created = false;
    DeviceFingerprint* d = deviceFor(key.b, event.mac, created);
    if (d) {
        FingerprintEngine& fp = *state->fp;
        fp.observeFact(*d, SignalType::manufacturer, oui.view());
        bool changed = created;
        changed |= learnDhcpFacts(*d, hostname, event.getOption55(), event.getVendorClass());
        if (ex) {
            std::memcpy(ex->key, key.b, 6);
            std::memcpy(ex->mac, event.mac, 6);
            ex->has_key = true;
            std::string_view options;
            if (ex->options_ready) {
                options = std::string_view(ex->options, ex->options_len);
                ex->options_ready = false;
            }
            changed |= learnDhcpFacts(*d, std::string_view(ex->hostname, ex->hostname_len), options,
                                      std::string_view(ex->vendor_class, ex->vendor_class_len));
        }
        if (local_mac && folded) {
            std::memcpy(d->alias_mac, event.mac, 6);
            d->alias_seen = now();
        }
        if (changed) identity::identify(*d);
    }
    if (created && new_device_alerts) {
        NewDeviceFacts f{};
        f.seen_at = now();
        f.key = key;
        std::memcpy(f.mac, event.mac, 6);
        f.folded = folded;
        f.via = "DHCP";
        copyBounded(f.hostname, f.hostname_len, hostname);
        copyBounded(f.vendor, f.vendor_len, alertVendor(d, oui));
        copyBounded(f.address, f.address_len, address);
        copyBounded(f.dhcp_params, f.dhcp_params_len, event.getOption55());
        copyBounded(f.vendor_class, f.vendor_class_len, event.getVendorClass());
        noteNewDevice(f);
    }

    MacText key_text = macToString(key.b);
    auto device = ensureNode(key_text.view(), NodeType::device);
    std::optional<u32> ip;
    if (!address.empty()) ip = ensureNode(address, NodeType::ip_address);
    if (device && ip) state->graph->addEdge(*device, *ip, EdgeType::assigned_to, 0.9f);
    persistDeviceState(key.b, key_text.view());
}

void Pipeline::processDns(const DnsEvent& event, std::string_view source_ip) {
    if (!event.valid) return;
    std::string_view address = event.client_ip_len ? event.getClientIp() : source_ip;
    learnDns(event, address);
    // Only a query names the device that asked; a reply line (no client)
    // would put the resolver's address in its place.
    if (event.client_ip_len && state->indicators && !state->indicators->empty()) {
        IndicatorSighting s{};
        s.device = address;
        s.source_ip = address;
        s.seed_address = address;
        matchIndicatorDomain(event.getQueryName(), s);
    }
}

void Pipeline::learnDns(const DnsEvent& event, std::string_view address) {
    const i64 t = now();
    // A line without a client address is the resolver's own: it touches the
    // sender's node but teaches no device anything.
    const bool has_client = event.client_ip_len != 0;
    if (const Node* node = state->graph->findNode(address, NodeType::ip_address)) {
        u32 id = node->id;
        if (has_client) {
            Neighbor nbrs[kMaxNeighbors];
            u32 n = state->graph->getNeighbors(id, 0.0f, nbrs);
            for (u32 i = 0; i < n; ++i) {
                if (nbrs[i].edge_type != EdgeType::assigned_to) continue;
                const Node* dev = state->graph->getNode(nbrs[i].node_id);
                if (dev && dev->node_type == NodeType::device) {
                    if (auto mac = parseMac(dev->name.slice())) {
                        std::string_view q = event.getQueryName();
                        DeviceFingerprint* d = state->fp->findDevice(mac->b);
                        if (d && !q.empty()) {
                            // An operating system's connectivity check weighs double.
                            const u32 times = ingest::dns::isOsProbe(q) ? 2 : 1;
                            if (state->fp->observeFact(*d, SignalType::dns_behavior, q, times) &&
                                identity::noteDomain(*d, q) && identity::identify(*d)) {
                                persistDeviceState(mac->b, "");
                            }
                        }
                    }
                }
                break;  // only the first assigned_to neighbour counts
            }
        }
        state->graph->bumpAccess(id, t);
        return;
    }
    if (!address.empty()) {
        if (auto id = state->graph->addNode(address, NodeType::ip_address))
            state->graph->bumpAccess(*id, t);
    }
}

void Pipeline::processFirewall(const FirewallEvent& event, std::string_view source_ip) {
    if (!event.valid) return;
    const i64 t = now();
    std::string_view src = event.src_ip_len ? event.getSrcIp() : source_ip;
    std::string_view dst = event.getDstIp();

    std::optional<u32> src_node, dst_node;
    if (isLocalIp(src)) src_node = ensureNode(src, NodeType::ip_address);
    if (!dst.empty() && isLocalIp(dst)) dst_node = ensureNode(dst, NodeType::ip_address);
    if (src_node && dst_node) {
        state->graph->addEdge(*src_node, *dst_node, EdgeType::communicates_with, 0.5f);
    }
    if (src_node) state->graph->bumpAccess(*src_node, t);
    if (dst_node) state->graph->bumpAccess(*dst_node, t);

    if (event.has_macs && !isLocallyAdministeredMac(event.src_mac)) {
        MacText mac_text = macToString(event.src_mac);
        auto device = ensureNode(mac_text.view(), NodeType::device);
        if (device && src_node)
            state->graph->addEdge(*device, *src_node, EdgeType::assigned_to, 0.8f);
        OuiText oui = macOui(event.src_mac);
        bool created = false;
        DeviceFingerprint* d = deviceFor(event.src_mac, event.src_mac, created);
        if (d) {
            state->fp->observeFact(*d, SignalType::manufacturer, oui.view());
            if (!dst.empty()) state->fp->observeFact(*d, SignalType::conn_behavior, dst);
            if (created) identity::identify(*d);
        }
        if (created && new_device_alerts) {
            NewDeviceFacts f{};
            f.seen_at = now();
            std::memcpy(f.key.b, event.src_mac, 6);
            std::memcpy(f.mac, event.src_mac, 6);
            f.via = "firewall log";
            copyBounded(f.vendor, f.vendor_len, alertVendor(d, oui));
            copyBounded(f.address, f.address_len, src);
            noteNewDevice(f);
        }
    }

    if (event.action == FirewallEvent::Action::drop && src_node) {
        spread(*state->graph, *state->act, *src_node);
    }

    if (event.dst_port >= 1 && event.dst_port <= 1023 && dst_node) {
        FixedText<16> service;
        formatInto(service, "{}/{}", protocolText(event.protocol), event.dst_port);
        if (auto svc = ensureNode(service.view(), NodeType::service)) {
            state->graph->addEdge(*dst_node, *svc, EdgeType::assigned_to, 0.7f);
        }
    }

    if (event.has_macs) persistDeviceState(event.src_mac, "");

    if (state->indicators && !state->indicators->empty()) {
        IndicatorSighting s{};
        if (event.has_macs) {
            s.mac = event.src_mac;  // the device is named by it on a hit
        } else {
            s.device = !isLocalIp(src) && isLocalIp(dst) ? dst : src;
        }
        s.source_ip = src;
        s.dest_ip = dst;
        s.seed = src_node ? src_node : dst_node;
        matchIndicatorAddress(src, s);
        matchIndicatorAddress(dst, s);
    }
}

void Pipeline::processCef(const CefEvent& event, std::string_view source_ip) {
    if (!event.valid) return;
    const i64 t = now();
    std::string_view source = event.src_ip_len ? event.getSrcIp() : source_ip;
    std::string_view dst = event.getDstIp();

    // 1-2. Source and destination addresses, and their communication.
    std::optional<u32> src_node, dst_node;
    if (!source.empty()) {
        src_node = ensureNode(source, NodeType::ip_address);
        if (src_node) state->graph->bumpAccess(*src_node, t);
    }
    if (!dst.empty()) {
        dst_node = ensureNode(dst, NodeType::ip_address);
        if (dst_node) state->graph->bumpAccess(*dst_node, t);
    }
    if (src_node && dst_node) {
        state->graph->addEdge(*src_node, *dst_node, EdgeType::communicates_with, 0.5f);
    }

    // 3. Security events start an activation wave at the source.
    std::string_view category = event.getUnifiCategory();
    if (category.size() >= 8 && category.starts_with("Security") && src_node) {
        spread(*state->graph, *state->act, *src_node);
    }

    // 4. The client device behind the event.
    std::optional<MacAddr> client;
    if (event.client_mac_len) client = parseMac(event.getClientMac());
    if (client) {
        MacText mac_text = macToString(client->b);
        auto device = ensureNode(mac_text.view(), NodeType::device);
        if (device && src_node) {
            state->graph->addEdge(*device, *src_node, EdgeType::communicates_with, 0.6f);
        }
        bool created = false;
        if (DeviceFingerprint* d = deviceFor(client->b, client->b, created)) {
            state->fp->observeFact(*d, SignalType::conn_behavior, source);
            if (created) identity::identify(*d);
        }
    }

    // Addresses, the URL and the file hash against the indicators.
    if (state->indicators && !state->indicators->empty()) {
        IndicatorSighting s{};
        if (client) {
            s.mac = client->b;  // the device is named by it on a hit
        } else {
            s.device = source;
        }
        s.source_ip = source;
        s.dest_ip = dst;
        s.seed = src_node;
        matchIndicatorAddress(source, s);
        matchIndicatorAddress(dst, s);
        matchIndicatorUrl(event.getRequest(), s);
        matchIndicatorHash(event.getFileHash(), s);
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
    u32 id = state->alerts->createAlert(title.view(), description, severity, 0.0f, source_mac, 0);
    if (id == 0) return;
    if (Alert* a = state->alerts->getAlert(id)) {
        a->setEvidence(evidence.view());
        a->setSourceIp(source);
        if (!dst.empty()) a->setDestIp(dst);
    }
    logInfo("pipeline", "CEF high-severity alert created: id={} severity={}", id, event.severity);
    announceAlert(id, true);
}

}  // namespace tarvex
