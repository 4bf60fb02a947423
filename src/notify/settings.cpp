// settings.cpp: format names and the notify URL's checks.
#include "notify/settings.h"

namespace tarvex {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != prefix[i]) return false;
    return true;
}

// The scheme ("http", "https") and the host with its port, without the
// user and password; false when the URL is not one of ours.
bool splitUrl(std::string_view url, std::string_view& scheme, std::string_view& host_port) {
    if (startsWithNoCase(url, "https://")) {
        scheme = "https";
    } else if (startsWithNoCase(url, "http://")) {
        scheme = "http";
    } else {
        return false;
    }
    std::string_view rest = url.substr(scheme.size() + 3);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    for (char c : authority)
        if (static_cast<unsigned char>(c) <= ' ' || c == '\\') return false;
    std::string_view host = authority;
    if (!host.empty() && host.front() == '[') {
        host = host.substr(0, host.find(']') + 1);
        if (host.size() < 3 || host.back() != ']') return false;
    } else {
        host = host.substr(0, host.find(':'));
    }
    if (host.empty()) return false;
    host_port = authority;
    return true;
}

}  // namespace

std::string_view notifyFormatName(NotifyFormat f) {
    switch (f) {
        case NotifyFormat::ntfy:
            return "ntfy";
        case NotifyFormat::gotify:
            return "gotify";
        case NotifyFormat::json:
            break;
    }
    return "json";
}

bool parseNotifyFormat(std::string_view text, NotifyFormat& out) {
    for (NotifyFormat f : {NotifyFormat::json, NotifyFormat::ntfy, NotifyFormat::gotify}) {
        if (text == notifyFormatName(f)) {
            out = f;
            return true;
        }
    }
    return false;
}

bool isNotifyUrl(std::string_view url) {
    std::string_view scheme, host_port;
    return splitUrl(url, scheme, host_port);
}

void appendNotifyTarget(TextBuf& out, std::string_view url) {
    std::string_view scheme, host_port;
    if (!splitUrl(url, scheme, host_port)) return;
    out.append(scheme);
    out.append("://");
    out.append(host_port);
}

}  // namespace tarvex
