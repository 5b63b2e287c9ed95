// What a run on several devices shows: one live line per device on a
// terminal, one line per status change elsewhere, JSON lines with --json,
// and the summary that ends the run.
#pragma once

#include "Cli/Command.h"

#include <chrono>
#include <string>
#include <vector>

// How one device's run ended.
enum class DeviceResult
{
    Done,
    Failed,
    Busy,        // another program holds the bridge
    Interrupted, // stopped by Ctrl-C or by the grace running out
};

// The word the summary and the JSON "result" give it.
const char* ResultWord(DeviceResult r);

// One device of the run, as the views show it.
struct DeviceRun
{
    using Clock = std::chrono::steady_clock;
    std::string Serial;
    Clock::time_point Start, End;
    bool Ended = false; // done or failed is known
    DeviceResult Result = DeviceResult::Failed;
    std::string Text; // the status shown last, then the checksum or the failure
    int Percent = -1;
    bool Bootloader = false;  // the failure left the controller in its bootloader
    bool UserStopped = false; // the process itself failed as interrupted
    CliJson Done;             // the done or failed event
    std::string Version;      // the application's version once the action has ended
    std::string ComLog;       // the communication log's path
};

// One JSON line on stdout.
void EmitJsonLine(const CliJson& event);

// The status of every device while the run goes on: nothing with --json.
class StatusView
{
public:
    using Clock = std::chrono::steady_clock;
    StatusView(const std::vector<DeviceRun>& runs, bool json);
    // A device's status changed.
    void Changed(const DeviceRun& run);
    // When a pending redraw is due; Clock::time_point::max() for none.
    Clock::time_point WakeAt() const;
    // Draws the live lines now (only on a terminal).
    void Draw();

private:
    const std::vector<DeviceRun>& m_Runs;
    bool m_bJson;
    bool m_bTty;
    size_t m_Drawn = 0; // live lines on the terminal
    bool m_bDirty = false;
    Clock::time_point m_LastDraw{};
};

// The table (or the JSON summary line) that ends the run; command names
// the last column.
void PrintSummary(const std::vector<DeviceRun>& runs, const std::string& command, bool json);
