// classify.h: picks the source format of a datagram and parses it.
//
// classifyAndParse runs five fixed keyword tests over the whole datagram,
// first match wins: "CEF:" (CEF), a DHCP message keyword (DHCP), a resolver
// query or reply keyword (DNS), the packet-filter test (firewall), and
// otherwise syslog. The tag is fixed by the test whatever the parser then
// concludes.
//
// Thread-safety: pure functions without shared state (the parsers only log
// through the locked process log). Nothing is allocated.
#pragma once

#include <initializer_list>
#include <string_view>

#include "ingest/event.h"

namespace tarvex::ingest {

// Classifies and parses one datagram (cut to kMaxDatagram bytes, then
// without the line break some senders end it with). The wall clock supplies
// the year of BSD syslog timestamps.
ParsedEvent classifyAndParse(std::string_view bytes);

// The same with `now` (Unix seconds) standing in for the wall clock.
ParsedEvent classifyAndParse(std::string_view bytes, i64 now);

// True when any keyword occurs anywhere in the bytes (plain, case-sensitive).
bool containsAny(std::string_view bytes, std::initializer_list<std::string_view> keywords);

}  // namespace tarvex::ingest
