// One command of nxupdate-cli. Each command checks its command line, beyond
// the options it takes, before any device is touched, and runs against a
// session.
#pragma once

#include "Cli/CliOptions.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

class CliSession;

// Keys in the order the commands write them, which reads better than sorted.
using CliJson = nlohmann::ordered_json;

class Command
{
public:
    Command(const char* name, const char* synopsis, const char* summary)
        : m_Name(name), m_Synopsis(synopsis), m_Summary(summary)
    {
    }
    virtual ~Command() = default;

    const char* Name() const { return m_Name; }
    const char* Synopsis() const { return m_Synopsis; } // options after the name
    const char* Summary() const { return m_Summary; }

    // False for a command that only reads the enumeration: the session then
    // neither opens nor probes any bridge.
    virtual bool OpensDevices() const { return true; }
    // Rules beyond the accepted options; raises CliUsageError.
    virtual void Validate(const CliOptions& /*opts*/) const {}
    // Returns the exit code; a failure raises NxException with the user's message.
    virtual int Execute(CliSession& session) const = 0;
    // A command that needs no device runs without a session: no bridge is
    // looked for, none is opened.
    virtual bool Offline() const { return false; }
    virtual int ExecuteOffline(const CliOptions& /*opts*/) const { return 0; }

    static const std::vector<const Command*>& All();
    static const Command* Find(const std::string& name);

private:
    const char* m_Name;
    const char* m_Synopsis;
    const char* m_Summary;
};

// The usage text: every command's line and the common options.
std::string CliUsage();

// Writes text to stdout with line ends as the terminal wants them ("\n").
void PrintText(const std::string& text);

// Output that cannot be written (a closed pipe, a full disk) never stops a
// command: writing to that stream stops, the command goes on, and the exit
// code says the output was lost. Writes text to f and flushes it; false once
// a write to f has failed.
bool WriteOutput(std::FILE* f, const std::string& text);
// errno of the first failed write, 0 while every write went through.
int OutputError();
// Records a failed write of stream f that went around WriteOutput.
void OutputFailed(std::FILE* f, int err);

// SIGHUP (the terminal or ssh session is gone) is taken for a closed output:
// nothing more is written, the operation runs to its end, the exit code says
// the output was lost. A SIGHUP the caller ignores (nohup) stays ignored.
void TreatHangUpAsClosedOutput();

// Ctrl-C (SIGINT) no longer ends the process: Interrupted() turns true and the
// operation stops at its next step, the way any failure ends it (temporary
// files removed, the target's state said). With secondEnds a second Ctrl-C
// ends the process at once, still removing the temporary files (a device's
// process of a run on several gets one from the terminal and one from its
// parent, and waits for its parent to insist with SIGTERM).
void CatchInterrupt(bool secondEnds);
bool Interrupted();
// Raises the failure of an interrupted operation (kInterruptedText, marked
// NxFailure::Interrupted) once Ctrl-C arrived.
void ThrowIfInterrupted();
constexpr const char* kInterruptedText = "Interrupted";
// Writes one JSON document to stdout.
void PrintJson(const CliJson& doc);

class TNxDevList;
// The "unserved" array of a JSON document: the bridges of the maker that
// the kernel gives no serial port, as {"usb", "vid", "pid"}; each is
// named on stderr with its fix. None with --simulate.
CliJson UnservedBridgesJson(const CliOptions& opts);

// The "errors" array of a JSON document: the bridges that are attached but
// could not be opened, as {"port", "message"}; empty when all went well.
CliJson OpenErrorsJson(const TNxDevList& list);
