// stream_tls.h: the TLS side of syslog streams (OpenSSL), non-blocking.
//
// One server context per daemon, loaded once at start from a PEM certificate
// chain and a PEM private key; then one session per accepted connection,
// driven by the stream reader's epoll loop: handshake and reads return at
// once with what they need next. Only the stream reader thread uses these.
#pragma once

#include <string_view>

#include "common/types.h"

struct ssl_st;
struct ssl_ctx_st;

namespace tarvex {

// The outcome of one non-blocking TLS step.
enum class TlsStep : u8 {
    done,        // finished (handshake) or bytes read (read)
    want_read,   // call again when the socket is readable
    want_write,  // call again when the socket is writable
    closed,      // the peer ended the session
    failed,      // protocol or socket error: close the connection
};

// Loads the certificate chain and key into a new server context (TLS 1.2 or
// later). nullptr on failure, with what went wrong in `why` (NUL-terminated).
ssl_ctx_st* loadTlsServerContext(const char* cert_path, const char* key_path, char why[160]);
void freeTlsServerContext(ssl_ctx_st* ctx);

// A server session over the connected socket `fd`; nullptr when OpenSSL has
// no memory for it.
ssl_st* newTlsSession(ssl_ctx_st* ctx, int fd);
// Sends the close notice once (without waiting) and frees the session.
void endTlsSession(ssl_st* ssl);

TlsStep tlsHandshake(ssl_st* ssl);
// Reads at most `cap` bytes; on done `got` holds the count.
TlsStep tlsRead(ssl_st* ssl, char* out, size_t cap, size_t& got);
// Whether decrypted bytes are waiting inside the session (epoll cannot see
// them).
bool tlsHasPending(ssl_st* ssl);
// The reason of the newest OpenSSL error of this thread, for a log line.
std::string_view tlsLastError(char buf[160]);

}  // namespace tarvex
