// address.h: network addresses in text: the local-address test and finding
// an IPv4 address inside a longer text.
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
// 169.254/16, 172.16/12, 100.64/10).
bool isLocalIp(std::string_view text);

// The first dotted IPv4 address in `text`, scanning from the start.
std::optional<Ipv4Result> extractIpv4(std::string_view text);

}  // namespace tarvex
