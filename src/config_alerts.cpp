// config_alerts.cpp: the alerting settings (new-device alerts,
// notifications).
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "config.h"

namespace tarvex {

namespace {

// "http://<host>:<port>" for the dashboard, from HOST and PORT. A wildcard
// HOST says nothing of how others reach the machine: its host name does.
void defaultLinkBase(Config& c) {
    FixedText<256> base;
    std::string_view host = c.getHost();
    char name[128] = {};
    if (host.empty() || host == "0.0.0.0" || host == "::") {
        if (gethostname(name, sizeof name - 1) == 0 && name[0] != 0) {
            host = name;
        } else {
            host = "localhost";
        }
    }
    base.append("http://");
    if (host.find(':') != std::string_view::npos) {
        formatInto(base, "[{}]", host);
    } else {
        base.append(host);
    }
    formatInto(base, ":{}", c.port);
    copyBounded(c.alerts.notify_link_base, c.alerts.notify_link_base_len, base.view());
}

void readNotifySettings(Config& c) {
    AlertSettings& a = c.alerts;
    if (const char* raw = std::getenv("NOTIFY_FORMAT")) {
        if (!parseNotifyFormat(raw, a.notify_format)) {
            logWarn("config",
                    "invalid value for NOTIFY_FORMAT: {} (json, ntfy or gotify), using "
                    "default json",
                    std::string_view(raw));
        }
    }
    if (const char* raw = std::getenv("NOTIFY_MIN_SEVERITY")) {
        std::optional<AlertSeverity> s = parseSeverityName(raw);
        if (s) {
            a.notify_min_severity = *s;
        } else {
            logWarn("config",
                    "invalid value for NOTIFY_MIN_SEVERITY: {} (info, low, medium, "
                    "high or critical), using default high",
                    std::string_view(raw));
        }
    }
    if (const char* raw = std::getenv("NOTIFY_LINK_BASE"); raw && raw[0] != 0) {
        copyBounded(a.notify_link_base, a.notify_link_base_len, raw);
    } else {
        defaultLinkBase(c);
    }

    const char* url = std::getenv("NOTIFY_URL");
    if (!url || url[0] == 0) return;
    // The URL is not shown: it may hold a password or a token.
    const std::string_view u = url;
    if (u.size() > sizeof a.notify_url) {
        logWarn("config", "NOTIFY_URL is longer than {} bytes \xE2\x80\x94 notifications are off",
                sizeof a.notify_url);
        return;
    }
    if (!isNotifyUrl(u)) {
        logWarn("config",
                "NOTIFY_URL is not an http or https URL \xE2\x80\x94 notifications are off");
        return;
    }
    copyBounded(a.notify_url, a.notify_url_len, u);
    FixedText<300> target;
    appendNotifyTarget(target, u);
    logInfo("config", "notifications: {} to {} for alerts at or above {}{}",
            notifyFormatName(a.notify_format), target.view(), severityName(a.notify_min_severity),
            a.new_device_alerts ? " and new devices" : "");
}

}  // namespace

void readAlertSettings(Config& c) {
    // Any number but 0 leaves new-device alerts on; a bad value keeps the
    // default with the usual warning.
    c.alerts.new_device_alerts = getEnvU32("NEW_DEVICE_ALERTS", 1) != 0;
    c.alerts.new_device_grace = getEnvU32("NEW_DEVICE_GRACE", 600);
    readNotifySettings(c);
}

}  // namespace tarvex
