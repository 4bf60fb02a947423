// dns.cpp: dnsmasq and BIND query lines, dnsmasq reply lines, probe names.
#include "ingest/dns.h"

#include "common/text.h"

namespace tarvex::ingest::dns {

namespace {

constexpr size_t npos = std::string_view::npos;

bool isWhite(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isWhite(s.back())) s.remove_suffix(1);
    return s;
}

void setName(DnsEvent& ev, std::string_view name) {
    copyBounded(ev.query_name, ev.query_name_len, name);
}

// "query[A] printer.home.arpa from 192.168.1.23#5353". False when the
// bracket never closes.
bool parseDnsmasq(std::string_view line, DnsEvent& ev) {
    size_t at = line.find("query[");
    if (at == npos) return false;
    size_t type_start = at + 6;
    size_t close = line.find(']', type_start);
    if (close == npos) return false;
    ev.query_type = parseQueryType(line.substr(type_start, close - type_start));
    size_t pos = close + 1;
    while (pos < line.size() && line[pos] == ' ') ++pos;
    std::string_view rest = line.substr(pos);
    size_t sp = rest.find(' ');
    if (sp == npos) {
        setName(ev, rest);
        ev.valid = true;
        return true;
    }
    setName(ev, rest.substr(0, sp));
    std::string_view after = rest.substr(sp + 1);
    if (after.size() >= 5 && after.substr(0, 5) == "from ") {
        std::string_view client = trimRight(after.substr(5));
        size_t hash = client.find('#');
        if (hash != npos) client = client.substr(0, hash);
        copyBounded(ev.client_ip, ev.client_ip_len, client);
    }
    ev.response_code = DnsResponseCode::noerror;
    ev.valid = true;
    return true;
}

// "client @0x7f4c2 192.168.1.23#53124 (name): query: name IN A +E(0)K (ip)".
// False when a required part is missing.
bool parseBind(std::string_view line, DnsEvent& ev) {
    size_t at = line.find("client ");
    if (at == npos) return false;
    std::string_view s = line.substr(at + 7);
    if (!s.empty() && s[0] == '@') {
        size_t sp = s.find(' ');
        if (sp == npos) return false;
        s.remove_prefix(sp + 1);
    }
    size_t hash = s.find('#');
    if (hash == npos) return false;
    copyBounded(ev.client_ip, ev.client_ip_len, s.substr(0, hash));
    s.remove_prefix(hash + 1);
    size_t q = s.find("query: ");
    if (q == npos) return false;
    s.remove_prefix(q + 7);
    size_t sp = s.find(' ');
    if (sp == npos) {
        setName(ev, s);
        ev.valid = true;
        return true;
    }
    setName(ev, s.substr(0, sp));
    s.remove_prefix(sp + 1);
    if (s.size() >= 3 && s.substr(0, 3) == "IN ") s.remove_prefix(3);
    size_t end = 0;
    while (end < s.size() && !isWhite(s[end])) ++end;
    ev.query_type = parseQueryType(s.substr(0, end));
    ev.response_code = DnsResponseCode::noerror;
    ev.valid = true;
    return true;
}

// "reply nas.home.arpa is 192.0.2.10" (or NXDOMAIN, SERVFAIL, REFUSED, ...).
bool parseDnsmasqReply(std::string_view line, DnsEvent& ev) {
    size_t at = line.find("reply ");
    if (at == npos || line.size() - (at + 6) < 4) return false;
    std::string_view s = line.substr(at + 6);
    size_t is = s.find(" is ");
    if (is == npos) return false;
    setName(ev, s.substr(0, is));
    std::string_view answer = trimRight(s.substr(is + 4));
    if (answer == "NXDOMAIN") {
        ev.response_code = DnsResponseCode::nxdomain;
    } else if (answer == "SERVFAIL") {
        ev.response_code = DnsResponseCode::servfail;
    } else if (answer == "REFUSED") {
        ev.response_code = DnsResponseCode::refused;
    } else {
        ev.response_code = DnsResponseCode::noerror;
    }
    ev.query_type = DnsQueryType::a;
    ev.valid = true;
    return true;
}

bool equalsNoCase(std::string_view a, std::string_view upper) {
    if (a.size() != upper.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

// Connectivity checks, exact host names:
//   captive.apple.com              Apple captive-portal check (iOS, macOS)
//   connectivitycheck.gstatic.com  Android and ChromeOS connectivity check
//   dns.msftncsi.com               Windows NCSI DNS probe
//   www.msftconnecttest.com        Windows NCSI web probe (connecttest.txt)
//   connectivity-check.ubuntu.com  Ubuntu NetworkManager check
//   nmcheck.gnome.org              GNOME NetworkManager check
//   network-test.debian.org        Debian NetworkManager check
constexpr std::string_view kProbeHosts[7] = {
    "captive.apple.com",       "connectivitycheck.gstatic.com", "dns.msftncsi.com",
    "www.msftconnecttest.com", "connectivity-check.ubuntu.com", "nmcheck.gnome.org",
    "network-test.debian.org",
};

// Domains whose every name is such background traffic:
//   .icloud.com            Apple cloud services
//   .apple.com             Apple (captive, push, update hosts)
//   .googleapis.com        Google APIs (Android and Chrome checks)
//   .msftconnecttest.com   Windows connect test (ipv6.msftconnecttest.com, ...)
//   .windowsupdate.com     Windows Update
constexpr std::string_view kProbeSuffixes[5] = {
    ".icloud.com", ".apple.com", ".googleapis.com", ".msftconnecttest.com", ".windowsupdate.com",
};

}  // namespace

DnsQueryType parseQueryType(std::string_view token) {
    struct Name {
        std::string_view text;
        DnsQueryType type;
    };
    static constexpr Name kNames[] = {
        {"A", DnsQueryType::a},     {"AAAA", DnsQueryType::aaaa}, {"CNAME", DnsQueryType::cname},
        {"MX", DnsQueryType::mx},   {"TXT", DnsQueryType::txt},   {"PTR", DnsQueryType::ptr},
        {"SRV", DnsQueryType::srv}, {"NS", DnsQueryType::ns},     {"SOA", DnsQueryType::soa},
        {"ANY", DnsQueryType::any}, {"*", DnsQueryType::any},
    };
    for (const Name& n : kNames) {
        if (equalsNoCase(token, n.text)) return n.type;
    }
    return DnsQueryType::other;
}

bool endsWith(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

bool isOsProbe(std::string_view name) {
    for (std::string_view host : kProbeHosts) {
        if (name == host) return true;
    }
    for (std::string_view suffix : kProbeSuffixes) {
        if (endsWith(name, suffix)) return true;
    }
    return false;
}

DnsEvent parse(std::string_view line) {
    DnsEvent ev{};
    ev.query_type = DnsQueryType::other;
    ev.response_code = DnsResponseCode::other;
    if (parseDnsmasq(line, ev)) return ev;
    if (parseBind(line, ev)) return ev;
    parseDnsmasqReply(line, ev);
    return ev;
}

}  // namespace tarvex::ingest::dns
