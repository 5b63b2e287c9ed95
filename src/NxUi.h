// The core shows no windows. Message boxes that the core itself raises (the
// device list's and the XML reader's reports) go to one replaceable sink,
// which the GUI implements with message boxes, the CLI with stderr and tests
// with recorders.
#pragma once

#include <string>

class INxMessageSink
{
public:
    enum class Icon
    {
        Information,
        Warning,
        Error
    };
    virtual ~INxMessageSink() = default;
    // An empty caption: the text stands alone (a box takes the program's title).
    virtual void ShowMessage(const std::string& text, const std::string& caption, Icon icon) = 0;
};

// The message as one line of text: "<caption>: <text>", or the text alone.
std::string MessageLine(const std::string& text, const std::string& caption);

// The process-wide sink; nullptr restores the default, which writes to stderr.
INxMessageSink& NxMessages();
void SetNxMessages(INxMessageSink* sink);
