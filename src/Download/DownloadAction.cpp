#include "DownloadAction.h"

#include "../Appcfg.h"
#include "../History/ActionRecord.h"
#include "../InputFile.h"
#include "../IntelHex.h"
#include "../NxCmdSerialCom.h"
#include "../NxException.h"
#include "../XmlParser/XMLParserBase64Tool.h"
#include "../XmlParser/XmlParser.h"
#include "../Xmlutils.h"
#include "../zlibutils.h"
#include "NxProgrammer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <unistd.h>

void NxDownloadUi::OnEraseStart()
{
    SetStatus("Clear flash");
    Repaint();
    ProcessMessages();
}

void NxDownloadUi::OnBlockProgress(const ProgBlock& block, uint32_t index, uint32_t count)
{
    unsigned percent = 0;
    SetStatus(BlockProgressText(block, index, count, &percent));
    SetProgress(percent);
    ProcessMessages();
}

void NxDownloadUi::OnChecksum(uint32_t sum)
{
    SetStatus(StrFormat("Checksum: 0x%08lX", static_cast<unsigned long>(sum)));
    Repaint();
    ProcessMessages();
}

void NxDownloadUi::OnFailure(const char* text)
{
    SetStatus(text ? text : "");
}

void NxDownloadUi::OnReset(bool toApplication)
{
    SetStatus(StrFormat("Reset to %s ...", toApplication ? "Application" : "Bootloader"));
    Repaint();
    ProcessMessages();
}

void NxDownloadUi::OnProgress(const char* text, unsigned percent)
{
    SetStatus(text ? text : "");
    SetProgress(percent);
    ProcessMessages();
}

std::string BlockProgressText(const ProgBlock& block, uint32_t index, uint32_t count,
                              unsigned* percent)
{
    const unsigned pct = count ? static_cast<unsigned>((uint64_t{index} + 1) * 100 / count) : 100;
    if (percent)
        *percent = pct;
    return StrFormat("Block: %d/%d - Address: 0x%06lX - Progress: %d%%",
                     static_cast<int>(index + 1), static_cast<int>(count),
                     static_cast<unsigned long>(block.Address()), static_cast<int>(pct));
}

EDownloadKind DownloadFileKind(const std::string& path)
{
    const auto dot = path.find_last_of('.');
    const auto slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return kKindNone;
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (ext == ".HEX")
        return kKindHex;
    if (ext == ".XML")
        return kKindXml;
    if (ext == ".DAT")
        return kKindDat;
    return kKindNone;
}

bool IsValidChannel(TNxDevList& list, TNxDev& dev, int channel)
{
    ScopedSect lock(list.Lock);
    return channel >= 0 && static_cast<size_t>(channel) <= dev.GetChannels().size();
}

namespace {

// The image of a HEX file, read before anything is sent.
std::unique_ptr<NxProgrammer> LoadHex(int channel, const std::string& file)
{
    auto prog = std::make_unique<NxProgrammer>(channel);
    int line = 0;
    const int rc = prog->LoadFile(file.c_str(), line);
    if (rc != 0)
        ThrowNx("IntelHex error at line %d: %s", line, IntelHexErrorText(rc));
    if (prog->GetBlockCount() == 0)
        throw NxException("Open download file first");
    return prog;
}

void RunProgrammer(NxProgrammer& prog, TNxDev& dev, NxDownloadUi& ui)
{
    if (prog.Download(&dev, &ui)) {
        ui.SetStatus(StrFormat("Download successful: %s", ui.Status().c_str()));
        return;
    }
    // The programmer reported its failure through OnFailure: that is the message.
    std::string failure = ui.Status();
    ui.SetStatus(StrFormat("Download failed: %s", failure.c_str()));
    if (!prog.LeftInBootloader())
        throw NxException(failure).MarkAll(prog.FailureKinds());
    throw NxException(failure + "\n" + LeftInBootloaderText(prog.GetChannel()))
        .MarkAll(prog.FailureKinds())
        .Mark(NxFailure::LeftInBootloader);
}

} // namespace

void DownloadHex(TNxDev& dev, int channel, const std::string& file, NxDownloadUi& ui)
{
    RunProgrammer(*LoadHex(channel, file), dev, ui);
}

std::string LeftInBootloaderText(int channel)
{
    // Nothing runs on the target now; only a new download brings it back.
    const std::string target =
        channel > 0 ? StrFormat("The component on channel %d", channel) : "The controller";
    return target + " is left in its bootloader: repeat the download once it is listed again.";
}

namespace {

// Far more than a download file of firmware and tables holds.
constexpr size_t kMaxDatTags = size_t{1} << 20;

// The temporary files a download holds right now, so that a signal handler
// can remove them (unlink is async-signal-safe). Each path is a copy of its
// own, published whole through an atomic pointer, so any length fits and the
// handler never sees one half made or half freed.
constexpr int kMaxPending = 4;
std::atomic<char*> g_Pending[kMaxPending];
static_assert(std::atomic<char*>::is_always_lock_free, "read from a signal handler");

// False when every slot is taken: the caller must not go on with a file that
// a signal would leave behind.
bool Register(const std::string& path)
{
    auto copy = std::make_unique<char[]>(path.size() + 1);
    std::memcpy(copy.get(), path.c_str(), path.size() + 1);
    for (auto& slot : g_Pending) {
        char* expected = nullptr;
        if (slot.compare_exchange_strong(expected, copy.get())) {
            copy.release();
            return true;
        }
    }
    return false;
}

void Unregister(const std::string& path)
{
    for (auto& slot : g_Pending) {
        char* p = slot.load();
        if (p && path == p && slot.compare_exchange_strong(p, nullptr))
            delete[] p;
    }
}

// A temporary file that is deleted on every path out of the download.
class TempFile
{
public:
    explicit TempFile(const char* tag)
    {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern =
            std::string(dir && *dir ? dir : "/tmp") + "/nxupdate-" + tag + "-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = mkstemp(name.data());
        if (fd < 0)
            ThrowNx("Cannot create a temporary file in %s: %s", dir && *dir ? dir : "/tmp",
                    std::strerror(errno));
        m_Path = name.data();
        if (!Register(m_Path)) {
            ::close(fd);
            std::remove(m_Path.c_str());
            ThrowNx("Cannot keep track of temporary file %s: too many at once", m_Path.c_str());
        }
        m_pFile = fdopen(fd, "wb");
        if (!m_pFile) {
            ::close(fd);
            Unregister(m_Path);
            std::remove(m_Path.c_str());
            ThrowNx("Cannot open temporary file %s: %s", m_Path.c_str(), std::strerror(errno));
        }
    }
    ~TempFile()
    {
        if (m_pFile)
            std::fclose(m_pFile);
        Unregister(m_Path);
        std::remove(m_Path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Write(const void* data, size_t n)
    {
        if (n > 0 && std::fwrite(data, 1, n, m_pFile) != n)
            ThrowNx("Cannot write temporary file %s: %s", m_Path.c_str(), std::strerror(errno));
    }
    void Close()
    {
        FILE* f = m_pFile;
        m_pFile = nullptr;
        if (f && std::fclose(f) != 0)
            ThrowNx("Cannot write temporary file %s: %s", m_Path.c_str(), std::strerror(errno));
    }
    const std::string& Path() const { return m_Path; }

private:
    std::string m_Path;
    FILE* m_pFile = nullptr;
};

void RunTables(TNxDev& dev, const std::string& xmlFile, NxDownloadUi& ui)
{
    NxTblLoader loader(&dev, xmlFile.c_str(), &ui);
    loader.Update();
}

// Unpacks a .dat into its two parts: the XML document and the HEX file
// decoded from its "HexFile" element.
void UnpackDat(const std::string& file, TempFile& hexFile, TempFile& xmlFile)
{
    TScopedMallocBuffer<char> text;
    const long n = ReadGzipFile(file.c_str(), text);
    if (n == kGzipTooLarge || n == kGzipReadError || n == kGzipNotRegular)
        ThrowNx("%s: %s", GzipErrorText(n), file.c_str());
    // Each element costs the reader a few hundred bytes: a small packed file
    // of millions of tags would otherwise unpack into gigabytes.
    const size_t tags =
        n > 0 ? static_cast<size_t>(std::count(text.get(), text.get() + n, '<')) : 0;
    if (tags > kMaxDatTags)
        ThrowNx("The download file holds too many XML elements (%zu, at most %zu): %s", tags,
                kMaxDatTags, file.c_str());
    if (n > 0)
        xmlFile.Write(text.get(), static_cast<size_t>(n));
    xmlFile.Close();

    // A file that could not be opened has no data: the parser names that.
    XmlResults res;
    XMLNode hex = n > 0 ? ParseBuffer(text.get(), static_cast<size_t>(n), "HexFile", &res)
                        : ParseBuffer(text.get(), "HexFile", &res);
    text.reset(); // the tree holds copies; a large document need not stay twice in memory
    if (res.nError != eXmlNoError)
        throw NxException(XmlErrorText(res.nError));
    if (hex.IsEmpty())
        throw NxException(XmlErrorText(eXmlFirstTagNotFound));
    const char* encoded = hex.TextAt(0);
    if (!encoded)
        throw NxException("The download file holds no firmware: its HexFile element is empty");

    XMLParserBase64Tool base64;
    size_t size = 0;
    int err = 0;
    const unsigned char* bytes = base64.Decode(encoded, &size, &err);
    if (err != eXmlNoError)
        throw NxException(XmlErrorText(err));
    if (bytes && size > 0)
        hexFile.Write(bytes, static_cast<size_t>(size));
    hexFile.Close();
}

NxCmdTblData ReadTables(const std::string& path, const std::string& what)
{
    NxCmdTblData tables;
    XmlResults res;
    if (!ReadTableFile(tables, path.c_str(), what, false, &res))
        ThrowNx("%s cannot be read: %s", what.c_str(), XmlErrorWithPlace(res).c_str());
    return tables;
}

uint64_t FileSize(const std::string& path)
{
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<uint64_t>(n);
}

// Both parts of a .dat, read and checked before the first command: a bad
// table part must not be found after the firmware was flashed.
void ReadDat(const std::string& file, int channel, DownloadParts& parts)
{
    auto files = std::make_shared<std::pair<TempFile, TempFile>>("hex", "xml");
    TempFile& hexFile = files->first;
    TempFile& xmlFile = files->second;
    UnpackDat(file, hexFile, xmlFile);
    parts.UnpackedFiles = files;
    parts.Firmware = LoadHex(channel, hexFile.Path());
    parts.Tables = ReadTables(xmlFile.Path(), "The parameter tables inside " +
                                                  std::filesystem::path(file).filename().string());
    parts.Firmware->SetTablesHardware(parts.Tables->m_szTblName);

    unsigned char magic[2] = {};
    if (FILE* f = std::fopen(file.c_str(), "rb")) {
        parts.Compressed = std::fread(magic, 1, 2, f) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
        std::fclose(f);
    }
    parts.FileBytes = FileSize(file);
    parts.UnpackedBytes = FileSize(xmlFile.Path());
    parts.HexBytes = FileSize(hexFile.Path());
}

// The checks of the target before the file is read: the device, the channel,
// the file kind for a component, and the component's capability.
TNxDev& FindDownloadTarget(TNxDevList& list, const std::string& serial, int channel,
                           EDownloadKind kind)
{
    TNxDev* dev = list.FindBySerial(serial);
    if (!dev)
        ThrowNx("Device '%s' not found", serial.c_str());
    if (!IsValidChannel(list, *dev, channel))
        ThrowNx("Invalid channel for device '%s'", serial.c_str());
    if (channel > 0 && kind != kKindHex)
        throw NxException("File not supported in SerialMode");
    // The desktop program offers Download only where this holds.
    if (channel > 0 && !CanDownload(dev->GetChannels()[static_cast<size_t>(channel - 1)]))
        ThrowNx("The component on channel %d cannot be downloaded", channel);
    return *dev;
}

EDownloadKind KnownKind(const std::string& file)
{
    const EDownloadKind kind = DownloadFileKind(file);
    if (kind == kKindNone)
        throw NxException("Invalid download file");
    return kind;
}

[[noreturn]] void ThrowOutOfMemory(const std::string& file)
{
    ThrowNx("Out of memory while reading %s: the file is too large to process", file.c_str());
}

} // namespace

void RemovePendingTempFiles()
{
    for (auto& slot : g_Pending)
        if (const char* p = slot.load())
            ::unlink(p);
}

namespace {

void OnFatalSignal(int sig)
{
    RemovePendingTempFiles();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

} // namespace

void RemoveTempFilesOnFatalSignals()
{
    std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT, SIGABRT,   SIGUSR1, SIGUSR2,
                             SIGPIPE, SIGALRM, SIGTERM, SIGXCPU,   SIGXFSZ, SIGVTALRM,
                             SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT, SIGSYS,  SIGTRAP};
#if !defined(__SANITIZE_ADDRESS__)
    // A sanitizer reports these itself.
    sigs.insert(sigs.end(), {SIGSEGV, SIGBUS, SIGILL, SIGFPE});
#endif
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigs.push_back(sig);
    for (int sig : sigs) {
        struct sigaction old
        {
        };
        // Only the default ends the process: a signal the caller ignores
        // (nohup, a closed pipe) or handles itself stays as it is.
        if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) ||
            old.sa_handler != SIG_DFL)
            continue;
        struct sigaction sa
        {
        };
        sa.sa_handler = OnFatalSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

DownloadParts ReadDownloadFile(const std::string& file, int channel)
{
    DownloadParts parts;
    parts.Kind = KnownKind(file);
    CheckInputFile(file, parts.Kind);
    try {
        switch (parts.Kind) {
        case kKindHex:
            parts.Firmware = LoadHex(channel, file);
            break;
        case kKindXml:
            parts.Tables = ReadTables(file, "The parameter tables in " +
                                                std::filesystem::path(file).filename().string());
            break;
        default:
            ReadDat(file, channel, parts);
            break;
        }
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory(file);
    }
    return parts;
}

namespace {
void DownloadInto(TNxDev& dev, int channel, const std::string& file, EDownloadKind kind,
                  NxDownloadUi& ui);
} // namespace

void RunDownload(TNxDevList& list, NxDownloadUi& ui, const std::string& serial, int channel,
                 const std::string& file)
{
    ActionRecord record(ActionRecord::DownloadAction(file, channel), serial, channel, file);
    record.Run([&] {
        ScopedSect lock(list.Lock);
        if (TNxDev* found = list.FindBySerial(serial))
            record.SetDevice(*found); // a refusal below is then the device's record
        const EDownloadKind kind = KnownKind(file);
        TNxDev& dev = FindDownloadTarget(list, serial, channel, kind);
        ui.OnTargetChecked(dev, channel);
        DownloadInto(dev, channel, file, kind, ui);
        record.Done(); // under the lock: it reads the device's versions after the download
    });
}

namespace {

void DownloadInto(TNxDev& dev, int channel, const std::string& file, EDownloadKind kind,
                  NxDownloadUi& ui)
{
    WithBridgeHint(dev, [&] {
        try {
            if (kind == kKindXml) {
                // The loader reads the file itself, showing the XML reader's report.
                CheckInputFile(file, kind);
                RunTables(dev, file, ui);
                return;
            }
            DownloadParts parts = ReadDownloadFile(file, channel);
            RunProgrammer(*parts.Firmware, dev, ui);
            if (parts.Tables) {
                NxTblLoader loader(&dev, std::move(*parts.Tables), &ui);
                loader.Update();
            }
        } catch (const std::bad_alloc&) {
            ThrowOutOfMemory(file);
        }
    });
}

// A dry run's device: every write fails unsent, whatever path tries one.
class ReadOnlyScope
{
public:
    explicit ReadOnlyScope(TNxDev& dev) : m_Dev(dev) { m_Dev.SetReadOnly(true); }
    ~ReadOnlyScope() { m_Dev.SetReadOnly(false); }
    ReadOnlyScope(const ReadOnlyScope&) = delete;
    ReadOnlyScope& operator=(const ReadOnlyScope&) = delete;

private:
    TNxDev& m_Dev;
};

// Keeps the programmer's failure text; the checks report nothing else.
class FailureText : public IProg
{
public:
    void OnEraseStart() override {}
    void OnBlockProgress(const ProgBlock&, uint32_t, uint32_t) override {}
    void OnChecksum(uint32_t) override {}
    void OnFailure(const char* text) override { Text = text ? text : ""; }
    void OnReset(bool) override {}
    std::string Text;
};

std::string FirmwareVerdict(const NxProgrammer& prog, const TNxDev& dev)
{
    std::string into = "controller " + dev.GetSerial();
    std::string state = prog.ApplicationRan() ? prog.ImageAppName() : "in its bootloader";
    std::string blocks = StrFormat("%zu blocks", prog.GetBlockCount());
    if (const DeviceProfile* profile = prog.GetProfile()) {
        into = StrFormat("the component on channel %d of ", prog.GetChannel()) + into;
        state = prog.ApplicationRan() ? std::string(profile->ModelName)
                                      : state + ", the file is for " + profile->ModelName;
        blocks += StrFormat(" (%zu pages)", prog.GetBlockCount() *
                                                (prog.GetBlockSize() / NxCmdSerialCom::kPageSize));
    } else if (!prog.ApplicationRan() && prog.ImageAppName().empty()) {
        state += ", target unknown"; // only a waiting bootloader takes such an image
    }
    return "would download " + blocks + " into " + into + " (" + state + ")";
}

std::string TablesVerdict(const NxCmdTblData& t)
{
    return StrFormat("the parameter tables '%s' version %s of %s (%zu PID and %zu component "
                     "parameter sets)",
                     t.m_szTblName.c_str(), t.m_szTblVersion.c_str(), t.m_szTblDate.c_str(),
                     t.m_PidParams.size(), t.m_CompParamSets.size());
}

} // namespace

namespace {
std::string DryRun(TNxDev& dev, int channel, const std::string& file, EDownloadKind kind);
} // namespace

std::string DryRunDownload(TNxDevList& list, const std::string& serial, int channel,
                           const std::string& file)
{
    ActionRecord record(ActionRecord::DownloadAction(file, channel), serial, channel, file, true);
    return record.Run([&] {
        ScopedSect lock(list.Lock);
        if (TNxDev* found = list.FindBySerial(serial))
            record.SetDevice(*found);
        const EDownloadKind kind = KnownKind(file);
        TNxDev& dev = FindDownloadTarget(list, serial, channel, kind);
        std::string verdict = DryRun(dev, channel, file, kind);
        record.Done();
        return verdict;
    });
}

std::string CheckDownload(TNxDevList& list, const std::string& serial, int channel,
                          const std::string& file)
{
    ScopedSect lock(list.Lock);
    const EDownloadKind kind = KnownKind(file);
    return DryRun(FindDownloadTarget(list, serial, channel, kind), channel, file, kind);
}

namespace {

std::string DryRun(TNxDev& dev, int channel, const std::string& file, EDownloadKind kind)
{
    ReadOnlyScope readOnly(dev);

    DownloadEstimate est;
    std::string verdict;
    DownloadParts parts;
    if (kind == kKindXml)
        CheckInputFile(file, kind);
    else
        parts = ReadDownloadFile(file, channel);
    parts.UnpackedFiles.reset(); // nothing is sent from them
    if (parts.Firmware) {
        NxProgrammer& prog = *parts.Firmware;
        FailureText failure;
        if (!prog.CheckTarget(&dev, &failure))
            throw NxException(failure.Text);
        est += prog.Estimate(prog.ApplicationRan());
        verdict = FirmwareVerdict(prog, dev);
    }
    if (kind != kKindHex) {
        // A .xml is read by the loader, as its download reads it.
        std::unique_ptr<NxTblLoader> loader =
            parts.Tables ? std::make_unique<NxTblLoader>(&dev, std::move(*parts.Tables), nullptr)
                         : std::make_unique<NxTblLoader>(&dev, file.c_str(), nullptr);
        const bool application = loader->Check();
        if (verdict.empty())
            verdict = "would write " + TablesVerdict(loader->Tables()) + " into controller " +
                      dev.GetSerial() + (application ? "" : " after a reset into its application");
        else
            verdict += " and then write " + TablesVerdict(loader->Tables());
        // After its firmware the controller runs its application again.
        est += NxTblLoader::Estimate(
            loader->Tables(),
            application || (parts.Firmware && CAppCfg::Instance().StartApplication()));
    }
    return verdict + ", at least " + FormatLeastTime(est.LeastMs());
}

} // namespace

void CheckInputFile(const std::string& file, int kind)
{
    // A .dat is bounded by what it unpacks to.
    InputFileError err;
    const int fd = OpenInputFile(file.c_str(), kind == kKindDat ? UINT64_MAX : kMaxInputBytes, err);
    if (fd >= 0)
        ::close(fd);
    else if (err != InputFileError::OpenFailed)
        throw NxException(InputFileErrorText(file, err));
}
