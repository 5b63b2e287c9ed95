// The one error type above the device link: it carries one message text, and
// every window action or CLI command shows that text.
#pragma once

#include <stdexcept>
#include <string>

// What a failure means for those who act on it, beside the words the user
// reads: callers test these, never the message.
enum class NxFailure : unsigned
{
    LeftInBootloader = 1u << 0,   // the target runs only its bootloader now
    Interrupted = 1u << 1,        // the user stopped it (Ctrl-C)
    BridgeDisconnected = 1u << 2, // the bridge's port is gone
};

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

    bool Is(NxFailure kind) const { return (m_Kinds & static_cast<unsigned>(kind)) != 0; }
    unsigned Kinds() const { return m_Kinds; }
    NxException& Mark(NxFailure kind)
    {
        m_Kinds |= static_cast<unsigned>(kind);
        return *this;
    }
    // Takes over the kinds of a failure this one restates.
    NxException& MarkAll(unsigned kinds)
    {
        m_Kinds |= kinds;
        return *this;
    }

private:
    std::string m_Detail;
    unsigned m_Kinds = 0;
};

// printf-style formatting into a std::string.
std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Raises an NxException with a printf-formatted text.
[[noreturn]] void ThrowNx(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
