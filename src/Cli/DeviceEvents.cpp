#include "Cli/DeviceEvents.h"

#include "NxCom/TNxDevList.h"
#include "NxException.h"

#include <algorithm>
#include <csignal>
#include <cstdio>

void DeviceEvents::CatchInterrupt()
{
    ::CatchInterrupt(false);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
}

void DeviceEvents::Write(CliJson event)
{
    if (m_bEnded)
        return;
    // Texts come from devices and need not be UTF-8. Nobody reading any more
    // stops the events only: the download goes on to its end.
    WriteOutput(stdout, event.dump(-1, ' ', false, CliJson::error_handler_t::replace) + "\n");
}

void DeviceEvents::Progress(const std::string& text, int percent)
{
    CliJson e = {{"device", m_Device}, {"event", "progress"}, {"text", text}};
    if (percent >= 0)
        e["percent"] = percent;
    Write(std::move(e));
}

void DeviceEvents::Done()
{
    CliJson e = {{"device", m_Device}, {"event", "done"}};
    e.update(Result);
    Write(std::move(e));
    m_bEnded = true;
}

void DeviceEvents::Failed(const std::string& error, unsigned kinds, bool busy)
{
    std::string text = error;
    for (size_t pos; (pos = text.find("\r\n")) != std::string::npos;)
        text.erase(pos, 1);
    const auto is = [kinds](NxFailure k) { return (kinds & static_cast<unsigned>(k)) != 0; };
    CliJson e = {{"device", m_Device},
                 {"event", "failed"},
                 {"error", text},
                 {"busy", busy},
                 {"interrupted", is(NxFailure::Interrupted)},
                 {"bootloader", is(NxFailure::LeftInBootloader)}};
    if (Result.contains("comlog"))
        e["comlog"] = Result["comlog"];
    Write(std::move(e));
    m_bEnded = true;
}

void EventProgress::ShowProgress(const std::string& text, std::optional<unsigned> percent)
{
    const int p = percent ? static_cast<int>(std::min(*percent, 100u)) : m_Percent;
    if (text == m_Text && p == m_Percent)
        return;
    m_Text = text;
    m_Percent = p;
    if (!m_bFailed)
        m_Events.Progress(m_Text, m_Percent);
}

void EventProgress::ProcessMessages()
{
    ThrowIfInterrupted();
}

void EventProgress::OnChecksum(uint32_t sum)
{
    m_Events.Result["checksum"] = StrFormat("0x%08lX", static_cast<unsigned long>(sum));
    NxDownloadUi::OnChecksum(sum);
}

void EventProgress::OnFailure(const char* text)
{
    m_bFailed = true;
    NxDownloadUi::OnFailure(text);
}

void EventSink::ShowMessage(const std::string& text, const std::string& caption, Icon)
{
    // The list's own boxes explain why the device is missing: that is the failure.
    if (caption == TNxDevList::kCaption)
        m_Last = text;
    else
        m_Events.Progress(MessageLine(text, caption), -1);
}
