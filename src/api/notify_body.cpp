// notify_body.cpp: notification bodies and headers (json, ntfy, gotify).
#include "api/notify_body.h"

#include <ctime>

#include "api/json.h"
#include "http/base64.h"

namespace tarvex {

namespace {

void appendLink(TextBuf& b, std::string_view base, u32 id) {
    b.append(base);
    b.append("/#/alerts");
    if (id != 0) formatInto(b, "/{}", id);
}

// A header value: control bytes become spaces (a line break would end the
// header); text beyond ASCII goes as an RFC 2047 encoded word, which ntfy
// decodes.
void appendHeaderValue(TextBuf& b, std::string_view s) {
    bool ascii = true;
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    if (ascii) {
        for (char c : s) {
            const auto u = static_cast<unsigned char>(c);
            b.push(u < 0x20 || u == 0x7f ? ' ' : c);
        }
        return;
    }
    char encoded[base64Size(kAlertTitleCap)];
    const std::string_view cut = s.substr(0, kAlertTitleCap);
    b.append("=?UTF-8?B?");
    b.append(std::string_view(encoded, base64Encode(cut, encoded)));
    b.append("?=");
}

void appendTime(TextBuf& b, i64 t) {
    const time_t tt = static_cast<time_t>(t);
    tm parts{};
    if (!gmtime_r(&tt, &parts)) return;
    char text[32];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    b.append(std::string_view(text, n));
}

// The text of an alert message for people: what, from where, when.
void appendAlertText(TextBuf& b, const NotifyItem& item, std::string_view link_base) {
    formatInto(b, "Severity: {}\n", severityName(item.severity));
    if (item.source_len) formatInto(b, "Source: {}\n", item.getSource());
    if (item.dest_len) formatInto(b, "Destination: {}\n", item.getDest());
    b.append("Raised: ");
    appendTime(b, item.created_at);
    b.append("\n");
    appendLink(b, link_base, item.id);
}

void appendDigestText(TextBuf& b, u64 held, std::string_view link_base) {
    formatInto(b, "{} more alert{} held back by the limit of {} notifications a minute.\n", held,
               held == 1 ? "" : "s", kNotifyPerWindow);
    appendLink(b, link_base, 0);
}

void appendDigestTitle(TextBuf& b, u64 held) {
    formatInto(b, "tarvex: {} alert{} held back", held, held == 1 ? "" : "s");
}

// ntfy shows a tag that names an emoji as that emoji.
std::string_view ntfyTag(AlertSeverity s, bool new_device) {
    if (new_device) return "new";
    switch (s) {
        case AlertSeverity::critical:
            return "rotating_light";
        case AlertSeverity::high:
            return "warning";
        default:
            return "information_source";
    }
}

void gotifyBody(TextBuf& b, std::string_view title, std::string_view message, int priority,
                std::string_view link) {
    b.append("{\"title\":");
    appendJsonStr(b, title);
    b.append(",\"message\":");
    appendJsonStr(b, message);
    formatInto(b, ",\"priority\":{}", priority);
    b.append(",\"extras\":{\"client::notification\":{\"click\":{\"url\":");
    appendJsonStr(b, link);
    b.append("}}}}");
}

}  // namespace

int ntfyPriority(AlertSeverity s, bool new_device) {
    if (new_device) return 3;  // a person asked to hear of it: the default sound
    switch (s) {
        case AlertSeverity::critical:
            return 5;
        case AlertSeverity::high:
            return 4;
        case AlertSeverity::medium:
            return 3;
        default:
            return 2;
    }
}

int gotifyPriority(AlertSeverity s, bool new_device) {
    if (new_device) return 5;
    switch (s) {
        case AlertSeverity::critical:
            return 9;
        case AlertSeverity::high:
            return 7;
        case AlertSeverity::medium:
            return 5;
        case AlertSeverity::low:
            return 3;
        default:
            return 2;
    }
}

void formatAlertNotification(const NotifyItem& item, NotifyFormat format,
                             std::string_view link_base, NotifyMessage& out) {
    FixedText<512> link;
    appendLink(link, link_base, item.id);
    switch (format) {
        case NotifyFormat::json: {
            out.headers.append("Content-Type: application/json\n");
            TextBuf& b = out.body;
            formatInto(b, "{\"id\":{},\"title\":", item.id);
            appendJsonStr(b, item.getTitle());
            b.append(",\"severity\":");
            appendJsonStr(b, severityName(item.severity));
            b.append(",\"source\":");
            appendJsonStr(b, item.getSource());
            b.append(",\"destination\":");
            appendJsonStr(b, item.getDest());
            formatInto(b, ",\"created_at\":{},\"link\":", item.created_at);
            appendJsonStr(b, link.view());
            b.push('}');
            return;
        }
        case NotifyFormat::ntfy: {
            TextBuf& h = out.headers;
            h.append("Content-Type: text/plain; charset=utf-8\nTitle: ");
            appendHeaderValue(h, item.getTitle());
            formatInto(h, "\nPriority: {}\nTags: {},{}\nClick: ",
                       ntfyPriority(item.severity, item.new_device),
                       ntfyTag(item.severity, item.new_device), severityName(item.severity));
            appendHeaderValue(h, link.view());
            h.push('\n');
            appendAlertText(out.body, item, link_base);
            return;
        }
        case NotifyFormat::gotify: {
            out.headers.append("Content-Type: application/json\n");
            FixedText<1024> text;
            appendAlertText(text, item, link_base);
            gotifyBody(out.body, item.getTitle(), text.view(),
                       gotifyPriority(item.severity, item.new_device), link.view());
            return;
        }
    }
}

void formatDigestNotification(u64 held, NotifyFormat format, std::string_view link_base,
                              NotifyMessage& out) {
    FixedText<512> link;
    appendLink(link, link_base, 0);
    FixedText<128> title;
    appendDigestTitle(title, held);
    FixedText<768> text;
    appendDigestText(text, held, link_base);
    switch (format) {
        case NotifyFormat::json:
            out.headers.append("Content-Type: application/json\n");
            formatInto(out.body, "{\"held_back\":{},\"title\":", held);
            appendJsonStr(out.body, title.view());
            out.body.append(",\"link\":");
            appendJsonStr(out.body, link.view());
            out.body.push('}');
            return;
        case NotifyFormat::ntfy:
            out.headers.append("Content-Type: text/plain; charset=utf-8\nTitle: ");
            appendHeaderValue(out.headers, title.view());
            out.headers.append("\nPriority: 4\nTags: warning,digest\nClick: ");
            appendHeaderValue(out.headers, link.view());
            out.headers.push('\n');
            out.body.append(text.view());
            return;
        case NotifyFormat::gotify:
            out.headers.append("Content-Type: application/json\n");
            gotifyBody(out.body, title.view(), text.view(), 7, link.view());
            return;
    }
}

NotifyFormatter notifyFormatter() {
    return {formatAlertNotification, formatDigestNotification};
}

}  // namespace tarvex
