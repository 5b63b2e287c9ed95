#include "History/ActionRecord.h"

#include "Bridge/BridgeLib.h"
#include "Download/DownloadAction.h"
#include "History/HistoryDb.h"
#include "History/HistoryTime.h"
#include "NxClock.h"
#include "NxCmdSerialCom.h"
#include "NxCmdSts.h"
#include "NxCmdTable.h"
#include "NxException.h"
#include "NxUi.h"
#include "NxVersion.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_Path;
std::string g_Frontend = "cli";
std::string g_Run;
ActionRecord* g_pOpen = nullptr; // the outermost record of the action under way

std::string EnvText(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Told once per file and process: a front end shows it as a box or on stderr.
void ReportProblem(const std::string& path, const std::string& text)
{
    static std::mutex lock;
    static std::set<std::string> told;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!told.insert(path).second)
            return;
    }
    NxMessages().ShowMessage(text + ". Nothing is recorded there; the action goes on.", "History",
                             INxMessageSink::Icon::Warning);
}

// The default file's folder is ours to make; a folder the user named is not.
void MakeDefaultFolder(const std::string& path)
{
    if (path != DefaultHistoryPath())
        return;
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (std::filesystem::create_directories(dir, ec))
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, ec);
}

} // namespace

std::string HostName()
{
    char buf[256] = {};
    return ::gethostname(buf, sizeof buf - 1) == 0 ? buf : "";
}

std::string UserName()
{
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found)
        return found->pw_name;
    const std::string user = EnvText("USER");
    return user.empty() ? std::to_string(::geteuid()) : user;
}

namespace {

// The zero-terminated text of a controller's reply.
std::string ReplyText(const NxCmd& cmd)
{
    const auto* p = reinterpret_cast<const char*>(cmd.Payload());
    return ValidUtf8(std::string(p, strnlen(p, cmd.PayloadLength())));
}

// Where a read's text goes in the version report's shape.
struct Slot
{
    const char* Command;
    const char* Part;
    const char* Field;
};
constexpr Slot kSlots[] = {
    {"GetHwName", "hardware", "name"},
    {"GetHwVer", "hardware", "version"},
    {"GetBlName", "bootloader", "name"},
    {"GetBlVer", "bootloader", "version"},
    {"GetBlDate", "bootloader", "date"},
    {"GetAppName", "application", "name"},
    {"GetAppVer", "application", "version"},
    {"GetAppDate", "application", "date"},
    {"GetTblName", "paramTables", "name"},
    {"GetTblVer", "paramTables", "version"},
    {"GetTblDate", "paramTables", "date"},
    {"SerialComGetHardwareVersion", "hardware", "version"},
    {"SerialComBootloaderName", "bootloader", "name"},
    {"SerialComGetBootloaderVersion", "bootloader", "version"},
    {"SerialComGetBootloaderDate", "bootloader", "date"},
    {"SerialComGetApplicationName", "application", "name"},
    {"SerialGetApplicationVersion", "application", "version"},
    {"SerialComGetApplicationDate", "application", "date"},
};

std::optional<std::string> AppName(const HistoryJson& v)
{
    if (v.is_object() && v.contains("application") && v["application"].contains("name"))
        return v["application"]["name"].get<std::string>();
    return std::nullopt;
}

} // namespace

void SetHistory(const std::string& path, const std::string& frontend)
{
    g_Path = path;
    g_Frontend = frontend;
}

void SetHistoryRun(const std::string& run)
{
    g_Run = run;
}

const std::string& HistoryPath()
{
    return g_Path;
}

std::string DefaultHistoryPath()
{
    std::string base = EnvText("XDG_STATE_HOME");
    // XDG base directories must be absolute: a relative one is ignored.
    if (base.empty() || base[0] != '/') {
        const std::string home = EnvText("HOME");
        base = (home.empty() ? std::string("/") : home) + "/.local/state";
    }
    return base + "/nxupdate/history.db";
}

std::string ChooseHistoryPath(const std::optional<std::string>& option, bool simulated)
{
    std::string chosen = option.value_or(EnvText("NXUPDATE_HISTORY"));
    if (chosen == "off")
        return {};
    if (!chosen.empty())
        return chosen;
    return simulated ? std::string() : DefaultHistoryPath();
}

HistoryJson VersionReportJson(const NxVersionInfo& v)
{
    HistoryJson j = {{"state", v.HasApplication ? "application" : "bootloader"}};
    if (!v.Component)
        j["hardware"]["name"] = ValidUtf8(v.HwName);
    j["hardware"]["version"] = ValidUtf8(v.HwVer);
    j["bootloader"] = {{"name", ValidUtf8(v.BlName)},
                       {"version", ValidUtf8(v.BlVer)},
                       {"date", ValidUtf8(v.BlDate)}};
    if (v.HasApplication) {
        j["application"] = {{"name", ValidUtf8(v.AppName)},
                            {"version", ValidUtf8(v.AppVer)},
                            {"date", ValidUtf8(v.AppDate)}};
        if (!v.Component)
            j["paramTables"] = {{"name", ValidUtf8(v.TblName)},
                                {"version", ValidUtf8(v.TblVer)},
                                {"date", ValidUtf8(v.TblDate)}};
    }
    return j;
}

FailureKind ReadFailureKind(const std::exception& e)
{
    FailureKind kind;
    if (const auto* nx = dynamic_cast<const NxException*>(&e)) {
        kind.Interrupted = nx->Is(NxFailure::Interrupted);
        kind.Bootloader = nx->Is(NxFailure::LeftInBootloader);
    }
    return kind;
}

ActionRecord::ActionRecord(HistoryAction action, const std::string& serial, int channel,
                           const std::string& file, bool dryRun)
{
    if (g_Path.empty())
        return;
    if (g_pOpen) {
        m_pOuter = g_pOpen;
        return;
    }
    m_bActive = true;
    g_pOpen = this;
    m_StartWall = std::chrono::system_clock::now();
    m_StartMs = NxClock().NowMs();
    m_Rec.Host = ValidUtf8(HostName());
    m_Rec.User = ValidUtf8(UserName());
    m_Rec.Program = NX_VERSION;
    m_Rec.Frontend = g_Frontend;
    if (!g_Run.empty())
        m_Rec.Run = g_Run;
    m_Rec.Action = action;
    m_Rec.DryRun = dryRun;
    m_Rec.Serial = ValidUtf8(serial);
    m_Rec.Channel = channel;
    if (!file.empty()) {
        std::error_code ec;
        const std::filesystem::path abs = std::filesystem::absolute(file, ec);
        m_Rec.File = ValidUtf8(ec ? file : abs.lexically_normal().string());
        // Taken before the action reads it: the bytes it was given.
        if (const auto digest = DigestFile(file)) {
            m_Rec.FileSize = digest->Size;
            m_Rec.Sha256 = digest->Sha256;
        }
    }
}

ActionRecord::~ActionRecord()
{
    Detach();
    if (g_pOpen == this)
        g_pOpen = nullptr;
}

HistoryAction ActionRecord::DownloadAction(const std::string& file, int channel)
{
    switch (DownloadFileKind(file)) {
    case kKindXml:
        return HistoryAction::Tables;
    case kKindDat:
        return HistoryAction::Dat;
    default:
        return channel > 0 ? HistoryAction::ComponentFirmware : HistoryAction::ControllerFirmware;
    }
}

void ActionRecord::SetDevice(TNxDev& dev)
{
    if (m_pOuter) {
        Outermost().SetDevice(dev);
        return;
    }
    if (!Active() || m_pDev == &dev)
        return;
    Detach();
    m_pDev = &dev;
    m_Rec.Serial = ValidUtf8(dev.GetSerial());
    const std::string port = Bridge::Lib().PortName(static_cast<uint32_t>(dev.GetDevIndex()));
    if (!port.empty())
        m_Rec.Port = ValidUtf8(port);
    const auto& channels = dev.GetChannels();
    const int ch = m_Rec.Channel;
    if (ch > 0 && static_cast<size_t>(ch) <= channels.size()) {
        const TNxDev::NxChannelInfo& info = channels[static_cast<size_t>(ch - 1)];
        m_Before["identifier"] = StrFormat("0x%02X", static_cast<unsigned>(info.Identifier & 0xFF));
        if (!info.SerialNumber.empty()) {
            m_Rec.ComponentSerial = ValidUtf8(info.SerialNumber);
            m_Before["serialNumber"] = *m_Rec.ComponentSerial;
        }
    } else if (ch == 0) {
        m_Before["state"] = dev.FoundInBootloader() ? "bootloader" : "application";
    }
    dev.SetTap(this);
}

void ActionRecord::Detach()
{
    if (m_pDev && m_pDev->Tap() == this)
        m_pDev->SetTap(nullptr);
    if (m_pDev && m_pDev->Link().IsTracing())
        m_Rec.Comlog = ValidUtf8(m_pDev->Link().TracePath());
}

void ActionRecord::OnRequest(const NxCmd& cmd)
{
    m_PendingName = cmd.GetName();
    m_bPendingRead = IsReadCommand(cmd);
    if (!m_bPendingRead)
        m_bWriteSent = true;
    // The sum after the image's last block: 4 address bytes, then the sum.
    if (m_PendingName == "ProgCheckSum" && cmd.PayloadLength() >= 8) {
        const uint8_t* d = cmd.Payload() + 4;
        const uint32_t sum = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
        m_Rec.Checksum = StrFormat("0x%08lX", static_cast<unsigned long>(sum));
    }
}

void ActionRecord::OnReply(const NxCmd& cmd, bool ok)
{
    if (!ok) {
        m_bExchangeFailed = true;
        return;
    }
    const std::string& name = m_PendingName;
    const auto* relayed = dynamic_cast<const NxCmdSerialCom*>(&cmd);
    if (name == "DeviceStatus") {
        if (const auto* sts = dynamic_cast<const NxCmdSts*>(&cmd))
            m_LastState = sts->IsInApplication();
    } else if (name == "SerialComGetStatusFlag" && relayed) {
        m_LastState = (relayed->RespWord(0) & 0x8000) == 0;
    }
    // A filter reset's replies carry the counters, before and after it.
    HistoryJson& counters = m_bWriteSent ? m_Later : m_Before;
    if ((name == "SerialComGetFilterChange" || name == "SerialComSetFilterChange") && relayed) {
        counters["filter"]["lastChange"] = relayed->RespDWord(0);
        counters["filter"]["interval"] = relayed->RespWord(4);
    } else if (name == "SerialComGetRuntime" && relayed) {
        counters["filter"]["runtime"] = relayed->RespDWord(0);
    }
    if (m_bWriteSent || !m_bPendingRead)
        return;
    if (m_LastState && (name == "DeviceStatus" || name == "SerialComGetStatusFlag"))
        m_Before["state"] = *m_LastState ? "application" : "bootloader";
    for (const Slot& s : kSlots)
        if (name == s.Command)
            m_Before[s.Part][s.Field] = relayed ? ValidUtf8(relayed->RespText(0)) : ReplyText(cmd);
}

void ActionRecord::Done()
{
    if (m_pOuter || !Active())
        return;
    Detach();
    if (!m_Rec.DryRun && m_pDev) {
        if (m_Rec.Action == HistoryAction::FilterReset) {
            if (!m_Later.empty())
                m_Rec.After = m_Later;
        } else if (m_LastState.value_or(true)) {
            // Read commands only, once the designed sequence has ended.
            if (const auto info = ReadVersionAfterAction(*m_pDev, m_Rec.Channel))
                m_Rec.After = VersionReportJson(*info);
        }
    }
    Write(HistoryResult::Done);
}

void ActionRecord::Failed(const std::exception& e)
{
    if (m_pOuter || !Active())
        return;
    Detach();
    const FailureKind kind = ReadFailureKind(e);
    std::string text = e.what();
    if (const auto* nx = dynamic_cast<const NxException*>(&e); nx && !nx->Detail().empty())
        text += "\n" + nx->Detail();
    for (size_t pos; (pos = text.find("\r\n")) != std::string::npos;)
        text.erase(pos, 1);
    m_Rec.Failure = ValidUtf8(text);
    m_Rec.Bootloader = kind.Bootloader;
    HistoryResult result = HistoryResult::Failed;
    if (m_bBusy)
        result = HistoryResult::Busy;
    else if (kind.Interrupted)
        result = HistoryResult::Interrupted;
    else if (m_pDev && !m_bWriteSent && !m_bExchangeFailed)
        result = HistoryResult::Refused;
    Write(result);
}

void ActionRecord::Cancel()
{
    if (m_pOuter || !Active())
        return;
    Detach();
    m_bEnded = true;
}

void ActionRecord::Write(HistoryResult result)
{
    m_bEnded = true;
    // No controller named and none found: no device's record to keep it in.
    if (m_Rec.Serial.empty())
        return;
    m_Rec.Result = result;
    m_Rec.DurationMs = static_cast<int64_t>(NxClock().NowMs() - m_StartMs);
    m_Rec.Start = UtcText(m_StartWall);
    m_Rec.End = UtcText(m_StartWall + std::chrono::milliseconds(m_Rec.DurationMs));
    if (!m_Before.empty())
        m_Rec.Before = m_Before;
    if (m_Rec.Channel > 0)
        if (auto model = AppName(m_Rec.Before) ? AppName(m_Rec.Before) : AppName(m_Rec.After))
            m_Rec.Model = *model;
    try {
        MakeDefaultFolder(g_Path);
        AppendHistory(g_Path, m_Rec);
    } catch (const std::exception& e) {
        ReportProblem(g_Path, e.what());
    }
}
