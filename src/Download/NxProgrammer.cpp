#include "Download/NxProgrammer.h"

#include "Appcfg.h"
#include "Download/NxCmdTblLoader.h"
#include "NxClock.h"
#include "NxCmdDL.h"
#include "NxCmdSerialCom.h"
#include "NxCmdSts.h"
#include "NxCmdVer.h"
#include "NxCom/TNxDev.h"
#include "NxException.h"
#include "Sim/SimController.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

const DeviceProfile kDeviceProfiles[] = {
    {0x6FD0, "GasProbe", 128, 0, 0, 100},
    {0x6FD0, "WarmCase5000XL", 128, 0, 0, 100},
    {0xEFD0, "Meridian", 256, 0, 0, 100},
    {0xEFD0, "ClimaCore QX", 256, 0, 0, 100},
    {0x7E8020, "GasProbe5000", 128, kProfileErase, 0x7E8000, 1500},
    {0, nullptr, 0, 0, 0, 0},
};

namespace {

// Controller download: timeouts and pauses in ms.
constexpr uint32_t kCmdTimeout = 2500;
constexpr uint32_t kBootloaderPause = 5000;
constexpr uint32_t kBootloaderStatusTimeout = 7500;
constexpr uint32_t kApplicationPause = 2000;
constexpr uint32_t kApplicationStatusTimeout = 5000;
constexpr uint32_t kFlashRetryDelay = 100;
constexpr int kAttempts = 5;
constexpr uint32_t kAppNameAddress = 0xC08000;
constexpr const char* kInvalidForDevice = "Invalid download file for this device";
// Component download.
constexpr uint32_t kEnterBootloaderPause = 2000;
constexpr uint32_t kEraseTimeout = 10000;
constexpr uint32_t kEnterApplicationPause = 1000;

bool IsPrintable(uint8_t c)
{
    return c >= 0x20 && c < 0x7F;
}

void SkipDot(std::string& s)
{
    if (!s.empty() && s[0] == '.')
        s.erase(0, 1);
}

// Names compare over at most kModelNameLength characters.
bool SameModel(const std::string& name, const char* model)
{
    return std::strncmp(name.c_str(), model, kModelNameLength) == 0;
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

// The text stored at addr: 8-bit (zero-terminated) when its first byte is
// printable, else 16-bit units when the second is. Bounded by the end of the
// block holding addr. False when there is no such text.
bool ReadStoredName(const MemoryImage& image, uint32_t addr, std::string& name)
{
    name.clear();
    size_t avail = 0;
    const uint8_t* p = image.FindByte(addr, avail);
    if (!p)
        return false;
    // An image without a terminating zero ends the text at its block's end.
    if (IsPrintable(p[0])) {
        for (size_t i = 0; i < avail && p[i] != 0; ++i)
            name.push_back(static_cast<char>(p[i]));
        return true;
    }
    if (avail < 2 || !IsPrintable(p[1]))
        return false;
    for (size_t i = 1; i < 32 && i < avail && p[i] != 0; i += 2)
        name.push_back(static_cast<char>(p[i]));
    return true;
}

// Sends the request that build makes, up to kAttempts times with a pause of
// retryDelay after each failed one; build runs before every attempt, as the
// reply of a failed one overwrote the request. False when all failed.
template <class Build>
bool ExecuteWithRetries(TNxDev& dev, NxCmd& cmd, const Build& build, uint32_t retryDelay,
                        IProg& prog)
{
    for (int attempt = 1;; ++attempt) {
        build();
        if (dev.Execute(cmd, kCmdTimeout))
            return true;
        if (attempt == kAttempts)
            return false;
        prog.OnRetry(attempt + 1, kAttempts);
        NxSleep(retryDelay);
    }
}

// A fixed pause while the target switches between bootloader and application.
void Pause(IProg& prog, uint32_t ms)
{
    prog.OnPause(ms);
    NxSleep(ms);
}

} // namespace

uint32_t BlockDelayMs()
{
    const char* v = std::getenv("BLKDELAY");
    if (!v)
        return 0;
    const long n = std::strtol(v, nullptr, 0);
    if (n <= 0)
        return 0;
    return n > static_cast<long>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(n);
}

NxProgrammer::NxProgrammer(int channel) : m_nChannel(channel) {}

int NxProgrammer::LoadFile(const char* path, int& line)
{
    m_pProfile = nullptr;
    return m_Image.LoadFile(path, line);
}

bool NxProgrammer::SetBlockSize(uint32_t size)
{
    m_pProfile = nullptr;
    return m_Image.SetBlockSize(size);
}

const DeviceProfile* NxProgrammer::MatchProfile() const
{
    for (const DeviceProfile* row = kDeviceProfiles; row->IdentityAddress != 0; ++row) {
        std::string text;
        if (!ReadStoredName(m_Image, row->IdentityAddress, text))
            continue;
        SkipDot(text);
        if (SameModel(text, row->ModelName))
            return row;
    }
    return nullptr;
}

void NxProgrammer::IdentifyFile(const char* appName)
{
    m_pProfile = nullptr;
    const DeviceProfile* row = MatchProfile();
    if (!row)
        ThrowNx("Unsupported or unknown download file");
    if (appName) {
        std::string app = appName;
        SkipDot(app);
        if (!SameModel(app, row->ModelName))
            ThrowNx("Invalid download file for this device (Device='%s' File='%s')", appName,
                    row->ModelName);
    }
    // Cut again from the bytes in memory: the file may have changed since it
    // was read, and what was checked is what is sent.
    if (!m_Image.Recut(row->BlockSize) || m_Image.GetBlockCount() == 0)
        ThrowNx("Repacking of download blocks failed");
    m_pProfile = row;
}

std::string NxProgrammer::ControllerRefusal() const
{
    // An image that names no controller application but a component model
    // would be flashed into the controller as if it were its firmware.
    if (!ImageAppName().empty())
        return {};
    const DeviceProfile* row = MatchProfile();
    if (!row)
        return {};
    return StrFormat("%s\nThe file is for the component '%s'.", kInvalidForDevice, row->ModelName);
}

uint32_t NxProgrammer::BlockSum(const ProgBlock& block)
{
    uint32_t sum = 0;
    const uint8_t* d = block.Data();
    for (uint32_t i = 0; i + 1 < block.DataLength; i += 2)
        sum += static_cast<uint32_t>(d[i]) | static_cast<uint32_t>(d[i + 1]) << 8;
    return sum;
}

bool NxProgrammer::Download(TNxDev* dev, IProg* prog)
{
    return Run(dev, prog, false);
}

bool NxProgrammer::CheckTarget(TNxDev* dev, IProg* prog)
{
    return Run(dev, prog, true);
}

bool NxProgrammer::Run(TNxDev* dev, IProg* prog, bool checkOnly)
{
    m_bInBootloader = false;
    m_bApplicationRan = false;
    m_FailureKinds = 0;
    try {
        if (!m_Image.HasEndOfFile())
            ThrowNx("No data");
        if (m_nChannel == 0)
            DownloadController(*dev, *prog, checkOnly);
        else
            DownloadChannel(*dev, *prog, checkOnly);
        return true;
    } catch (const NxException& e) {
        m_FailureKinds = e.Kinds();
        prog->OnFailure(e.what());
        return false;
    }
}

void NxProgrammer::DownloadController(TNxDev& dev, IProg& prog, bool checkOnly)
{
    const CAppCfg& cfg = CAppCfg::Instance();
    CheckController(dev);
    if (checkOnly)
        return;
    if (m_bApplicationRan)
        EnterControllerBootloader(dev, prog);

    NxCmdDL dl;
    prog.OnEraseStart();
    dl.ProgEraseFlash();
    dev.ExecuteOrThrow(dl, kCmdTimeout);
    m_bInBootloader = true;

    uint32_t sum = 0;
    const auto total = static_cast<uint32_t>(m_Image.GetBlockCount());
    uint32_t i = 0;
    for (const ProgBlock* b = m_Image.FirstBlock(); b; b = b->Next, ++i) {
        prog.OnBlockProgress(*b, i, total);
        sum += BlockSum(*b);
        if (!ExecuteWithRetries(
                dev, dl, [&] { dl.ProgFlashPage(*b); }, kFlashRetryDelay, prog))
            ThrowNx("Download of block #%u/%u failed: %s", i, total, dl.GetErrMsg().c_str());
    }

    prog.OnChecksum(sum);
    dl.ProgCheckSum(sum);
    dev.ExecuteOrThrow(dl, kCmdTimeout);

    if (cfg.StartApplication()) {
        prog.OnReset(true);
        dl.ResetToApplication();
        dev.ExecuteOrThrow(dl, kCmdTimeout);
        Pause(prog, kApplicationPause);
        NxCmdSts sts;
        dev.ExecuteOrThrow(sts, kApplicationStatusTimeout);
        // The flash is written, but the user must know nothing runs.
        if (!sts.IsInApplication())
            ThrowNx("Device did not start its application");
        m_bInBootloader = false;
        prog.OnChecksum(sum);
    }
}

void NxProgrammer::CheckController(TNxDev& dev)
{
    const std::string refusal = ControllerRefusal();
    if (!refusal.empty())
        throw NxException(refusal);
    const bool readStatus = CAppCfg::Instance().BootloaderFirst();
    NxCmdSts sts;
    if (readStatus)
        dev.ExecuteOrThrow(sts, kCmdTimeout);
    // A .dat's tables for other hardware would fail only after the flash.
    // Refused for the file, not for the target: its state goes unsaid.
    if (m_TablesHardware)
        CheckTablesHardware(dev, *m_TablesHardware);
    if (!readStatus)
        return;
    m_bInBootloader = !sts.IsInApplication();
    if (m_bInBootloader)
        return;
    m_bApplicationRan = true;

    // The image's name must be the running application's.
    NxCmdVer ver;
    ver.GetAppName();
    dev.ExecuteOrThrow(ver, kCmdTimeout);
    if (!m_Image.FindByte(kAppNameAddress) || !EqualNoCase(ImageAppName(), ver.Text()))
        throw NxException(kInvalidForDevice);
}

void NxProgrammer::EnterControllerBootloader(TNxDev& dev, IProg& prog)
{
    prog.OnReset(false);
    NxCmdDL dl;
    dl.ResetToBootloader();
    dev.ExecuteOrThrow(dl, kCmdTimeout);
    m_bInBootloader = true;
    Pause(prog, kBootloaderPause);
    NxCmdSts sts;
    dev.ExecuteOrThrow(sts, kBootloaderStatusTimeout);
    // Erasing under a running application would fail half-way or worse.
    if (sts.IsInApplication()) {
        m_bInBootloader = false;
        ThrowNx("Device did not enter its bootloader");
    }
}

void NxProgrammer::DownloadChannel(TNxDev& dev, IProg& prog, bool checkOnly)
{
    CheckChannel(dev);
    if (checkOnly)
        return;
    const auto ch = static_cast<uint8_t>(m_nChannel);
    NxCmdSerialCom cmd;

    prog.OnReset(false);
    cmd.SerialComEnterBootloader(ch);
    dev.ExecuteOrThrow(cmd, kCmdTimeout);
    m_bInBootloader = true;
    Pause(prog, kEnterBootloaderPause);

    if (m_pProfile->Flags & kProfileErase) {
        cmd.SerialComProgErase(ch, 0);
        dev.ExecuteOrThrow(cmd, kEraseTimeout);
    }
    SendPages(dev, prog, cmd);

    prog.OnReset(true);
    cmd.SerialComEnterApplication(ch);
    dev.ExecuteOrThrow(cmd, kCmdTimeout);
    m_bInBootloader = false;
    Pause(prog, kEnterApplicationPause);
}

void NxProgrammer::CheckChannel(TNxDev& dev)
{
    if (m_nChannel < 1 || m_nChannel > 255)
        ThrowNx("Invalid channel %d", m_nChannel);
    const auto ch = static_cast<uint8_t>(m_nChannel);
    NxCmdSerialCom cmd;

    cmd.SerialComGetStatusFlag(ch);
    dev.ExecuteOrThrow(cmd, kCmdTimeout);
    const uint16_t status = cmd.RespWord(0);
    m_bInBootloader = (status & 0x8000) != 0;
    m_bApplicationRan = !m_bInBootloader;
    std::string appName;
    if (m_bApplicationRan) {
        cmd.SerialComGetApplicationName(ch);
        dev.ExecuteOrThrow(cmd, kCmdTimeout);
        appName = cmd.RespText(0);
    }
    // A component in its bootloader takes any listed model.
    IdentifyFile(appName.empty() ? nullptr : appName.c_str());
}

void NxProgrammer::SendPages(TNxDev& dev, IProg& prog, NxCmdSerialCom& cmd)
{
    const auto ch = static_cast<uint8_t>(m_nChannel);
    const DeviceProfile& profile = *m_pProfile;
    const uint32_t pages = m_Image.GetBlockSize() / NxCmdSerialCom::kPageSize;
    const uint32_t delay = BlockDelayMs();
    const auto count = static_cast<uint32_t>(m_Image.GetBlockCount());
    uint32_t b = 0;
    for (const ProgBlock* blk = m_Image.FirstBlock(); blk; blk = blk->Next, ++b) {
        for (uint32_t p = 0; p < pages; ++p) {
            prog.OnBlockProgress(*blk, b * pages + p, count * pages);
            const auto build = [&] {
                if (!cmd.SerialComProgPage(ch, *blk, p, profile.PageBase))
                    ThrowNx("Download of block #%u/%u failed: Repacking size mismatch", b, count);
            };
            if (!ExecuteWithRetries(dev, cmd, build, profile.RetryDelay, prog))
                ThrowNx("Download of block #%u/%u failed: %s", b, count, cmd.GetErrMsg().c_str());
            if (delay > 0)
                NxSleep(delay);
        }
    }
}

uint32_t NxProgrammer::ImageChecksum() const
{
    uint32_t sum = 0;
    for (const ProgBlock* b = m_Image.FirstBlock(); b; b = b->Next)
        sum += BlockSum(*b);
    return sum;
}

std::string NxProgrammer::ImageAppName() const
{
    size_t avail = 0;
    const uint8_t* p = m_Image.FindByte(kAppNameAddress, avail);
    if (!p)
        return {};
    return std::string(reinterpret_cast<const char*>(p), std::find(p, p + avail, 0) - p);
}

DownloadEstimate NxProgrammer::Estimate(bool applicationRuns)
{
    // Download itself, against a target in that state that takes the image.
    const DeviceProfile* profile = m_pProfile ? m_pProfile : MatchProfile();
    const bool inBootloader = m_bInBootloader, applicationRan = m_bApplicationRan;
    FailureOnlyProg quiet;
    bool ok = false;
    const DownloadEstimate est = MeasureOnSimulator(
        [&](Sim::SimController& ctl) {
            ctl.AppName = ImageAppName();
            ctl.HwName = m_TablesHardware.value_or("");
            if (m_nChannel == 0) {
                ctl.Bootloader = !applicationRuns;
                return;
            }
            Sim::SimComponent& c = ctl.Channels[static_cast<uint8_t>(m_nChannel)];
            c.Capability = 1;
            c.Bootloader = !applicationRuns;
            c.AppName = profile ? profile->ModelName : "";
        },
        [&](TNxDev& dev) { ok = Download(&dev, &quiet); });
    m_bInBootloader = inBootloader;
    m_bApplicationRan = applicationRan;
    if (!ok)
        throw NxException(quiet.Failure);
    return est;
}
