// dhcp.cpp: dnsmasq, ISC dhcpd and generic DHCP lease lines.
#include "ingest/dhcp.h"

#include <cstring>

#include "common/mac.h"
#include "common/text.h"

namespace tarvex::ingest::dhcp {

namespace {

constexpr size_t npos = std::string_view::npos;

std::string_view skipSpaces(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    return s.substr(i);
}

bool isTrailingWhite(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isTrailingWhite(s.back())) s.remove_suffix(1);
    return s;
}

void setMac(DhcpEvent& ev, const MacAddr& mac, std::string_view text) {
    std::memcpy(ev.mac, mac.b, 6);
    copyBounded(ev.mac_str, ev.mac_str_len, text);
}

// The first keyword of the table found anywhere in the line.
const MsgTypeKeyword* detectMessageType(std::string_view line) {
    for (const MsgTypeKeyword& k : MSG_TYPE_KEYWORDS) {
        if (line.find(k.keyword) != npos) return &k;
    }
    return nullptr;
}

// Where the keyword first occurs in the line.
size_t findMsgTypePos(std::string_view line, const MsgTypeKeyword& kw) {
    return line.find(kw.keyword);
}

size_t msgTypeKeywordLen(const MsgTypeKeyword& kw) {
    return kw.keyword.size();
}

// "DHCPACK(br0) 192.168.1.50 a4:83:e7:12:34:56 laptop": the interface in
// parentheses right after the keyword, then the shared tokens. False when
// the parenthesis never closes.
//
// "DHCPDISCOVER(br0) a4:83:e7:12:34:56" names no address: the first token is
// the hardware address. dnsmasq writes a host name only after DHCPACK (and
// its DHCPINFORM reply); after DISCOVER and NAK the trailing text is a
// message ("no address available", "wrong address"), not a name.
bool parseDnsmasq(std::string_view after, DhcpEvent& ev) {
    if (!after.empty() && after[0] == '(') {
        size_t close = after.find(')');
        if (close == npos) return false;
        after.remove_prefix(close + 1);
    }
    after = skipSpaces(after);
    const std::string_view first = after.substr(0, after.find(' '));
    if (auto mac = parseMac(first)) {
        setMac(ev, *mac, first);
    } else {
        parseTokens(after, ev);
    }
    if (ev.message_type == DhcpMessageType::discover || ev.message_type == DhcpMessageType::nak)
        ev.hostname_len = 0;
    ev.valid = true;
    return true;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The transaction id dnsmasq writes after "dnsmasq-dhcp[pid]: " when
// log-dhcp is on: the decimal token right before `at`.
bool readXid(std::string_view line, size_t at, u32& xid) {
    size_t end = at;
    while (end > 0 && line[end - 1] == ' ') --end;
    size_t begin = end;
    while (begin > 0 && isDigit(line[begin - 1])) --begin;
    if (begin == end || end - begin > 10) return false;
    if (begin < 2 || line[begin - 1] != ' ' || line[begin - 2] != ':') return false;
    u64 v = 0;
    for (size_t i = begin; i < end; ++i) v = v * 10 + static_cast<u64>(line[i] - '0');
    if (v > 0xFFFFFFFFull) return false;
    xid = static_cast<u32>(v);
    return true;
}

constexpr std::string_view kVendorClassTag = "vendor class: ";
constexpr std::string_view kOptionsTag = "requested options: ";
constexpr std::string_view kClientNameTag = "client provides name: ";

// "1:netmask, 28:broadcast, 2:time-offset, 3:router, " -> "1,28,2,3"
// appended to the event's list; a line ending with ", " is continued.
void readOptions(std::string_view text, DhcpEvent& ev) {
    text = trimRight(text);
    ev.options_continue = !text.empty() && text.back() == ',';
    while (!text.empty()) {
        text = skipSpaces(text);
        size_t i = 0;
        while (i < text.size() && isDigit(text[i])) ++i;
        // An option number (1 to 3 digits) with its ":name" or alone;
        // anything else between commas is skipped.
        if (i > 0 && i <= 3 && ev.option55_len + i + 1 <= kOption55Cap) {
            if (ev.option55_len) ev.option55[ev.option55_len++] = ',';
            for (size_t k = 0; k < i; ++k) ev.option55[ev.option55_len++] = text[k];
        }
        const size_t comma = text.find(',');
        if (comma == npos) break;
        text.remove_prefix(comma + 1);
    }
}

// "DHCPACK on 192.168.1.50 to a4:83:e7:12:34:56 (laptop) via eth0". False
// when the wording does not match.
bool parseIscDhcpd(std::string_view after, DhcpEvent& ev) {
    std::string_view s = skipSpaces(after);
    if (s.size() < 3 || s.substr(0, 3) != "on ") return false;
    s.remove_prefix(3);
    size_t sp = s.find(' ');
    if (sp == npos) return false;
    copyBounded(ev.assigned_ip, ev.assigned_ip_len, s.substr(0, sp));
    s.remove_prefix(sp + 1);
    if (s.size() < 3 || s.substr(0, 3) != "to ") return false;
    s.remove_prefix(3);
    sp = s.find(' ');
    std::string_view mac_text = s.substr(0, sp);
    if (auto mac = parseMac(mac_text)) setMac(ev, *mac, mac_text);
    if (sp != npos) {
        std::string_view host = s.substr(sp + 1);
        if (host.size() >= 3 && host[0] == '(') {
            size_t close = host.find(')');
            if (close != npos) copyBounded(ev.hostname, ev.hostname_len, host.substr(1, close - 1));
        }
    }
    ev.valid = true;
    return true;
}

// ISC dhcpd's client-side wordings: "DHCPDISCOVER from MAC (host) via eth0",
// "DHCPREQUEST for IP (server) from MAC (host) via eth0", "DHCPRELEASE of IP
// from MAC via eth0" and "DHCPINFORM from IP via eth0". Read as generic
// tokens they would make "for" an address and "via eth0" a host name.
// False (and nothing written) when the wording does not match.
bool parseIscFrom(std::string_view after, DhcpEvent& ev) {
    std::string_view s = skipSpaces(after);
    std::string_view ip;
    if (s.substr(0, 4) == "for " || s.substr(0, 3) == "of ") {
        s.remove_prefix(s[0] == 'f' ? 4 : 3);
        size_t sp = s.find(' ');
        if (sp == npos) return false;
        ip = s.substr(0, sp);
        s = skipSpaces(s.substr(sp + 1));
        if (!s.empty() && s[0] == '(') {  // server identifier
            size_t close = s.find(')');
            if (close == npos) return false;
            s = skipSpaces(s.substr(close + 1));
        }
    }
    if (s.substr(0, 5) != "from ") return false;
    s.remove_prefix(5);
    size_t sp = s.find(' ');
    std::string_view token = s.substr(0, sp);
    auto mac = parseMac(token);
    if (mac) {
        setMac(ev, *mac, token);
    } else if (ip.empty()) {
        ip = token;  // DHCPINFORM names the client's address
    }
    copyBounded(ev.assigned_ip, ev.assigned_ip_len, ip);
    if (mac && sp != npos) {
        std::string_view host = s.substr(sp + 1);
        if (host.size() >= 3 && host[0] == '(') {
            size_t close = host.find(')');
            if (close != npos) copyBounded(ev.hostname, ev.hostname_len, host.substr(1, close - 1));
        }
    }
    ev.valid = true;
    return true;
}

void parseGeneric(std::string_view after, DhcpEvent& ev) {
    parseTokens(skipSpaces(after), ev);
    ev.valid = true;
}

}  // namespace

void parseTokens(std::string_view text, DhcpEvent& ev) {
    size_t sp = text.find(' ');
    if (sp == npos) {
        copyBounded(ev.assigned_ip, ev.assigned_ip_len, text);
        return;
    }
    copyBounded(ev.assigned_ip, ev.assigned_ip_len, text.substr(0, sp));
    std::string_view rest = text.substr(sp + 1);
    size_t sp2 = rest.find(' ');
    std::string_view second = rest.substr(0, sp2);
    if (auto mac = parseMac(second)) setMac(ev, *mac, second);
    if (sp2 == npos) return;
    std::string_view host = trimRight(rest.substr(sp2 + 1));
    if (!host.empty()) copyBounded(ev.hostname, ev.hostname_len, host);
}

bool isDnsmasqDetail(std::string_view line) {
    if (line.find("dnsmasq-dhcp") == npos) return false;
    return line.find(kVendorClassTag) != npos || line.find(kOptionsTag) != npos ||
           line.find(kClientNameTag) != npos;
}

namespace {

// "<xid> vendor class: ...", "<xid> requested options: ...", "<xid> client
// provides name: ..." (the tag right after the transaction id).
void parseDetail(std::string_view line, DhcpEvent& ev) {
    struct Tag {
        std::string_view text;
        DhcpDetail detail;
    };
    static constexpr Tag kTags[] = {{kVendorClassTag, DhcpDetail::vendor_class},
                                    {kOptionsTag, DhcpDetail::requested_options},
                                    {kClientNameTag, DhcpDetail::client_name}};
    const size_t tool = line.find("dnsmasq-dhcp");
    if (tool == npos) return;
    for (const Tag& t : kTags) {
        const size_t at = line.find(t.text, tool);
        if (at == npos) continue;
        u32 xid = 0;
        if (!readXid(line, at, xid)) return;
        const std::string_view value = trimRight(line.substr(at + t.text.size()));
        ev.xid = xid;
        ev.has_xid = true;
        ev.detail = t.detail;
        switch (t.detail) {
            case DhcpDetail::vendor_class:
                copyBounded(ev.vendor_class, ev.vendor_class_len, value);
                break;
            case DhcpDetail::client_name:
                copyBounded(ev.hostname, ev.hostname_len, value);
                break;
            case DhcpDetail::requested_options:
                readOptions(line.substr(at + t.text.size()), ev);
                break;
            case DhcpDetail::none:
                break;
        }
        ev.valid = true;
        return;
    }
}

}  // namespace

DhcpEvent parse(std::string_view line) {
    DhcpEvent ev{};
    ev.message_type = DhcpMessageType::unknown;
    const MsgTypeKeyword* kw = detectMessageType(line);
    if (!kw) {
        parseDetail(line, ev);
        return ev;
    }
    ev.message_type = kw->type;
    const size_t kw_pos = findMsgTypePos(line, *kw);
    std::string_view after = line.substr(kw_pos + msgTypeKeywordLen(*kw));
    if (line.find("dnsmasq-dhcp") != npos) {
        ev.has_xid = readXid(line, kw_pos, ev.xid);
        if (parseDnsmasq(after, ev)) return ev;
    }
    if (parseIscDhcpd(after, ev)) return ev;
    if (parseIscFrom(after, ev)) return ev;
    parseGeneric(after, ev);
    return ev;
}

}  // namespace tarvex::ingest::dhcp
