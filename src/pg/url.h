// url.h: the database connection URL (DATABASE_URL) and the options it gives.
//
// A URL has the form
//   postgresql://[user[:password]@][host][:port][/database][?param=value&...]
// with "postgres" accepted as the scheme too. User, password, host, port and
// database are percent-decoded. The host defaults to 127.0.0.1 and the port to
// 5432; a host beginning with "/" names the directory of the server's
// Unix-domain socket; an IPv6 address is written in brackets ("[::1]").
// Recognised parameters: "sslmode" (disable, require, verify-full) and
// "tcp_user_timeout" (milliseconds, 0 for the system default). Everything
// else is refused, so a URL never silently means less than it says.
// With "require" the session is encrypted (TLS) without checking the server's
// certificate; "verify-full" also checks the certificate and host name
// against the client library's trusted roots (~/.postgresql/root.crt, or the
// file named by PGSSLROOTCERT).
//
// Plain values; parsing has no side effects and is safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "common/types.h"

namespace tarvex {

enum class PgSslMode : u8 { disable, require, verify_full };

// The URL text of a mode ("disable", "require", "verify-full").
std::string_view sslModeName(PgSslMode m);

struct PgConnOptions {
    std::string user;      // empty: the client library's default
    std::string password;  // empty: none
    std::string host = "127.0.0.1";
    u16 port = 5432;
    std::string database;  // empty: the client library's default (the user name)
    PgSslMode sslmode = PgSslMode::disable;
    u32 tcp_user_timeout_ms = 10000;

    // True when `host` names a Unix-domain socket directory.
    bool unixSocket() const { return !host.empty() && host[0] == '/'; }
};

// Parses a connection URL. Errors: InvalidUriScheme (not postgresql:// or
// postgres://), InvalidPort (not a decimal 1..65535), UnsupportedSSLModeValue,
// UnsupportedConnectionParam, InvalidCharacter (a bad percent escape, a bad
// tcp_user_timeout or a malformed bracketed host), Overflow (tcp_user_timeout
// beyond 32 bits).
Result<PgConnOptions> parsePgUrl(std::string_view url);

// Decodes %XX escapes (either hex case); "+" stays "+". A "%" not followed by
// two hex digits is InvalidCharacter.
Result<std::string> percentDecode(std::string_view text);

}  // namespace tarvex
