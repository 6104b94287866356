#pragma once
// The failure kinds of the whole system. Every failure carries one English
// message; callers show only what()'s text.

#include <stdexcept>
#include <string>

namespace klink {

// Base of every failure this system raises on purpose.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// File, reply and format checks failed.
class ReadError : public Error {
public:
    using Error::Error;
};

// A refusal to send, or output that failed.
class WriteError : public Error {
public:
    using Error::Error;
};

// The operation was cancelled ("Playback cancelled.").
class AbortError : public Error {
public:
    using Error::Error;
};

// A bad size or value handed to an operation (flow-control windows, fade length).
class ArgumentOutOfRange : public Error {
public:
    using Error::Error;
};

// An operating-system call failed; the message is the system's own text.
class OSError : public Error {
public:
    OSError(int code, const std::string& message) : Error(message), code_(code) {}
    int Code() const noexcept { return code_; }

    // Builds the error from errno-style code with strerror's text, optionally
    // prefixed with context ("open /dev/ttyUSB0: No such file or directory").
    static OSError FromErrno(int code, const std::string& context = {});

private:
    int code_;
};

}  // namespace klink
