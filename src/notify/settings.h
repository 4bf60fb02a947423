// settings.h: the notification settings' words and the URL checks shared by
// the settings reader, the notifier and the settings endpoint.
#pragma once

#include <string_view>

#include "common/format.h"
#include "common/types.h"

namespace tarvex {

enum class NotifyFormat : u8 { json = 0, ntfy = 1, gotify = 2 };

// "json", "ntfy", "gotify"; the format named by that text, or nothing.
std::string_view notifyFormatName(NotifyFormat f);
bool parseNotifyFormat(std::string_view text, NotifyFormat& out);

// Whether `url` is an http or https URL with a host (scheme in any case).
bool isNotifyUrl(std::string_view url);
// What may be shown of `url`: "scheme://host[:port]" (scheme lower-case),
// without user, password, path or query; "" when it is not a notify URL.
void appendNotifyTarget(TextBuf& out, std::string_view url);

}  // namespace tarvex
