// One entry of the service record: an action that changed (or would have
// changed) a device, with everything an audit asks about it. Its fields, in
// the order of the JSON and CSV output, are also what its hash covers.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

using HistoryJson = nlohmann::ordered_json;

enum class HistoryAction
{
    ControllerFirmware,
    ComponentFirmware,
    Tables,
    Dat,
    Reset,
    FilterReset,
};

// done, failed, busy and interrupted as a run on several devices says them;
// refused: stopped before any command that changes the device.
enum class HistoryResult
{
    Done,
    Failed,
    Busy,
    Interrupted,
    Refused,
};

// "controller-firmware", "component-firmware", "tables", "dat", "reset", "filter-reset".
const char* HistoryActionName(HistoryAction action);
std::optional<HistoryAction> HistoryActionFromName(const std::string& name);
const char* HistoryResultName(HistoryResult result);
std::optional<HistoryResult> HistoryResultFromName(const std::string& name);

struct HistoryRecord
{
    int64_t Id = 0;         // the row in its database; 0 until written
    std::string Start, End; // UTC, "2026-12-07T13:30:02.123Z"
    std::string Host, User, Program, Frontend;
    HistoryAction Action = HistoryAction::ControllerFirmware;
    bool DryRun = false;
    std::string Serial; // the bridge's serial number
    std::optional<std::string> Port;
    int Channel = 0;
    std::optional<std::string> Model, ComponentSerial;
    HistoryJson Before, After; // objects of the version report's fields, or null
    std::optional<std::string> File;
    std::optional<int64_t> FileSize;
    std::optional<std::string> Sha256;   // of the file, lower-case hex
    std::optional<std::string> Checksum; // the image checksum sent, "0x%08lX"
    HistoryResult Result = HistoryResult::Done;
    std::optional<std::string> Failure;
    bool Bootloader = false; // the device was left in its bootloader
    int64_t DurationMs = 0;
    std::optional<std::string> Comlog;
    // The run on several devices this action was one of (its identity, the
    // same in every record of the run); unset for an action on its own.
    std::optional<std::string> Run;
    std::string PrevHash, Hash; // lower-case hex; the first record's PrevHash is kGenesisHash

    // Every field under its output name, "hash" last.
    HistoryJson ToJson() const;
    // The hash of the fields (without Id and Hash) chained to PrevHash.
    std::string ComputeHash() const;
};

// The previous hash of the first record in a database.
extern const std::string kGenesisHash;

// The output names in order: the CSV header and the keys of ToJson.
const std::vector<std::string>& HistoryFieldNames();

// SHA-256 of bytes as lower-case hex.
std::string Sha256Hex(const std::string& bytes);
// SHA-256 and size of a file; nullopt when it cannot be read.
struct FileDigest
{
    int64_t Size = 0;
    std::string Sha256;
};
std::optional<FileDigest> DigestFile(const std::string& path);

// text with every byte sequence that is not UTF-8 replaced by U+FFFD: device
// texts need not be UTF-8 (an erased field reads 0xFF), the record's are.
std::string ValidUtf8(const std::string& text);
