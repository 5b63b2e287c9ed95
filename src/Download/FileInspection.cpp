#include "Download/FileInspection.h"

#include "Appcfg.h"
#include "Download/NxProgrammer.h"
#include "NxCmdSerialCom.h"
#include "NxException.h"

#include <algorithm>

namespace {

constexpr uint32_t kAppNameAddress = 0xC08000;

std::vector<std::pair<uint32_t, uint32_t>> MergedRanges(const MemoryImage& image)
{
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    for (const ProgBlock* b = image.FirstBlock(); b; b = b->Next)
        blocks.emplace_back(b->Address(), b->Address() + b->DataLength);
    std::sort(blocks.begin(), blocks.end());
    std::vector<std::pair<uint32_t, uint32_t>> merged;
    for (const auto& r : blocks) {
        if (!merged.empty() && merged.back().second == r.first)
            merged.back().second = r.second;
        else
            merged.push_back(r);
    }
    return merged;
}

FirmwareFacts InspectFirmware(NxProgrammer& prog, int channel)
{
    FirmwareFacts f;
    f.Name = prog.ImageAppName();
    if (!f.Name.empty()) {
        f.Target = ImageTarget::Controller;
        f.NameAddress = kAppNameAddress;
    } else {
        // Matched as a component download matches it, without a running
        // application's name; repacks to the model's block size.
        try {
            prog.IdentifyFile(nullptr);
            f.Target = ImageTarget::Component;
            f.Profile = prog.GetProfile();
            f.Name = f.Profile->ModelName;
            f.NameAddress = f.Profile->IdentityAddress;
            prog.SetChannel(channel > 0 ? channel : 1);
        } catch (const NxException&) {
            // Neither: only a controller in its bootloader skips the name check.
        }
    }
    const MemoryImage& image = prog.Image();
    f.BlockSize = image.GetBlockSize();
    f.Blocks = image.GetBlockCount();
    f.PageSize = f.Target == ImageTarget::Component ? NxCmdSerialCom::kPageSize : f.BlockSize;
    f.Pages = f.Blocks * (f.BlockSize / f.PageSize);
    f.Ranges = MergedRanges(image);
    f.Bytes = static_cast<uint64_t>(f.Blocks) * f.BlockSize;
    if (f.Target != ImageTarget::Component)
        f.Checksum = prog.ImageChecksum();
    f.InBootloader = prog.Estimate(false);
    if (f.Target != ImageTarget::Unknown)
        f.InApplication = prog.Estimate(true);
    return f;
}

} // namespace

uint64_t FileInspection::LeastMs(bool applicationRuns) const
{
    DownloadEstimate est;
    // An image that names no target goes only into a waiting bootloader.
    if (Firmware)
        est += applicationRuns && Firmware->InApplication ? *Firmware->InApplication
                                                          : Firmware->InBootloader;
    if (Parts.Tables) {
        // After firmware the controller runs its application again.
        const bool app = applicationRuns || (Firmware && CAppCfg::Instance().StartApplication());
        est += app ? TablesInApplication : TablesInBootloader;
    }
    return est.LeastMs();
}

FileInspection InspectFile(const std::string& file, int channel)
{
    FileInspection insp;
    insp.File = file;
    insp.Parts = ReadDownloadFile(file, 0);
    insp.Parts.Unpacked.reset(); // all is in memory now
    if (insp.Parts.Firmware)
        insp.Firmware = InspectFirmware(*insp.Parts.Firmware, channel);
    if (insp.Parts.Tables) {
        insp.TablesInApplication = NxTblLoader::Estimate(*insp.Parts.Tables, true);
        insp.TablesInBootloader = NxTblLoader::Estimate(*insp.Parts.Tables, false);
    }
    return insp;
}

std::string InspectionTargetText(const FileInspection& insp)
{
    if (!insp.Firmware)
        return "controller hardware '" + insp.Parts.Tables->m_szTblName + "'";
    const FirmwareFacts& f = *insp.Firmware;
    switch (f.Target) {
    case ImageTarget::Controller:
        return "controller application '" + f.Name + "'";
    case ImageTarget::Component:
        return "component '" + f.Name + "'";
    default:
        return "unknown: no application name at 0xC08000 and no component model, so only a "
               "controller waiting in its bootloader takes it";
    }
}

std::string InspectionTimeText(const FileInspection& insp)
{
    const std::string app = FormatLeastTime(insp.LeastMs(true));
    const std::string boot = FormatLeastTime(insp.LeastMs(false));
    // An unknown image passes only a controller in its bootloader.
    if (insp.Firmware && insp.Firmware->Target == ImageTarget::Unknown)
        return "at least " + boot;
    if (app == boot)
        return "at least " + app;
    return "at least " + app + " (" + boot + " when the target waits in its bootloader)";
}

std::string ConfirmationLines(const std::string& file, int channel)
{
    try {
        const FileInspection insp = InspectFile(file, channel);
        // The controller's download would refuse it: say so, in its words.
        if (channel == 0 && insp.Parts.Firmware) {
            const std::string refusal = insp.Parts.Firmware->ControllerRefusal();
            if (!refusal.empty())
                return "\n\n" + refusal;
        }
        return "\n\nFile for: " + InspectionTargetText(insp) +
               "\nDownload time: " + InspectionTimeText(insp);
    } catch (const std::exception&) {
        return {};
    }
}
