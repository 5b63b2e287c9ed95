// The one error type above the device link: it carries one message text, and
// every window action or CLI command shows that text.
#pragma once

#include <stdexcept>
#include <string>

class NxException : public std::runtime_error
{
public:
    explicit NxException(const std::string& msg) : std::runtime_error(msg) {}
    std::string Message() const { return what(); }
};

// printf-style formatting into a std::string.
std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Raises an NxException with a printf-formatted text.
[[noreturn]] void ThrowNx(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
