// http_call.h: one HTTP/1.1 request and its reply over a kept-alive RawConn.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "support/http_client.h"

namespace tarvex::test {

struct HttpReply {
    int status = 0;  // 0 when no reply arrived
    std::string head;
    std::string body;
};

// Splits a raw reply into status, head and body.
inline HttpReply parseReply(const std::string& raw) {
    HttpReply r;
    size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return r;
    r.status = std::stoi(raw.substr(9, 3));
    r.head = raw.substr(0, end + 4);
    r.body = raw.substr(end + 4);
    return r;
}

inline HttpReply callWith(RawConn& c, std::string_view method, std::string_view target,
                          std::optional<std::string_view> body, std::string_view headers);

// Sends `method target` (with a JSON body when one is given) and reads the
// reply; the connection stays open for the next call.
inline HttpReply call(RawConn& c, std::string_view method, std::string_view target,
                      std::optional<std::string_view> body = std::nullopt) {
    return callWith(c, method, target, body, "Content-Type: application/json\r\n");
}

// The same with `headers` (whole lines, each ending in CRLF) in the
// request; a "Host:" line among them replaces the default one.
inline HttpReply callWith(RawConn& c, std::string_view method, std::string_view target,
                          std::optional<std::string_view> body, std::string_view headers) {
    std::string req;
    req.append(method).append(" ").append(target).append(" HTTP/1.1\r\n");
    if (headers.find("Host:") == std::string_view::npos) req += "Host: localhost\r\n";
    req.append(headers);
    if (body) {
        req += "Content-Length: ";
        req += std::to_string(body->size());
        req += "\r\n\r\n";
        req.append(*body);
    } else {
        req += "\r\n";
    }
    if (!c.send(req)) return {};
    return parseReply(c.readResponse());
}

// Waits until the server on `port` answers the health route.
inline bool waitForApi(int port, int attempts = 250) {
    for (int i = 0; i < attempts; ++i) {
        RawConn c(port);
        if (c.ok() && call(c, "GET", "/api/health").status == 200) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace tarvex::test
