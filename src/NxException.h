// The one error type above the device link: it carries one message text, and
// every window action or CLI command shows that text.
#pragma once

#include <stdexcept>
#include <string>

class NxException : public std::runtime_error
{
public:
    explicit NxException(const std::string& msg) : std::runtime_error(msg) {}
    // detail: the cause behind a text that must stay as it is, for the front
    // ends that can show more than one line (the CLI prints it below).
    NxException(const std::string& msg, const std::string& detail)
        : std::runtime_error(msg), m_Detail(detail)
    {
    }
    std::string Message() const { return what(); }
    const std::string& Detail() const { return m_Detail; }

private:
    std::string m_Detail;
};

// printf-style formatting into a std::string.
std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Raises an NxException with a printf-formatted text.
[[noreturn]] void ThrowNx(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
