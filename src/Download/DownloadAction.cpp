#include "Download/DownloadAction.h"

#include "History/ActionRecord.h"
#include "NxException.h"

#include <new>

bool IsValidChannel(TNxDevList& list, TNxDev& dev, int channel)
{
    ScopedSect lock(list.Lock);
    return channel >= 0 && static_cast<size_t>(channel) <= dev.GetChannels().size();
}

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

std::string LeftInBootloaderText(int channel)
{
    // Nothing runs on the target now; only a new download brings it back.
    const std::string target =
        channel > 0 ? StrFormat("The component on channel %d", channel) : "The controller";
    return target + " is left in its bootloader: repeat the download once it is listed again.";
}

namespace {

void RunProgrammer(NxProgrammer& prog, TNxDev& dev, NxDownloadUi& ui)
{
    if (prog.Download(&dev, &ui)) {
        ui.SetProgress(StrFormat("Download successful: %s", ui.Status().c_str()));
        return;
    }
    // The programmer reported its failure through OnFailure: that is the message.
    std::string failure = ui.Status();
    ui.SetProgress(StrFormat("Download failed: %s", failure.c_str()));
    if (!prog.LeftInBootloader())
        throw NxException(failure).MarkAll(prog.FailureKinds());
    throw NxException(failure + "\n" + LeftInBootloaderText(prog.GetChannel()))
        .MarkAll(prog.FailureKinds())
        .Mark(NxFailure::LeftInBootloader);
}

void DownloadInto(TNxDev& dev, int channel, const std::string& file, EDownloadKind kind,
                  NxDownloadUi& ui)
{
    WithBridgeHint(dev, [&] {
        try {
            if (kind == kKindXml) {
                // The loader reads the file itself, showing the XML reader's report.
                CheckInputFile(file, kind);
                NxTblLoader loader(&dev, file.c_str(), &ui);
                loader.Update();
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

} // namespace

void DownloadHex(TNxDev& dev, int channel, const std::string& file, NxDownloadUi& ui)
{
    RunProgrammer(*LoadHexFile(channel, file), dev, ui);
}

void RunDownload(TNxDevList& list, NxDownloadUi& ui, const std::string& serial, int channel,
                 const std::string& file)
{
    ActionRecord record(ActionRecord::DownloadAction(file, channel), serial, channel, file);
    record.Run([&] {
        ScopedSect lock(list.Lock);
        if (TNxDev* found = list.FindBySerial(serial))
            record.SetDevice(*found); // a refusal below is then the device's record
        const EDownloadKind kind = KnownDownloadKind(file);
        TNxDev& dev = FindDownloadTarget(list, serial, channel, kind);
        ui.OnTargetChecked(dev, channel);
        DownloadInto(dev, channel, file, kind, ui);
        record.Done(); // under the lock: it reads the device's versions after the download
    });
}
