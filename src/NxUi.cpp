#include "NxUi.h"

#include <cstdio>

namespace {
class StderrSink : public INxMessageSink
{
public:
    void ShowMessage(const std::string& text, const std::string& caption, Icon) override
    {
        std::fprintf(stderr, "%s\n", MessageLine(text, caption).c_str());
    }
};
StderrSink g_StderrSink;
INxMessageSink* g_pSink = &g_StderrSink;
} // namespace

std::string MessageLine(const std::string& text, const std::string& caption)
{
    return caption.empty() ? text : caption + ": " + text;
}

INxMessageSink& NxMessages()
{
    return *g_pSink;
}

void SetNxMessages(INxMessageSink* sink)
{
    g_pSink = sink ? sink : &g_StderrSink;
}
