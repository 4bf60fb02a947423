// stream_framer.h: cutting a syslog byte stream (TCP or TLS) into messages.
//
// A stream sender frames each message one of two ways, and may change from
// one message to the next on the same connection:
//   - octet counting: "LEN SP MSG", LEN a decimal without a leading zero
//     giving the byte count of MSG (how TLS senders and rsyslog's
//     octet-counted mode frame);
//   - newline framing: MSG LF, with a CR before the LF or a NUL instead of
//     the LF tolerated (what most TCP senders do).
// A message that starts with a digit 1-9, more digits, a space and the "<"
// of a syslog PRI is octet-counted; anything else is a line (so a line that
// merely starts with digits, such as a timestamp or a firewall line without
// PRI, "101 1 tap101i0-IN ...", stays a line). Empty lines, stray CR and
// NUL between messages are skipped.
//
// Messages are at most kDatagramMax bytes, like a datagram: a longer frame or
// line is cut to its first kDatagramMax bytes and the rest is read and
// discarded. A length that cannot be right (more than kMaxLengthDigits
// digits, or above kMaxFrameBytes) is a framing error: the connection's
// reader closes that connection.
//
// One StreamFramer per connection, created with the connection slots at
// start; it holds the message being assembled and nothing else, and never
// allocates. Not thread-safe: only the stream reader thread uses it.
#pragma once

#include <string_view>

#include "common/types.h"
#include "ingest/listener.h"

namespace tarvex {

// The longest octet count taken as a length at all, and the largest length
// a sender may announce (its excess beyond kDatagramMax is discarded).
constexpr u32 kMaxLengthDigits = 7;
constexpr u32 kMaxFrameBytes = 1u << 20;

// Receives each complete message in order; `data` is valid only during the
// call. `cut` is true when the message was longer than kDatagramMax.
using FrameSink = void (*)(void* ctx, const char* data, u32 len, bool cut);

enum class FrameError : u8 { none, bad_length };

class StreamFramer {
  public:
    // Forgets any partial message: the state of a fresh connection.
    void reset();
    // Takes the next bytes of the stream, handing every message they complete
    // to `sink`. After bad_length nothing more may be fed (close the
    // connection; reset before reusing).
    FrameError feed(const char* data, size_t n, FrameSink sink, void* ctx);
    // The stream has ended: a line without its LF is handed to `sink` (a
    // sender may close after its last line). Returns true when an
    // octet-counted frame was left incomplete and had to be dropped.
    bool finish(FrameSink sink, void* ctx);
    // Whether part of a message has been read and not yet handed over.
    bool midMessage() const { return state_ != State::start; }
    // The length of a refused octet count, for the log line (0 when there
    // was none, u64 max when it had too many digits to read).
    u64 badLength() const { return bad_length_; }

  private:
    enum class State : u8 {
        start,         // between messages
        length,        // reading digits that may be an octet count
        length_space,  // digits and a space: is a PRI next?
        octets,        // inside an octet-counted frame
        skip_octets,   // discarding the excess of an over-long frame
        line,          // inside a line
        line_full,     // a line filled the buffer: is the next byte its end?
        skip_line,     // discarding the rest of an over-long line
    };

    void emit(FrameSink sink, void* ctx, bool cut);

    char buf_[kDatagramMax];
    u32 len_ = 0;        // bytes of buf_ in use
    u32 remaining_ = 0;  // bytes of the octet-counted frame not yet read
    u64 bad_length_ = 0;
    bool full_cr_ = false;  // line_full: a CR came after the full buffer
    State state_ = State::start;
};

}  // namespace tarvex
