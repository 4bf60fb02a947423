// error.cpp: names of the shared error values and the errno mapping.
#include "common/error.h"

#include <cerrno>

namespace tarvex {

std::string_view errName(Err e) {
    switch (e) {
        case Err::None:
            return "None";
        case Err::OutOfMemory:
            return "OutOfMemory";
        case Err::InvalidCharacter:
            return "InvalidCharacter";
        case Err::Overflow:
            return "Overflow";
        case Err::SystemResources:
            return "SystemResources";
        case Err::NameTooLong:
            return "NameTooLong";
        case Err::FileNotFound:
            return "FileNotFound";
        case Err::AccessDenied:
            return "AccessDenied";
        case Err::IsDir:
            return "IsDir";
        case Err::InputOutput:
            return "InputOutput";
        case Err::WouldBlock:
            return "WouldBlock";
        case Err::ConnectionResetByPeer:
            return "ConnectionResetByPeer";
        case Err::SocketNotConnected:
            return "SocketNotConnected";
        case Err::ConnectionTimedOut:
            return "ConnectionTimedOut";
        case Err::ConnectionRefused:
            return "ConnectionRefused";
        case Err::AddressInUse:
            return "AddressInUse";
        case Err::AddressNotAvailable:
            return "AddressNotAvailable";
        case Err::NetworkUnreachable:
            return "NetworkUnreachable";
        case Err::PermissionDenied:
            return "PermissionDenied";
        case Err::ProcessFdQuotaExceeded:
            return "ProcessFdQuotaExceeded";
        case Err::SystemFdQuotaExceeded:
            return "SystemFdQuotaExceeded";
        case Err::ThreadQuotaExceeded:
            return "ThreadQuotaExceeded";
        case Err::LockedMemoryLimitExceeded:
            return "LockedMemoryLimitExceeded";
        case Err::InvalidAddress:
            return "InvalidAddress";
        case Err::BrokenPipe:
            return "BrokenPipe";
        case Err::EndOfStream:
            return "EndOfStream";
        case Err::StreamTooLong:
            return "StreamTooLong";
        case Err::InvalidUriScheme:
            return "InvalidUriScheme";
        case Err::UnsupportedSSLModeValue:
            return "UnsupportedSSLModeValue";
        case Err::UnsupportedConnectionParam:
            return "UnsupportedConnectionParam";
        case Err::InvalidPort:
            return "InvalidPort";
        case Err::PoolExhausted:
            return "PoolExhausted";
        case Err::Timeout:
            return "Timeout";
        case Err::UnexpectedNull:
            return "UnexpectedNull";
        case Err::ConnectionFailed:
            return "ConnectionFailed";
        case Err::QueryFailed:
            return "QueryFailed";
        case Err::UnexpectedDBMessage:
            return "UnexpectedDBMessage";
        case Err::NoRows:
            return "NoRows";
        case Err::TableFull:
            return "TableFull";
        case Err::NotFound:
            return "NotFound";
        case Err::Unexpected:
            return "Unexpected";
        case Err::ProtocolError:
            return "ProtocolError";
        case Err::TransactionFailed:
            return "TransactionFailed";
        case Err::InsertFailed:
            return "InsertFailed";
        case Err::CommitFailed:
            return "CommitFailed";
    }
    return "Unexpected";
}

Err errFromErrno(int errnum) {
    switch (errnum) {
        case 0:
            return Err::None;
        case ENOMEM:
        case ENOBUFS:
            return Err::SystemResources;
        case EAGAIN:
            return Err::WouldBlock;
        case ENAMETOOLONG:
            return Err::NameTooLong;
        case ENOENT:
            return Err::FileNotFound;
        case EACCES:
            return Err::AccessDenied;
        case EPERM:
            return Err::PermissionDenied;
        case EISDIR:
            return Err::IsDir;
        case EIO:
            return Err::InputOutput;
        case ECONNRESET:
            return Err::ConnectionResetByPeer;
        case ENOTCONN:
            return Err::SocketNotConnected;
        case ETIMEDOUT:
            return Err::ConnectionTimedOut;
        case ECONNREFUSED:
            return Err::ConnectionRefused;
        case EADDRINUSE:
            return Err::AddressInUse;
        case EADDRNOTAVAIL:
            return Err::AddressNotAvailable;
        case ENETUNREACH:
            return Err::NetworkUnreachable;
        case EMFILE:
            return Err::ProcessFdQuotaExceeded;
        case ENFILE:
            return Err::SystemFdQuotaExceeded;
        case EPIPE:
            return Err::BrokenPipe;
        default:
            return Err::Unexpected;
    }
}

}  // namespace tarvex
