#include "Download/DryRunDownload.h"

#include "Appcfg.h"
#include "Download/DownloadAction.h"
#include "History/ActionRecord.h"
#include "NxCmdSerialCom.h"
#include "NxException.h"

#include <memory>

namespace {

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
    parts.Unpacked.reset(); // nothing is sent from them
    if (parts.Firmware) {
        NxProgrammer& prog = *parts.Firmware;
        FailureOnlyProg failure;
        if (!prog.CheckTarget(&dev, &failure))
            throw NxException(failure.Failure);
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

std::string DryRunDownload(TNxDevList& list, const std::string& serial, int channel,
                           const std::string& file)
{
    ActionRecord record(ActionRecord::DownloadAction(file, channel), serial, channel, file, true);
    return record.Run([&] {
        ScopedSect lock(list.Lock);
        if (TNxDev* found = list.FindBySerial(serial))
            record.SetDevice(*found);
        const EDownloadKind kind = KnownDownloadKind(file);
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
    const EDownloadKind kind = KnownDownloadKind(file);
    return DryRun(FindDownloadTarget(list, serial, channel, kind), channel, file, kind);
}
