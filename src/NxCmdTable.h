// Every command the system sends, in one table: its number, its relayed
// sub-command, its access byte, its literal name and whether it changes the
// device. The command classes build their requests from these rows, the dry
// run's guard judges every request by them and the communication log names
// requests with them. Timeouts belong to the calls, not to the commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

class NxCmd;

enum class NxCmdId : uint8_t
{
    // The controller's own commands.
    ResetToBootloader,
    ResetToApplication,
    ProgEraseFlash,
    ProgFlashPage,
    ProgCheckSum,
    GetHwName,
    GetHwVer,
    GetBlName,
    GetBlVer,
    GetBlDate,
    GetAppName,
    GetAppVer,
    GetAppDate,
    GetTblName,
    GetTblVer,
    GetTblDate,
    TblName,
    TblVersion,
    TblDate,
    DeviceStatus,
    ProbeChannel,
    TblPidParam,
    TblCompParamSet,
    // Relayed to the component on a channel (command 143).
    SerialComGetIdentifier,
    SerialComGetCapabilityFlag,
    SerialComGetApplicationName,
    SerialGetApplicationVersion,
    SerialComGetApplicationDate,
    SerialComGetStatusFlag,
    SerialComEnterBootloader,
    SerialComEnterApplication,
    SerialComProgPage,
    SerialComGetHardwareVersion,
    SerialComBootloaderName,
    SerialComGetBootloaderVersion,
    SerialComGetBootloaderDate,
    SerialComGetSerialNumber,
    SerialComGetRuntime,
    SerialComProgErase,
    SerialComSetFilterChange,
    SerialComGetFilterChange,
};

struct NxCmdDef
{
    NxCmdId Id;
    uint8_t Nr;
    int Sub;        // relayed sub-command; -1 for the controller's own commands
    uint8_t Access; // 'R' or 'W'
    const char* Name;
    bool ChangesDevice;
};

constexpr uint8_t kCmdRelay = 143;

namespace NxCmdTableRows {
constexpr uint8_t R = 0x52, W = 0x57;
constexpr bool kChanges = true, kReads = false;
using enum NxCmdId;
// Numbers 1 and 3 and sub-command 0x30 each carry two commands, told apart
// by their payload; 12 to 14 are read with R and written with W.
inline constexpr NxCmdDef kRows[] = {
    {ResetToBootloader, 1, -1, W, "ResetToBootloader", kChanges},
    {ResetToApplication, 1, -1, W, "ResetToApplication", kChanges},
    {ProgEraseFlash, 2, -1, W, "ProgEraseFlash", kChanges},
    {ProgFlashPage, 3, -1, W, "ProgFlashPage", kChanges},
    {ProgCheckSum, 3, -1, W, "ProgCheckSum", kChanges},
    {GetHwName, 4, -1, R, "GetHwName", kReads},
    {GetHwVer, 5, -1, R, "GetHwVer", kReads},
    {GetBlName, 6, -1, R, "GetBlName", kReads},
    {GetBlVer, 7, -1, R, "GetBlVer", kReads},
    {GetBlDate, 8, -1, R, "GetBlDate", kReads},
    {GetAppName, 9, -1, R, "GetAppName", kReads},
    {GetAppVer, 10, -1, R, "GetAppVer", kReads},
    {GetAppDate, 11, -1, R, "GetAppDate", kReads},
    {GetTblName, 12, -1, R, "GetTblName", kReads},
    {GetTblVer, 13, -1, R, "GetTblVer", kReads},
    {GetTblDate, 14, -1, R, "GetTblDate", kReads},
    {TblName, 12, -1, W, "TblName", kChanges},
    {TblVersion, 13, -1, W, "TblVersion", kChanges},
    {TblDate, 14, -1, W, "TblDate", kChanges},
    {DeviceStatus, 20, -1, R, "DeviceStatus", kReads},
    {ProbeChannel, 129, -1, R, "ProbeChannel", kReads},
    {TblPidParam, 138, -1, W, "TblPidParam", kChanges},
    {TblCompParamSet, 139, -1, W, "TblCompParamSet", kChanges},
    {SerialComGetIdentifier, kCmdRelay, 0x01, W, "SerialComGetIdentifier", kReads},
    {SerialComGetCapabilityFlag, kCmdRelay, 0x03, W, "SerialComGetCapabilityFlag", kReads},
    {SerialComGetApplicationName, kCmdRelay, 0x04, W, "SerialComGetApplicationName", kReads},
    {SerialGetApplicationVersion, kCmdRelay, 0x05, W, "SerialGetApplicationVersion", kReads},
    {SerialComGetApplicationDate, kCmdRelay, 0x06, W, "SerialComGetApplicationDate", kReads},
    {SerialComGetStatusFlag, kCmdRelay, 0x07, W, "SerialComGetStatusFlag", kReads},
    {SerialComEnterBootloader, kCmdRelay, 0x30, W, "SerialComEnterBootloader", kChanges},
    {SerialComEnterApplication, kCmdRelay, 0x30, W, "SerialComEnterApplication", kChanges},
    {SerialComProgPage, kCmdRelay, 0x31, W, "SerialComProgPage", kChanges},
    {SerialComGetHardwareVersion, kCmdRelay, 0x32, W, "SerialComGetHardwareVersion", kReads},
    {SerialComBootloaderName, kCmdRelay, 0x33, W, "SerialComBootloaderName", kReads},
    {SerialComGetBootloaderVersion, kCmdRelay, 0x34, W, "SerialComGetBootloaderVersion", kReads},
    {SerialComGetBootloaderDate, kCmdRelay, 0x35, W, "SerialComGetBootloaderDate", kReads},
    {SerialComGetSerialNumber, kCmdRelay, 0x37, W, "SerialComGetSerialNumber", kReads},
    {SerialComGetRuntime, kCmdRelay, 0x39, W, "SerialComGetRuntime", kReads},
    {SerialComProgErase, kCmdRelay, 0x3C, W, "SerialComProgErase", kChanges},
    {SerialComSetFilterChange, kCmdRelay, 0x42, W, "SerialComSetFilterChange", kChanges},
    {SerialComGetFilterChange, kCmdRelay, 0x43, W, "SerialComGetFilterChange", kReads},
};
} // namespace NxCmdTableRows

// Every row, in the order of NxCmdId.
constexpr std::span<const NxCmdDef> CmdTable()
{
    return NxCmdTableRows::kRows;
}

constexpr const NxCmdDef& CmdDef(NxCmdId id)
{
    return NxCmdTableRows::kRows[static_cast<size_t>(id)];
}

// The request in cmd changes nothing on the device: every row it may be (by
// number, access byte and, relayed, sub-command) is a read. A request the
// table does not know counts as a change.
bool IsReadCommand(const NxCmd& cmd);
