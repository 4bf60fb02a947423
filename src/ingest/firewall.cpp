// firewall.cpp: rule tag, key=value fields and flags of a packet-filter line.
#include "ingest/firewall.h"

#include <cstring>

#include "common/hex.h"
#include "common/number.h"
#include "common/text.h"

namespace tarvex::ingest::firewall {

namespace {

// Rule tag "CHAIN-ACTION-RULE" as UniFi and EdgeOS gateways write it; the
// chain may itself hold hyphens, so the action is the second-to-last part.
void parseChainTag(std::string_view tag, FirewallEvent& ev) {
    size_t last = tag.rfind('-');
    size_t second = (last == std::string_view::npos || last == 0) ? std::string_view::npos
                                                                  : tag.rfind('-', last - 1);
    if (second == std::string_view::npos) {
        copyBounded(ev.chain, ev.chain_len, tag);
        return;
    }
    copyBounded(ev.chain, ev.chain_len, tag.substr(0, second));
    std::string_view code = tag.substr(second + 1, last - second - 1);
    if (code == "A") {
        ev.action = Action::accept;
    } else if (code == "D") {
        ev.action = Action::drop;
    } else if (code == "R") {
        ev.action = Action::reject;
    } else if (code == "RET") {
        ev.action = Action::ret;
    }
}

bool equalsNoCase(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// A numeric field, 0 when absent or unreadable.
template <class T>
T numberOf(std::string_view text, std::string_view key, u64 max) {
    auto v = findValue(text, key);
    if (!v) return 0;
    Result<u64> r = parseDecimalDigits(*v, max);
    return r.ok() ? static_cast<T>(r.value) : 0;
}

// MAC= holds destination address, source address and EtherType (14 bytes,
// 41 characters and more). Some kernels log the start of the IPv4 header
// there instead; a first byte of 0x45..0x4F (version 4, header length 5 to
// 15 words) gives that away.
void parseMacField(std::string_view value, FirewallEvent& ev) {
    if (value.size() < 41) return;
    auto dst = parseHexMac(value, 0);
    if (!dst) return;
    if (dst->b[0] >= 0x45 && dst->b[0] <= 0x4F) return;
    std::memcpy(ev.dst_mac, dst->b, 6);
    auto src = parseHexMac(value, 6);
    if (!src) return;
    std::memcpy(ev.src_mac, src->b, 6);
    ev.has_macs = true;
}

}  // namespace

std::optional<MacAddr> parseHexMac(std::string_view text, size_t index) {
    if (index > text.size() / 3) return std::nullopt;  // also keeps index * 3 from wrapping
    size_t start = index * 3;
    if (text.size() - start < 18) return std::nullopt;
    MacAddr mac{};
    for (size_t i = 0; i < 6; ++i) {
        size_t p = start + i * 3;
        int hi = hexDigit(text[p]);
        int lo = hexDigit(text[p + 1]);
        if (hi < 0 || lo < 0 || text[p + 2] != ':') return std::nullopt;
        mac.b[i] = static_cast<u8>(hi * 16 + lo);
    }
    return mac;
}

std::optional<std::string_view> findValue(std::string_view text, std::string_view key) {
    size_t at = text.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    size_t start = at + key.size();
    size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    if (end == start) return std::nullopt;
    return text.substr(start, end - start);
}

bool hasToken(std::string_view text, std::string_view token) {
    if (token.empty()) return false;
    size_t at = text.find(token);
    while (at != std::string_view::npos) {
        size_t end = at + token.size();
        bool starts = at == 0 || text[at - 1] == ' ';
        bool ends = end == text.size() || text[end] == ' ';
        if (starts && ends) return true;
        at = text.find(token, at + 1);
    }
    return false;
}

bool isFirewallLog(std::string_view text) {
    return text.size() >= 20 && text.find('[') != std::string_view::npos &&
           contains(text, "SRC=") && contains(text, "DST=");
}

FirewallEvent parse(std::string_view text) {
    FirewallEvent ev{};
    ev.action = Action::unknown;
    ev.protocol = Protocol::unknown;
    if (text.size() <= 9) return ev;
    size_t open = text.find('[');
    if (open == std::string_view::npos) return ev;
    size_t close = text.find(']', open + 1);
    if (close == std::string_view::npos) return ev;
    parseChainTag(text.substr(open + 1, close - open - 1), ev);

    std::string_view body = text.substr(close + 1);
    size_t descr = body.find("DESCR=\"");
    if (descr != std::string_view::npos) {
        size_t start = descr + 7;
        size_t end = body.find('"', start);
        if (end != std::string_view::npos) {
            copyBounded(ev.description, ev.description_len, body.substr(start, end - start));
        }
    }
    if (auto v = findValue(body, "IN=")) copyBounded(ev.in_iface, ev.in_iface_len, *v);
    if (auto v = findValue(body, "MAC=")) parseMacField(*v, ev);
    if (auto v = findValue(body, "SRC=")) copyBounded(ev.src_ip, ev.src_ip_len, *v);
    if (auto v = findValue(body, "DST=")) copyBounded(ev.dst_ip, ev.dst_ip_len, *v);
    if (auto v = findValue(body, "PROTO=")) {
        if (equalsNoCase(*v, "tcp")) {
            ev.protocol = Protocol::tcp;
        } else if (equalsNoCase(*v, "udp")) {
            ev.protocol = Protocol::udp;
        } else if (equalsNoCase(*v, "icmp")) {
            ev.protocol = Protocol::icmp;
        }
    }
    ev.src_port = numberOf<u16>(body, "SPT=", 0xFFFF);
    ev.dst_port = numberOf<u16>(body, "DPT=", 0xFFFF);
    ev.length = numberOf<u32>(body, "LEN=", 0xFFFFFFFFu);
    ev.ttl = numberOf<u8>(body, "TTL=", 0xFF);
    ev.syn = hasToken(body, "SYN");
    ev.ack = hasToken(body, "ACK");
    ev.valid = ev.src_ip_len > 0 && ev.dst_ip_len > 0;
    return ev;
}

}  // namespace tarvex::ingest::firewall
