// notify_body.h: the messages the notifier sends, in each format.
//
//   json:   {"id":,"title":,"severity":,"source":,"destination":,
//           "created_at":,"link":} for an alert, {"held_back":,"title":,
//           "link":} for a digest;
//   ntfy:   a text body, with the title, priority (1 to 5), tags and click
//           link in the Title, Priority, Tags and Click headers;
//   gotify: {"title":,"message":,"priority":,"extras":{"client::notification":
//           {"click":{"url":}}}}.
// The link opens the alert in the dashboard ("<base>/#/alerts/<id>"; a
// digest links the alert list).
#pragma once

#include "notify/notifier.h"

namespace tarvex {

void formatAlertNotification(const NotifyItem& item, NotifyFormat format,
                             std::string_view link_base, NotifyMessage& out);
void formatDigestNotification(u64 held, NotifyFormat format, std::string_view link_base,
                              NotifyMessage& out);

// Both, for Notifier::create.
NotifyFormatter notifyFormatter();

// ntfy's Priority (1 to 5) and Gotify's priority (0 to 10) of an alert.
int ntfyPriority(AlertSeverity s, bool new_device);
int gotifyPriority(AlertSeverity s, bool new_device);

}  // namespace tarvex
