#include "DeviceEvents.h"

#include "NxCom/TNxDevList.h"
#include "NxException.h"

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

void EventProgress::Send()
{
    if (m_bHold || m_bFailed)
        return;
    m_Events.Progress(m_Text, m_Percent);
}

void EventProgress::SetStatus(const std::string& text)
{
    NxDownloadUi::SetStatus(text);
    if (text == m_Text)
        return;
    m_Text = text;
    Send();
}

void EventProgress::SetProgress(unsigned percent)
{
    const int p = static_cast<int>(percent > 100 ? 100 : percent);
    if (p == m_Percent)
        return;
    m_Percent = p;
    Send();
}

void EventProgress::ProcessMessages()
{
    ThrowIfInterrupted();
}

// Text and percentage change together: one event, not two.
void EventProgress::OnBlockProgress(const ProgBlock& block, uint32_t index, uint32_t count)
{
    m_bHold = true;
    try {
        NxDownloadUi::OnBlockProgress(block, index, count);
    } catch (...) {
        m_bHold = false;
        throw;
    }
    m_bHold = false;
    Send();
}

void EventProgress::OnProgress(const char* text, unsigned percent)
{
    m_bHold = true;
    try {
        NxDownloadUi::OnProgress(text, percent);
    } catch (...) {
        m_bHold = false;
        throw;
    }
    m_bHold = false;
    Send();
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
        m_Events.Progress(caption + ": " + text, -1);
}
