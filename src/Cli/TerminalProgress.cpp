#include "Cli/TerminalProgress.h"

#include "Cli/Command.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

TerminalProgress* TerminalProgress::s_pActive = nullptr;

TerminalProgress::TerminalProgress(std::FILE* out)
    : m_Out(out), m_bBar(::isatty(::fileno(out)) == 1)
{
    s_pActive = this;
}

TerminalProgress::~TerminalProgress()
{
    EndLine();
    if (s_pActive == this)
        s_pActive = nullptr;
}

void TerminalProgress::ShowProgress(const std::string& text, std::optional<unsigned> percent)
{
    const unsigned pct = percent ? std::min(*percent, 100u) : m_Percent;
    const bool newText = text != m_Text;
    if (m_bFailed || (!newText && pct == m_Percent))
        return;
    m_Text = text;
    m_Percent = pct;
    if (m_bBar)
        Draw();
    else if (newText)
        WriteOutput(m_Out, text + "\n");
}

void TerminalProgress::OnFailure(const char* text)
{
    m_bFailed = true;
    NxDownloadUi::OnFailure(text);
}

void TerminalProgress::OnFailed(const char* text, unsigned percent)
{
    m_bFailed = true;
    OnProgress(text, percent);
}

int TerminalProgress::Columns() const
{
    winsize ws{};
    if (::ioctl(::fileno(m_Out), TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
        return ws.ws_col;
    return 80;
}

std::string ProgressBar(int percent, int width)
{
    const int filled = std::clamp(percent, 0, 100) * width / 100;
    std::string bar = "[";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    bar += "] ";
    return bar;
}

void TerminalProgress::Draw()
{
    // Narrow enough that the longest block line fits 80 columns.
    constexpr int kBarWidth = 20;
    std::string line = ProgressBar(static_cast<int>(m_Percent), kBarWidth);
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3u%% ", m_Percent);
    line += pct;
    // Multi-line texts (a failure report) show their first line only here.
    line += m_Text.substr(0, m_Text.find_first_of("\r\n"));
    // A line longer than the terminal would wrap and break the redraw.
    const size_t room = static_cast<size_t>(Columns() - 1);
    if (line.size() > room)
        line.resize(room);
    m_bOnLine = WriteOutput(m_Out, "\r" + line + "\033[K");
}

void TerminalProgress::EndLine()
{
    if (!m_bOnLine)
        return;
    WriteOutput(m_Out, "\n");
    m_bOnLine = false;
}

void TerminalProgress::EndActiveLine()
{
    if (s_pActive)
        s_pActive->EndLine();
}
