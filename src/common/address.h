// address.h: network addresses in text: the local-address test and finding
// an IPv4 or IPv6 address inside a longer text.
//
// Log lines carry addresses as text, and the graph names address nodes by
// that text, so these work on the text form without converting it. Pure
// functions; any thread.
#pragma once

#include <optional>
#include <string_view>

namespace tarvex {

// One dotted IPv4 address found inside a longer text.
struct Ipv4Result {
    std::string_view text;  // the address
    size_t span;            // bytes from the scan position to the address end
};

// Private-address test on the text form (10/8, 127/8, 192.168/16,
// 169.254/16, 172.16/12, 100.64/10; for IPv6 the loopback ::1, link-local
// fe80::/10 and unique-local fc00::/7, hexadecimal in either case, and an
// IPv4-mapped ::ffff:a.b.c.d by its IPv4 part).
bool isLocalIp(std::string_view text);

// One IPv6 address found inside a longer text, in its canonical compressed
// lower-case form (so "FE80:0:0::0001" and "fe80::1" name the same node).
struct Ipv6Result {
    char text[46];
    unsigned char len;
    size_t span;  // bytes from the scan position to the address end
    std::string_view view() const { return {text, len}; }
};

// The first IPv6 address in `text`: a run of hexadecimal digits and colons
// (with an IPv4 tail allowed) that holds at least two colons and reads as
// an address. A zone ("%eth0") is not part of it. Times ("12:30:45") and
// MAC addresses do not read as addresses.
std::optional<Ipv6Result> extractIpv6(std::string_view text);

// The canonical text of an IPv6 address given as text, into out; false when
// it is not one.
bool canonicalIpv6(std::string_view text, char out[46], unsigned char& len);

// The first dotted IPv4 address in `text`, scanning from the start.
std::optional<Ipv4Result> extractIpv4(std::string_view text);

}  // namespace tarvex
