#pragma once

#include <exception>
#include <string>

namespace quillan {

// What went wrong, as far as the caller needs to know to pick an exception class.
// Only the binding layer turns these into Python exceptions (py_error.cpp).
enum class ErrorKind {
    Os,               // a system call failed: the class follows `os_errno`
    UnexpectedEof,    // the peer or the decoder ran out of data ("failed to fill whole buffer")
    WriteZero,        // a send wrote nothing ("failed to write whole buffer")
    InvalidData,      // compressed data that does not inflate ("corrupt deflate stream")
    NotConnected,     // a request on a client without a socket
    ConnectFailed,    // "Connect failed: ..."
    InvalidArgument,  // a value the operation cannot take (ValueError)
    FileNotFound,     // the path's metadata could not be read
    FileAccess,       // a file or socket step failed; always plain OSError, whatever the errno
    Internal,         // a consistency failure of our own
    Interrupted,      // a signal's handler asked a wait to stop (the binding knows why)
    TimedOut,         // a whole-exchange deadline passed (TimeoutError)
};

// The one error type of the core. `text` is the complete message the caller sees.
struct Error : std::exception {
    ErrorKind kind;
    int os_errno;  // 0 unless the failure came from the system
    std::string text;

    Error(ErrorKind k, std::string message, int err = 0)
        : kind(k), os_errno(err), text(std::move(message)) {}
    const char* what() const noexcept override { return text.c_str(); }
};

// "<system description> (os error N)" for the error number `err`.
std::string os_error_text(int err);

// An Os error for `err`; callers save errno before anything else can clobber it.
[[noreturn]] void throw_os_error(int err);

}  // namespace quillan
