// identity.cpp: the identification rules and their facts.
#include "engine/identity.h"

#include <algorithm>

#include "common/format.h"
#include "common/text.h"
#include "engine/profiles.h"

namespace tarvex::identity {

namespace {

constexpr u16 kOsTraits = kTraitWindows | kTraitMacos | kTraitIos | kTraitAndroid | kTraitLinux |
                          kTraitEmbedded | kTraitApple;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// Copies at most N bytes of text in lower case.
template <size_t N>
std::string_view lowered(std::string_view text, char (&buf)[N]) {
    const size_t n = std::min(text.size(), N);
    for (size_t i = 0; i < n; ++i) buf[i] = lower(text[i]);
    return {buf, n};
}

// Calls f(item) for each "|"-separated item; stops when f returns true.
template <class F>
bool anyItem(std::string_view list, F&& f) {
    while (!list.empty()) {
        const size_t bar = list.find('|');
        const std::string_view item = list.substr(0, bar);
        if (!item.empty() && f(item)) return true;
        if (bar == std::string_view::npos) break;
        list.remove_prefix(bar + 1);
    }
    return false;
}

// The name is the domain or lies under it (both lower case).
bool underDomain(std::string_view name, std::string_view domain) {
    if (name.size() < domain.size()) return false;
    if (name.substr(name.size() - domain.size()) != domain) return false;
    return name.size() == domain.size() || name[name.size() - domain.size() - 1] == '.';
}

// Option-55 lists of current systems (fingerbank and the clients' sources).
struct OptionList {
    std::string_view list;
    u16 traits;
};
constexpr OptionList kOptionLists[] = {
    // Windows 10 and 11; 8 and 8.1; 7; XP.
    {"1,3,6,15,31,33,43,44,46,47,119,121,249,252", kTraitWindows},
    {"1,15,3,6,44,46,47,31,33,121,249,252,43", kTraitWindows},
    {"1,15,3,6,44,46,47,31,33,121,249,43,252", kTraitWindows},
    {"1,15,3,6,44,46,47,31,33,121,249,43", kTraitWindows},
    {"1,15,3,6,44,46,47,31,33,249,43", kTraitWindows},
    // macOS 11 and later; older macOS.
    {"1,121,3,6,15,108,114,119,252,95,44,46", kTraitMacos | kTraitApple},
    {"1,121,3,6,15,119,252,95,44,46", kTraitMacos | kTraitApple},
    {"1,121,3,6,15,114,119,252,95,44,46", kTraitMacos | kTraitApple},
    // iOS / iPadOS / tvOS 15 and later; 14 and earlier.
    {"1,121,3,6,15,108,114,119,252", kTraitIos | kTraitApple},
    {"1,121,3,6,15,114,119,252", kTraitIos | kTraitApple},
    {"1,121,3,6,15,119,252", kTraitIos | kTraitApple},
    {"1,3,6,15,119,252", kTraitIos | kTraitApple},
    // Android 9 to 14.
    {"1,3,6,15,26,28,51,58,59,43", kTraitAndroid},
    {"1,3,6,15,26,28,51,58,59,43,114", kTraitAndroid},
    {"1,3,6,15,26,28,51,58,59,43,114,108", kTraitAndroid},
    {"1,3,6,15,26,28,51,58,59", kTraitAndroid},
    // ISC dhclient (Debian, Ubuntu), NetworkManager's internal client,
    // dhcpcd (Raspberry Pi OS, Arch), systemd-networkd.
    {"1,28,2,3,15,6,119,12,44,47,26,121,42", kTraitLinux},
    {"1,28,2,3,15,6,119,12,44,47,26,121,42,249,33,252,17", kTraitLinux},
    {"1,2,6,12,15,26,28,121,3,33,40,41,42,119,249,252,17", kTraitLinux},
    {"1,121,33,3,6,12,15,26,28,42,51,54,58,59,119", kTraitLinux},
    {"1,3,6,12,15,28,42,51,54,58,59,119,121", kTraitLinux},
    {"1,3,6,12,15,28,42,119,121", kTraitLinux},
    // busybox udhcpc; lwIP (ESP8266 / ESP32 firmware).
    {"1,3,6,12,15,28,42", kTraitEmbedded},
    {"1,3,28,6", kTraitEmbedded},
    {"1,3,28,6,15,44,46,47", kTraitEmbedded},
};

// Vendor classes that name an operating system or DHCP stack.
struct ClassTrait {
    std::string_view prefix;  // lower case
    u16 traits;
};
constexpr ClassTrait kClassTraits[] = {
    {"msft", kTraitWindows},   {"android-dhcp", kTraitAndroid},          {"dhcpcd", kTraitLinux},
    {"udhcp", kTraitEmbedded}, {"aaplbsdpc", kTraitMacos | kTraitApple},
};

// Connectivity checks and time servers that name an operating system.
constexpr ClassTrait kDomainTraits[] = {
    {"captive.apple.com", kTraitApple},
    {"connectivitycheck.gstatic.com", kTraitAndroid},
    {"connectivitycheck.android.com", kTraitAndroid},
    {"msftconnecttest.com", kTraitWindows},
    {"msftncsi.com", kTraitWindows},
    {"connectivity-check.ubuntu.com", kTraitLinux},
    {"nmcheck.gnome.org", kTraitLinux},
    {"network-test.debian.org", kTraitLinux},
};

// The rule domains of all profiles, numbered for the devices' marks.
struct DomainRule {
    std::string_view domain;
    u16 profile;
};
constexpr u32 kMaxDomainRules = 128;

struct DomainTable {
    DomainRule rules[kMaxDomainRules];
    u32 count = 0;
    DomainTable() {
        const auto defs = builtinProfileDefs();
        for (u32 p = 0; p < defs.size(); ++p) {
            anyItem(defs[p].domains, [&](std::string_view d) {
                if (count < kMaxDomainRules) rules[count++] = {d, static_cast<u16>(p)};
                return false;
            });
        }
    }
};

const DomainTable& domainTable() {
    static const DomainTable table;
    return table;
}

bool hasMark(const DeviceFingerprint& d, u32 rule) {
    return (d.domain_marks[rule / 64] >> (rule % 64)) & 1u;
}

template <size_t N, class L>
bool replaceText(char (&dst)[N], L& len, std::string_view text) {
    if (std::string_view(dst, len) == text.substr(0, N)) return false;
    copyBounded(dst, len, text);
    return true;
}

struct Appender {
    char (*buf)[kEvidenceCap];
    u8* len;
    void add(std::string_view a, std::string_view b = {}) {
        if (!buf) return;
        FixedText<kEvidenceCap> t;
        t.append(std::string_view(*buf, *len));
        if (*len) t.append("; ");
        t.append(a);
        t.append(b);
        copyBounded(*buf, *len, t.view());
    }
};

}  // namespace

bool matchesAny(std::string_view text, std::string_view patterns) {
    char buf[kHostnameCap];
    const std::string_view t = lowered(text, buf);
    if (t.empty()) return false;
    return anyItem(patterns, [&](std::string_view p) {
        const bool head = p.front() == '^';
        if (head) p.remove_prefix(1);
        const bool tail = !p.empty() && p.back() == '$';
        if (tail) p.remove_suffix(1);
        if (p.empty() || p.size() > t.size()) return false;
        if (head && tail) return t == p;
        if (head) return t.substr(0, p.size()) == p;
        if (tail) return t.substr(t.size() - p.size()) == p;
        return t.find(p) != std::string_view::npos;
    });
}

u16 optionListTraits(std::string_view list) {
    for (const OptionList& o : kOptionLists)
        if (o.list == list) return o.traits;
    return 0;
}

bool noteHostname(DeviceFingerprint& d, std::string_view name) {
    return !name.empty() && replaceText(d.hostname, d.hostname_len, name);
}

bool noteVendor(DeviceFingerprint& d, std::string_view vendor) {
    d.vendor_known = true;
    return replaceText(d.vendor, d.vendor_len, vendor);
}

bool noteVendorClass(DeviceFingerprint& d, std::string_view vendor_class) {
    if (vendor_class.empty()) return false;
    bool changed = replaceText(d.vendor_class, d.vendor_class_len, vendor_class);
    char buf[kVendorClassCap];
    const std::string_view v = lowered(vendor_class, buf);
    for (const ClassTrait& c : kClassTraits) {
        if (v.substr(0, c.prefix.size()) == c.prefix && (d.traits & c.traits) != c.traits) {
            d.traits |= c.traits;
            changed = true;
        }
    }
    return changed;
}

bool noteOptions(DeviceFingerprint& d, std::string_view list) {
    const u16 t = optionListTraits(list);
    if ((d.traits & t) == t) return false;
    d.traits |= t;
    return true;
}

bool noteDomain(DeviceFingerprint& d, std::string_view name) {
    char buf[256];
    std::string_view n = lowered(name, buf);
    while (!n.empty() && n.back() == '.') n.remove_suffix(1);
    if (n.empty()) return false;
    bool changed = false;
    for (const ClassTrait& c : kDomainTraits) {
        if (underDomain(n, c.prefix) && (d.traits & c.traits) != c.traits) {
            d.traits |= c.traits;
            changed = true;
        }
    }
    const DomainTable& table = domainTable();
    for (u32 r = 0; r < table.count; ++r) {
        if (hasMark(d, r) || !underDomain(n, table.rules[r].domain)) continue;
        d.domain_marks[r / 64] |= u64{1} << (r % 64);
        changed = true;
    }
    return changed;
}

Verdict evaluate(const DeviceFingerprint& d, char (*evidence)[kEvidenceCap], u8* evidence_len) {
    const auto defs = builtinProfileDefs();
    const DomainTable& table = domainTable();
    const std::string_view host = d.getHostname();
    char vbuf[kVendorNameCap];
    const std::string_view vendor = lowered(d.getVendor(), vbuf);
    const u16 os = d.traits & kOsTraits;

    auto score = [&](u32 p, Appender* why) -> i32 {
        const ProfileDef& def = defs[p];
        const bool name_hit = !def.hostnames.empty() && matchesAny(host, def.hostnames) &&
                              (def.hostnames_not.empty() || !matchesAny(host, def.hostnames_not));
        std::string_view domain_hit;
        for (u32 r = 0; r < table.count && domain_hit.empty(); ++r)
            if (table.rules[r].profile == p && hasMark(d, r)) domain_hit = table.rules[r].domain;
        if (def.needs_name && !name_hit && domain_hit.empty()) return 0;
        i32 s = 0;
        if (name_hit) {
            s += 4;
            if (why) why->add("host name ", host);
        }
        if (!domain_hit.empty()) {
            s += 3;
            if (why) why->add("queried ", domain_hit);
        }
        if (!def.vendor_classes.empty() && d.vendor_class_len) {
            char cbuf[kVendorClassCap];
            const std::string_view vc = lowered(d.getVendorClass(), cbuf);
            bool hit = anyItem(def.vendor_classes, [&](std::string_view pre) {
                char pbuf[kVendorClassCap];
                const std::string_view lp = lowered(pre, pbuf);
                return vc.substr(0, lp.size()) == lp;
            });
            if (hit) {
                s += 3;
                if (why) why->add("vendor class ", d.getVendorClass());
            }
        }
        if (!def.vendors.empty() && !vendor.empty()) {
            const bool hit = anyItem(def.vendors, [&](std::string_view w) {
                return vendor.find(w) != std::string_view::npos;
            });
            if (hit) {
                s += def.vendor_decides ? 4 : 2;
                if (why) why->add("vendor ", d.getVendor());
            } else {
                s -= 3;
            }
        }
        if (def.traits && os) {
            // Apple's captive-portal check says "some Apple system": it rules
            // out the others but points at none of Apple's own.
            if (def.traits & os & ~kTraitApple) {
                s += 2;
                if (why) why->add("its operating system");
            } else if (!(def.traits & os)) {
                s -= 3;
            }
        }
        return s;
    };

    Verdict v{-1, 0, 0};
    i32 best = 0, second = 0;
    i32 best_idx = -1;
    for (u32 p = 0; p < defs.size(); ++p) {
        const i32 s = score(p, nullptr);
        if (s > best) {
            second = best;
            best = s;
            best_idx = static_cast<i32>(p);
        } else if (s > second) {
            second = s;
        }
    }
    v.score = best;
    v.runner_up = second;
    if (best_idx >= 0 && best >= kMinScore && best - second >= kMinLead) {
        v.profile = best_idx;
        if (evidence && evidence_len) {
            *evidence_len = 0;
            Appender why{evidence, evidence_len};
            score(static_cast<u32>(best_idx), &why);
        }
    }
    return v;
}

bool identify(DeviceFingerprint& d) {
    char evidence[kEvidenceCap];
    u8 evidence_len = 0;
    const Verdict v = evaluate(d, &evidence, &evidence_len);
    if (v.profile < 0) return false;
    const ProfileDef& def = builtinProfileDefs()[static_cast<u32>(v.profile)];
    d.confidence = std::min(1.0f, static_cast<f32>(v.score) / 10.0f);
    copyBounded(d.evidence, d.evidence_len, std::string_view(evidence, evidence_len));
    const bool changed = d.profile != v.profile + 1 || d.getLabel() != def.name;
    d.profile = static_cast<u16>(v.profile + 1);
    d.setLabel(def.name);
    return changed;
}

std::string_view kindOf(const DeviceFingerprint& d) {
    if (d.user_kind_len) return d.getUserKind();
    const auto defs = builtinProfileDefs();
    if (d.profile == 0 || d.profile > defs.size()) return {};
    return defs[d.profile - 1u].kind;
}

}  // namespace tarvex::identity
