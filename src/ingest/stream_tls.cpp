// stream_tls.cpp: OpenSSL server context and non-blocking session steps.
#include "ingest/stream_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>

namespace tarvex {

namespace {

TlsStep stepFrom(SSL* ssl, int rc) {
    switch (SSL_get_error(ssl, rc)) {
        case SSL_ERROR_WANT_READ:
            return TlsStep::want_read;
        case SSL_ERROR_WANT_WRITE:
            return TlsStep::want_write;
        case SSL_ERROR_ZERO_RETURN:
            return TlsStep::closed;
        case SSL_ERROR_SYSCALL:
            // A socket that ended without a close notice: most senders just
            // close; treat it as the end of the stream.
            if (ERR_peek_error() == 0) return TlsStep::closed;
            return TlsStep::failed;
        default:
            return TlsStep::failed;
    }
}

}  // namespace

ssl_ctx_st* loadTlsServerContext(const char* cert_path, const char* key_path, char why[160]) {
    why[0] = '\0';
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        tlsLastError(why);
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Partial writes are fine and the write buffer may move between retries
    // of a non-blocking handshake.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx, cert_path) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key_path, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        tlsLastError(why);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

void freeTlsServerContext(ssl_ctx_st* ctx) {
    SSL_CTX_free(ctx);
}

ssl_st* newTlsSession(ssl_ctx_st* ctx, int fd) {
    SSL* ssl = SSL_new(ctx);
    if (!ssl) return nullptr;
    if (SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set_accept_state(ssl);
    return ssl;
}

void endTlsSession(ssl_st* ssl) {
    if (!ssl) return;
    ERR_clear_error();
    if (SSL_is_init_finished(ssl)) SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
}

TlsStep tlsHandshake(ssl_st* ssl) {
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl);
    return rc == 1 ? TlsStep::done : stepFrom(ssl, rc);
}

TlsStep tlsRead(ssl_st* ssl, char* out, size_t cap, size_t& got) {
    ERR_clear_error();
    got = 0;
    const int rc = SSL_read_ex(ssl, out, cap, &got);
    return rc == 1 ? TlsStep::done : stepFrom(ssl, rc);
}

bool tlsHasPending(ssl_st* ssl) {
    return SSL_pending(ssl) > 0;
}

std::string_view tlsLastError(char buf[160]) {
    const unsigned long e = ERR_peek_last_error();
    if (e == 0) {
        std::strcpy(buf, "the connection ended");
    } else {
        ERR_error_string_n(e, buf, 160);
    }
    return buf;
}

}  // namespace tarvex
