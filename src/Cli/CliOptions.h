// The command line of nxupdate-cli: one command and --name[=value] options.
// Parsing knows nothing about devices. Each option is declared once, in
// CliOptions.cpp, with the commands that take it; anything else is a usage
// error (exit code 2).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A command line that cannot be carried out as written.
class CliUsageError : public std::runtime_error
{
public:
    explicit CliUsageError(const std::string& msg) : std::runtime_error(msg) {}
};

// --device=all: every attached controller.
constexpr const char* kAllDevices = "all";
// --device=@failed: those that failed in this user's last run on several.
constexpr const char* kFailedDevices = "@failed";
// A --device entry with *, ? or [ is a shell pattern (unless it names a bridge exactly).
bool IsDevicePattern(const std::string& name);

struct CliOptions
{
    std::string Command; // empty with --help or --version alone
    std::optional<std::string> Device;
    std::optional<int> Channel; // 0 to 255
    std::optional<std::string> File;
    bool Simulate = false;
    std::string ScenarioFile; // --simulate=FILE: a scenario or logs to replay; empty: the demo
    bool ComLog = false;
    std::string ComLogDir; // --comlog=DIR; empty: beside the working directory
    bool Json = false;
    bool Events = false;       // one device's events as JSON lines (what a run on several reads)
    std::string Run;           // --events=RUN: the identity of the run on several it belongs to
    std::optional<int> Expect; // refuse to start unless exactly this many devices match
    std::optional<int> Jobs;   // at most this many devices' processes at once
    bool Reset = false;
    bool Yes = false;
    bool DryRun = false; // download: the checks before the first write, nothing written
    // --history=PATH|off, in order; more than one only for history and report.
    std::vector<std::string> History;
    std::optional<std::string> Since, Until, Result, Out; // history and report
    bool Csv = false;
    bool Verify = false;
    bool Help = false;
    bool Version = false;

    std::vector<std::string> Given; // names of the --options present, in command-line order

    // --device=all, a list A,B,..., a pattern or @failed: the command runs
    // on several devices, one process each, even when one matches.
    bool SeveralDevices() const;
};

// Splits argv into the command and its options. Values are given as
// --name=value; an option that needs a value also takes the next argument.
// Raises CliUsageError for an unknown option, a missing or malformed value,
// a repeated option or a second command word, and for a --device list with
// an empty or repeated entry.
CliOptions ParseCliOptions(const std::vector<std::string>& args);

// Raises CliUsageError when the command does not take an option given, or
// cannot run on the several devices named.
void CheckOptionsOf(const std::string& command, const CliOptions& opts);

// For the usage text: the options every command takes, on one line, and the
// lines that explain the options.
std::string CommonOptionsUsage();
std::string OptionsHelp();
