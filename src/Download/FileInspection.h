// What a download file is and what a download of it would do, found out
// without a device by the readers and checks the download itself uses
// (ReadDownloadFile), so that a technician can check a file before the visit.
#pragma once

#include "Download/DownloadEstimate.h"
#include "Download/DownloadFile.h"
#include "Download/NxCmdTblLoader.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct DeviceProfile;

// Whom a firmware image is for: the controller whose application name it
// stores at 0xC08000, the component model of a device profile, or neither
// (then only a controller waiting in its bootloader takes it).
enum class ImageTarget
{
    Unknown,
    Controller,
    Component,
};

struct FirmwareFacts
{
    ImageTarget Target = ImageTarget::Unknown;
    std::string Name;                       // the application or the model
    uint32_t NameAddress = 0;               // where the image stores it
    const DeviceProfile* Profile = nullptr; // Component only
    uint32_t BlockSize = 0;                 // as sent: 128, or the profile's
    size_t Blocks = 0;
    size_t Pages = 0; // "ProgFlashPage" or "SerialComProgPage" requests
    uint32_t PageSize = 0;
    // Merged address ranges the blocks cover, [first, end), ascending.
    std::vector<std::pair<uint32_t, uint32_t>> Ranges;
    uint64_t Bytes = 0;               // written, gaps inside blocks as zeros
    std::optional<uint32_t> Checksum; // what "ProgCheckSum" sends (controller)
    // The least time of the firmware download for a target that runs its
    // application (none when such a target refuses the image: one that names
    // no target), and one that waits in its bootloader.
    std::optional<DownloadEstimate> InApplication;
    DownloadEstimate InBootloader;
};

struct FileInspection
{
    std::string File;
    DownloadParts Parts; // the file as the download reads it
    std::optional<FirmwareFacts> Firmware;
    // The tables' writes for a controller that runs its application (for a
    // .dat it does after the firmware download) and one in its bootloader.
    DownloadEstimate TablesInApplication, TablesInBootloader;

    // The least time of the whole download, in ms.
    uint64_t LeastMs(bool applicationRuns) const;
};

// Reads file as a download of it would and collects the facts. channel, when
// known (0 and up), is the one a component's frames carry; they may stuff
// differently. Raises NxException with the download's message for a file the
// download refuses.
FileInspection InspectFile(const std::string& file, int channel = -1);

// "controller application 'IncuControlApp'", "component 'Meridian'", "controller
// hardware 'IncuControl'" (tables only) or "unknown (...)".
std::string InspectionTargetText(const FileInspection& insp);
// "at least 10 s (4.9 s when the target waits in its bootloader)"; one figure
// when both states round to the same text.
std::string InspectionTimeText(const FileInspection& insp);

// The lines the desktop program adds to its download question: the file's
// target and its least time, after an empty line; for the controller
// (channel 0) a file it refuses gets its download's refusal instead. Empty
// when the file cannot be inspected; the download then says why.
std::string ConfirmationLines(const std::string& file, int channel = -1);
