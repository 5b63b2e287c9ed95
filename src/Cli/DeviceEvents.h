// The side of one device in a run on several: this process works on one
// controller and tells the parent what happens as JSON lines on stdout,
//   {"device":S,"event":"progress","text":...,"percent":N}
//   {"device":S,"event":"done",...}  or  {"device":S,"event":"failed","error":...}
// Ctrl-C (SIGINT) does not end the process: the next progress step fails
// with kInterruptedText, so the download ends the way any failure does
// (temporary files removed, the target's state said) and the parent gets
// the failure. A parent that is gone, or output that cannot be written,
// stops only the events: the download runs to its end.
#pragma once

#include "Cli/Command.h"
#include "Download/DownloadAction.h"
#include "NxUi.h"

#include <string>

class DeviceEvents
{
public:
    explicit DeviceEvents(std::string device) : m_Device(std::move(device)) {}

    void Progress(const std::string& text, int percent);
    // Ends the stream; nothing is written after either of them. The failed
    // event's "interrupted" and "bootloader" come from kinds (NxFailure).
    void Done();
    void Failed(const std::string& error, unsigned kinds = 0, bool busy = false);

    // Fields of the "done" event (checksum, info, report).
    CliJson Result = CliJson::object();
    const std::string& Device() const { return m_Device; }

    // SIGINT stops at the next step instead of ending the process; a closed
    // pipe to the parent fails the write instead of killing, and a hang-up
    // of the terminal is the parent's business.
    static void CatchInterrupt();

private:
    void Write(CliJson event);
    std::string m_Device;
    bool m_bEnded = false;
};

// A download's progress as events. Every step first looks at the interrupt
// flag and fails with kInterruptedText once it is set.
class EventProgress : public NxDownloadUi
{
public:
    explicit EventProgress(DeviceEvents& events) : m_Events(events) {}
    void ProcessMessages() override;
    void OnChecksum(uint32_t sum) override;
    // The failure ends the stream as its own event: what follows only restates it.
    void OnFailure(const char* text) override;

protected:
    void ShowProgress(const std::string& text, std::optional<unsigned> percent) override;

private:
    bool m_bFailed = false;
    DeviceEvents& m_Events;
    std::string m_Text;
    int m_Percent = -1; // none before the first step that counts
};

// The core's message boxes in a device's process: kept for the failure
// they explain (the bridge could not be opened) and passed on as progress.
class EventSink : public INxMessageSink
{
public:
    explicit EventSink(DeviceEvents& events) : m_Events(events) {}
    void ShowMessage(const std::string& text, const std::string& caption, Icon) override;
    const std::string& Last() const { return m_Last; }

private:
    DeviceEvents& m_Events;
    std::string m_Last;
};
