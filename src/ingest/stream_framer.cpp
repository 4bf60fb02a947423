// stream_framer.cpp: octet counting and newline framing, byte by byte across
// reads.
#include "ingest/stream_framer.h"

#include <algorithm>
#include <cstring>

namespace tarvex {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool endsLine(char c) {
    return c == '\n' || c == '\0';
}

}  // namespace

void StreamFramer::reset() {
    len_ = 0;
    remaining_ = 0;
    bad_length_ = 0;
    full_cr_ = false;
    state_ = State::start;
}

void StreamFramer::emit(FrameSink sink, void* ctx, bool cut) {
    u32 n = len_;
    // A line's CR before its LF is framing, not text.
    if (state_ != State::octets && state_ != State::skip_octets && n > 0 && buf_[n - 1] == '\r')
        --n;
    len_ = 0;
    if (n > 0) sink(ctx, buf_, n, cut);
}

FrameError StreamFramer::feed(const char* data, size_t n, FrameSink sink, void* ctx) {
    size_t i = 0;
    while (i < n) {
        switch (state_) {
            case State::start: {
                const char c = data[i];
                if (c == '\n' || c == '\r' || c == '\0') {
                    ++i;
                } else if (c >= '1' && c <= '9') {
                    buf_[0] = c;
                    len_ = 1;
                    state_ = State::length;
                    ++i;
                } else {
                    len_ = 0;
                    state_ = State::line;
                }
                break;
            }
            case State::length: {
                const char c = data[i];
                if (isDigit(c)) {
                    if (len_ == kDatagramMax) {
                        // Thousands of digits: a line of them, cut.
                        state_ = State::line_full;
                        break;
                    }
                    buf_[len_++] = c;
                    ++i;
                } else if (c == ' ') {
                    ++i;
                    state_ = State::length_space;
                } else {
                    // Digits not followed by a space: the start of a line.
                    state_ = State::line;
                }
                break;
            }
            case State::length_space: {
                if (data[i] != '<') {
                    // "101 1 tap101i0-IN ..." (a firewall line without PRI)
                    // is a line that starts with a number, not a frame: a
                    // framed syslog message opens with its PRI.
                    if (len_ == kDatagramMax) {
                        state_ = State::line_full;
                    } else {
                        buf_[len_++] = ' ';
                        state_ = State::line;
                    }
                    break;
                }
                u64 v = 0;
                for (u32 k = 0; k < len_ && v <= kMaxFrameBytes; ++k)
                    v = v * 10 + static_cast<u64>(buf_[k] - '0');
                if (len_ > kMaxLengthDigits || v > kMaxFrameBytes) {
                    bad_length_ = len_ > kMaxLengthDigits ? ~u64{0} : v;
                    return FrameError::bad_length;
                }
                len_ = 0;
                remaining_ = static_cast<u32>(v);
                state_ = State::octets;
                break;
            }
            case State::octets: {
                const size_t take =
                    std::min<size_t>({n - i, size_t{remaining_}, size_t{kDatagramMax - len_}});
                std::memcpy(buf_ + len_, data + i, take);
                len_ += static_cast<u32>(take);
                remaining_ -= static_cast<u32>(take);
                i += take;
                if (remaining_ == 0) {
                    emit(sink, ctx, false);
                    state_ = State::start;
                } else if (len_ == kDatagramMax) {
                    emit(sink, ctx, true);
                    state_ = State::skip_octets;
                }
                break;
            }
            case State::skip_octets: {
                const size_t take = std::min<size_t>(n - i, remaining_);
                remaining_ -= static_cast<u32>(take);
                i += take;
                if (remaining_ == 0) state_ = State::start;
                break;
            }
            case State::line: {
                const size_t take = std::min<size_t>(n - i, kDatagramMax - len_);
                const char* p = data + i;
                size_t k = 0;
                while (k < take && !endsLine(p[k])) ++k;
                std::memcpy(buf_ + len_, p, k);
                len_ += static_cast<u32>(k);
                i += k;
                if (k < take) {
                    ++i;  // the LF or NUL
                    emit(sink, ctx, false);
                    state_ = State::start;
                } else if (len_ == kDatagramMax) {
                    state_ = State::line_full;
                }
                break;
            }
            case State::line_full: {
                if (data[i] == '\r' && !full_cr_) {
                    // Perhaps the CR of a CR LF right after a line of the
                    // limit's length: the next byte tells.
                    full_cr_ = true;
                    ++i;
                } else if (endsLine(data[i])) {
                    ++i;
                    full_cr_ = false;
                    emit(sink, ctx, false);
                    state_ = State::start;
                } else {
                    full_cr_ = false;
                    emit(sink, ctx, true);
                    state_ = State::skip_line;
                }
                break;
            }
            case State::skip_line: {
                const char* p = data + i;
                const size_t left = n - i;
                size_t k = 0;
                while (k < left && !endsLine(p[k])) ++k;
                i += k;
                if (k < left) {
                    ++i;
                    state_ = State::start;
                }
                break;
            }
        }
    }
    return FrameError::none;
}

bool StreamFramer::finish(FrameSink sink, void* ctx) {
    bool dropped = false;
    switch (state_) {
        case State::length:
        case State::length_space:
        case State::line:
        case State::line_full:
            state_ = State::line;
            emit(sink, ctx, false);
            break;
        case State::octets:
            dropped = true;
            break;
        case State::start:
        case State::skip_octets:
        case State::skip_line:
            break;
    }
    reset();
    return dropped;
}

}  // namespace tarvex
