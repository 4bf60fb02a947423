// error.h: the error names shared by the whole code base.
//
// Operations that can fail return a Result<T> (or a bare Err where there is no
// value). Errors are reported in log lines and replies by their names, which
// are the enumerator names below ("OutOfMemory", "InvalidCharacter", ...).
#pragma once

#include <string_view>
#include <utility>

#include "common/types.h"

namespace tarvex {

enum class Err : u8 {
    None = 0,
    OutOfMemory,
    InvalidCharacter,
    Overflow,
    SystemResources,
    NameTooLong,
    FileNotFound,
    AccessDenied,
    IsDir,
    InputOutput,
    WouldBlock,
    ConnectionResetByPeer,
    SocketNotConnected,
    ConnectionTimedOut,
    ConnectionRefused,
    AddressInUse,
    AddressNotAvailable,
    NetworkUnreachable,
    PermissionDenied,
    ProcessFdQuotaExceeded,
    SystemFdQuotaExceeded,
    ThreadQuotaExceeded,
    LockedMemoryLimitExceeded,
    InvalidAddress,
    BrokenPipe,
    EndOfStream,
    StreamTooLong,
    InvalidUriScheme,
    UnsupportedSSLModeValue,
    UnsupportedConnectionParam,
    InvalidPort,
    PoolExhausted,
    Timeout,
    UnexpectedNull,
    ConnectionFailed,
    QueryFailed,
    UnexpectedDBMessage,
    NoRows,
    TableFull,
    NotFound,
    Unexpected,
    ProtocolError,
    TransactionFailed,
    InsertFailed,
    CommitFailed,
};

// The text form of an error: its enumerator name ("None" for no error).
std::string_view errName(Err e);

// Maps an errno value to the closest error name (Unexpected when none fits).
Err errFromErrno(int errnum);

// A value or an error. `ok()` says which; `value` is meaningful only when ok.
template <class T>
struct Result {
    T value{};
    Err err = Err::None;

    Result() = default;
    Result(T v) : value(std::move(v)) {}  // NOLINT: implicit on purpose
    Result(Err e) : err(e) {}             // NOLINT: implicit on purpose

    bool ok() const { return err == Err::None; }
    explicit operator bool() const { return ok(); }
};

}  // namespace tarvex
