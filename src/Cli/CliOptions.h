// The command line of nxupdate-cli: one command and --name[=value] options.
// Parsing knows nothing about devices; each command says which options it
// takes, and anything else is a usage error (exit code 2).
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

// Options a command may accept, beside the common ones.
enum CliOption : unsigned
{
    kOptDevice = 1u << 0,
    kOptChannel = 1u << 1,
    kOptFile = 1u << 2,
    kOptReset = 1u << 3,
    kOptYes = 1u << 4,
    kOptJson = 1u << 5,
    kOptDryRun = 1u << 6,
    kOptEvents = 1u << 7,
    kOptSince = 1u << 8,
    kOptUntil = 1u << 9,
    kOptResult = 1u << 10,
    kOptCsv = 1u << 11,
    kOptVerify = 1u << 12,
    kOptOut = 1u << 13,
    kOptLast = kOptOut,
};

// --device=all: every attached controller.
constexpr const char* kAllDevices = "all";

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
    bool Events = false; // one device's events as JSON lines (what a run on several reads)
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

    unsigned Given = 0; // CliOption bits of the command-specific options present

    // --device=all or a list A,B,...: the command runs on several devices,
    // one process each, even when the list has one entry.
    bool SeveralDevices() const;
    // The serial numbers of a --device list; empty for "all" or one device.
    std::vector<std::string> DeviceList() const;
};

// Splits argv into the command and its options. Values are given as
// --name=value; --device, --channel and --file also take the next argument.
// Raises CliUsageError for an unknown option, a missing or malformed value,
// a repeated option or a second command word, and for a --device list with
// an empty or repeated entry.
CliOptions ParseCliOptions(const std::vector<std::string>& args);
