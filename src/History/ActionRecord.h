// The record of one action on a device, written to the service record when
// the action ends: download (also a dry run), reset, filter-counter reset.
// It stands around the action; what the action read before its first write
// comes from a tap on the device's exchanges, so nothing is read for it
// before or inside the designed sequence. Recording never stops or fails an
// action: a history that cannot be written is reported once and left alone.
#pragma once

#include "History/HistoryRecord.h"
#include "NxCom/TNxDev.h"
#include "VersionInfo.h"

#include <chrono>
#include <exception>
#include <optional>
#include <string>

// Where this process records: path "" is off. frontend: "cli" or "desktop".
void SetHistory(const std::string& path, const std::string& frontend);
const std::string& HistoryPath();
// The run on several devices this process's actions belong to ("": none).
void SetHistoryRun(const std::string& run);
// Who and where, as the records name them.
std::string HostName();
std::string UserName();

// $XDG_STATE_HOME/nxupdate/history.db, or ~/.local/state/nxupdate/history.db.
std::string DefaultHistoryPath();
// The history a front end records into: option (--history=PATH, "off" for
// none), else NXUPDATE_HISTORY (unset when empty), else the default, which
// a simulated run leaves alone: the PC's record holds real devices only.
std::string ChooseHistoryPath(const std::optional<std::string>& option, bool simulated);

// The version report's fields as the record keeps them (the shape of info --json).
HistoryJson VersionReportJson(const NxVersionInfo& info);

// What a failure means beyond its text. The words are read here, and only
// here, until the failure carries its kind as data.
struct FailureKind
{
    bool Interrupted = false; // Ctrl-C or a stop from the several-device run
    bool Bootloader = false;  // the target was left in its bootloader
};
FailureKind ReadFailureKind(const std::exception& e);

class ActionRecord : public INxExchangeTap
{
public:
    // file: the download's file ("" for the others). Inside another open
    // record (a front end's, which also sees a target that is missing or
    // busy) this one only passes on what it learns: one action, one record.
    ActionRecord(HistoryAction action, const std::string& serial, int channel,
                 const std::string& file = {}, bool dryRun = false);
    ~ActionRecord() override;
    ActionRecord(const ActionRecord&) = delete;
    ActionRecord& operator=(const ActionRecord&) = delete;

    // The action of a download of file into channel (by the file's extension).
    static HistoryAction DownloadAction(const std::string& file, int channel);

    // The target is found: its bridge, port, log and component, and a tap
    // on its exchanges until the record ends. Call it under the list's lock.
    void SetDevice(TNxDev& dev);
    // The bridge is held by another program.
    void SetBusy() { Outermost().m_bBusy = true; }

    // The action succeeded: reads the version report after it (when the
    // target runs its application again) and writes the record. Call it
    // while the device is still valid (under the list's lock).
    void Done();
    void Failed(const std::exception& e);
    // Nothing was done (the user said no): nothing is written.
    void Cancel();

    // Runs the action: Done after it (unless it ended the record itself),
    // Failed with its exception, which goes on.
    template <class F> auto Run(F action) -> decltype(action())
    {
        try {
            if constexpr (std::is_void_v<decltype(action())>) {
                action();
                Done();
            } else {
                auto result = action();
                Done();
                return result;
            }
        } catch (const std::exception& e) {
            Failed(e);
            throw;
        }
    }

    void OnRequest(const NxCmd& cmd) override;
    void OnReply(const NxCmd& cmd, bool ok) override;

    // The record as it would be written now (tests).
    const HistoryRecord& Record() const { return m_Rec; }

private:
    ActionRecord& Outermost() { return m_pOuter ? m_pOuter->Outermost() : *this; }
    bool Active() const { return m_bActive && !m_pOuter && !m_bEnded; }
    void Detach();
    void Write(HistoryResult result);

    ActionRecord* m_pOuter = nullptr;
    bool m_bActive = false;
    bool m_bEnded = false;
    HistoryRecord m_Rec;
    std::chrono::system_clock::time_point m_StartWall;
    uint64_t m_StartMs = 0;
    TNxDev* m_pDev = nullptr;
    bool m_bBusy = false;
    bool m_bWriteSent = false;       // a command that changes the device went out
    bool m_bExchangeFailed = false;  // an exchange was not answered as it should be
    std::optional<bool> m_LastState; // the application ran at the last status read
    std::string m_PendingName;       // the request under way
    bool m_bPendingRead = false;
    HistoryJson m_Before = HistoryJson::object();
    HistoryJson m_Later = HistoryJson::object(); // values a filter reset's replies carry
};
