// limits.cpp: the engine's protective limits: the time-out sweep, the
// per-address connection counts and the counting and logging of refusals.
#include <cstring>

#include "common/log.h"
#include "http/conn.h"
#include "http/server.h"

namespace tarvex {

namespace {

constexpr size_t kAddrTableSize = 2 * kMaxConnections;  // a power of two
static_assert((kAddrTableSize & (kAddrTableSize - 1)) == 0);

size_t addrHome(const u8* a) {
    u64 h = 1469598103934665603ull;  // FNV-1a
    for (int i = 0; i < 16; ++i) h = (h ^ a[i]) * 1099511628211ull;
    return static_cast<size_t>(h ^ (h >> 29)) & (kAddrTableSize - 1);
}

LogLimit g_limit_per_address;
LogLimit g_limit_table_full;
LogLimit g_limit_no_descriptor;
LogLimit g_limit_head_timeout;
LogLimit g_limit_ws_timeout;
LogLimit g_limit_bad_request;

}  // namespace

HttpRefusals& httpRefusals() {
    static HttpRefusals r;
    return r;
}

void HttpServer::noteAcceptRefusal(AcceptRefusal kind, std::string_view ip, Err e) {
    switch (kind) {
        case AcceptRefusal::per_address:
            httpRefusals().per_address.fetch_add(1, std::memory_order_relaxed);
            logWarnLimited(g_limit_per_address, "http",
                           "refused a connection from {}: it holds {} connections already "
                           "(the per-address limit)",
                           ip, opts_.max_conns_per_address);
            return;
        case AcceptRefusal::table_full:
            httpRefusals().table_full.fetch_add(1, std::memory_order_relaxed);
            logWarnLimited(g_limit_table_full, "http",
                           "refused a connection from {}: all {} connection slots are taken", ip,
                           kMaxConnections);
            return;
        case AcceptRefusal::no_descriptor:
            httpRefusals().no_descriptor.fetch_add(1, std::memory_order_relaxed);
            logWarnLimited(g_limit_no_descriptor, "http",
                           "cannot accept connections: {} (raise the open-files limit)", e);
            return;
    }
}

void HttpServer::refuseRequest(Conn& c, std::string_view reply) {
    httpRefusals().bad_request.fetch_add(1, std::memory_order_relaxed);
    std::string_view status = reply.substr(9, 3);
    logWarnLimited(g_limit_bad_request, "http", "({}) refused a malformed request ({})",
                   c.peerText(), status);
    replyAndClose(c, reply);
}

void HttpServer::timeoutSweep() {
    const i64 head_ns = i64{opts_.head_timeout_ms} * 1'000'000;
    const i64 idle_ns = i64{opts_.idle_timeout_ms} * 1'000'000;
    if (accept_blocked_) acceptAll();
    for (u32 i = 0; i < kMaxConnections; ++i) {
        Conn& c = conns_[i];
        if (c.state == ConnState::reading) {
            if (c.out_pending.load()) {
                // A client that does not read its answer.
                if (now_ - c.last_active > idle_ns) closeNow(c);
            } else if (c.in_len == 0 && c.served > 0) {
                if (now_ - c.last_active > idle_ns) closeAfterFlush(c);  // idle keep-alive
            } else if (c.head_done ? now_ - c.last_active > head_ns
                                   : now_ - c.req_start > head_ns) {
                httpRefusals().head_timeout.fetch_add(1, std::memory_order_relaxed);
                logWarnLimited(g_limit_head_timeout, "http",
                               "({}) request not complete within {} ms, closing", c.peerText(),
                               opts_.head_timeout_ms);
                if (c.in_len == 0) {
                    closeAfterFlush(c);  // never sent a byte: nothing to answer
                } else {
                    c.in_len = 0;
                    replyAndClose(c, kReplyTimeout);
                }
            }
        } else if (c.state == ConnState::websocket) {
            bool late_first = c.ws_await_first && now_ - c.req_start > head_ns;
            bool silent = now_ - c.last_active > idle_ns;
            if (late_first || silent) {
                httpRefusals().ws_timeout.fetch_add(1, std::memory_order_relaxed);
                logWarnLimited(g_limit_ws_timeout, "websocket", "({}) {}, closing", c.peerText(),
                               late_first ? std::string_view("no first message in time")
                                          : std::string_view("silent for too long"));
                u16 code = late_first ? kWsClosePolicy : kWsCloseGoingAway;
                char bytes[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
                std::string_view part(bytes, 2);
                wsWrite(i, c.gen, WsOpcode::close, &part, 1);
                c.in_len = 0;
                closeAfterFlush(c);
            } else if (!c.ws_pinged && now_ - c.last_active > idle_ns / 2) {
                // A live client answers with a pong, which counts as activity.
                c.ws_pinged = true;
                std::string_view none;
                wsWrite(i, c.gen, WsOpcode::ping, &none, 1);
            }
        }
    }
}

bool HttpServer::addressTake(const u8 addr[16]) {
    size_t i = addrHome(addr);
    for (;;) {
        AddrCount& e = addr_counts_[i];
        if (e.count == 0) {
            std::memcpy(e.addr, addr, 16);
            e.count = 1;
            return true;
        }
        if (std::memcmp(e.addr, addr, 16) == 0) {
            if (e.count >= opts_.max_conns_per_address) return false;
            ++e.count;
            return true;
        }
        i = (i + 1) & (kAddrTableSize - 1);
    }
}

void HttpServer::addressRelease(const u8 addr[16]) {
    size_t i = addrHome(addr);
    for (;;) {
        AddrCount& e = addr_counts_[i];
        if (e.count == 0) return;  // not counted
        if (std::memcmp(e.addr, addr, 16) == 0) break;
        i = (i + 1) & (kAddrTableSize - 1);
    }
    if (--addr_counts_[i].count > 0) return;
    // Backward-shift deletion keeps every probe chain unbroken.
    size_t hole = i;
    size_t j = i;
    for (;;) {
        j = (j + 1) & (kAddrTableSize - 1);
        AddrCount& e = addr_counts_[j];
        if (e.count == 0) break;
        size_t home = addrHome(e.addr);
        bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!stays) {
            addr_counts_[hole] = e;
            e.count = 0;
            hole = j;
        }
    }
}

}  // namespace tarvex
