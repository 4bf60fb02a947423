// reply.h: fixed replies that endpoints send without building a body.
//
// A FixedReply pairs an HTTP status with the exact JSON body to send. The
// API's endpoint families publish their replies as constants of this type
// beside their handlers, which send them verbatim.
#pragma once

#include <string_view>

#include "common/types.h"

namespace tarvex {

struct FixedReply {
    u16 status;
    std::string_view body;
};

// Replies shared by several endpoint families.
inline constexpr FixedReply kReplyBadQueryString{400, "{\"error\":\"bad query string\"}"};
inline constexpr FixedReply kReplyNotFound{404, "{\"error\":\"not found\"}"};
inline constexpr FixedReply kReplyMissingBody{400, "{\"error\":\"missing request body\"}"};

}  // namespace tarvex
