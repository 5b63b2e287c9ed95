// Downloads one firmware image into the controller or a channel component:
// matches the memory image read from an Intel HEX file to a device profile,
// and runs the command sequences with their pauses and retries.
#pragma once

#include "Download/DownloadEstimate.h"
#include "Download/IProg.h"
#include "MemoryImage.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class NxCmdSerialCom;
class TNxDev;

// How a channel component is programmed; the model name identifies it.
struct DeviceProfile
{
    uint32_t IdentityAddress; // image address of the stored model name; 0 ends the table
    const char* ModelName;    // compared over at most kModelNameLength characters
    uint32_t BlockSize;       // the image is repacked to this size
    uint32_t Flags;           // kProfileErase
    uint32_t PageBase;        // subtracted from block addresses for page numbers
    uint32_t RetryDelay;      // ms between two attempts to send one page
};
constexpr uint32_t kProfileErase = 1; // erase the component's flash first
constexpr size_t kModelNameLength = 32;

// The known component models in matching order (the first match wins),
// closed by a row whose identity address is 0.
extern const DeviceProfile kDeviceProfiles[];

// Pause in ms after every acknowledged page to a component: the environment
// variable "BLKDELAY" read as an integer with automatic base (decimal, 0x
// hexadecimal, leading 0 octal; conversion stops at the first invalid
// character). 0 when unset, invalid or not above 0.
uint32_t BlockDelayMs();

class NxProgrammer
{
public:
    // channel 0: the controller itself; 1 and up: the component on that channel.
    explicit NxProgrammer(int channel);
    NxProgrammer(const NxProgrammer&) = delete;
    NxProgrammer& operator=(const NxProgrammer&) = delete;

    int GetChannel() const { return m_nChannel; }
    // The target changes before a download: an image inspected without one
    // is estimated for the controller (0) or a component (above 0).
    void SetChannel(int channel) { m_nChannel = channel; }

    // ---- Memory image ----

    // MemoryImage::LoadFile; forgets the matched profile.
    int LoadFile(const char* path, int& line);
    // MemoryImage::SetBlockSize; forgets the matched profile.
    bool SetBlockSize(uint32_t size);
    uint32_t GetBlockSize() const { return m_Image.GetBlockSize(); }
    size_t GetBlockCount() const { return m_Image.GetBlockCount(); }
    const MemoryImage& Image() const { return m_Image; }
    MemoryImage& Image() { return m_Image; }

    // ---- Matching and download ----

    // Matches the image against kDeviceProfiles (model name stored as 8-bit
    // text or in 16-bit units with the character second, one leading '.'
    // skipped) and, when appName is non-null, against the component's
    // application name; then repacks the image to the row's block size.
    // Names are never read past the end of the block they start in. Raises
    // NxException with the user's message on failure; the profile is kept
    // only on success.
    void IdentifyFile(const char* appName);
    // The row matched by the last successful IdentifyFile, or null.
    const DeviceProfile* GetProfile() const { return m_pProfile; }
    // The first row whose model name the image stores, as IdentifyFile
    // matches it, without repacking anything; null when none.
    const DeviceProfile* MatchProfile() const;
    // Why a controller refuses this image, in the words of its download: an
    // image that stores no text at 0xC08000 but a component model's name
    // ("Invalid download file for this device" and a line naming the
    // component); empty when the controller may take it.
    std::string ControllerRefusal() const;
    // The parameter tables of a .dat follow this image: its controller
    // download reads "GetHwName" after its first status and refuses another
    // hardware before the first write, with the table update's message.
    void SetTablesHardware(std::string tableName) { m_TablesHardware = std::move(tableName); }

    // Runs the download sequence for this programmer's channel on dev and
    // reports to prog (both non-null). Returns true on success; after a
    // failure the message has gone to prog->OnFailure and false is returned.
    // Only NxException is caught; other exceptions reach the caller. The
    // target is left where the failure stopped it.
    bool Download(TNxDev* dev, IProg* prog);
    // The checks Download makes before its first write, and nothing more:
    // the target's state, its application name against the image and, for a
    // component, the match to a device profile (the image is then repacked
    // to the profile's block size). Sends only reads. Reports as Download
    // does: true, or false after prog->OnFailure with Download's message.
    bool CheckTarget(TNxDev* dev, IProg* prog);
    // The target ran its application when the last Download or CheckTarget
    // looked (false when it was not asked).
    bool ApplicationRan() const { return m_bApplicationRan; }

    // The least time Download takes on this channel (DownloadEstimate): the
    // download itself, run against a simulated target that runs its
    // application or its bootloader and takes this image (a component then
    // has the model the image names). The image is matched and repacked as
    // the download does it; ApplicationRan and LeftInBootloader keep what
    // the last real Download or CheckTarget found. "BLKDELAY" counts as
    // Download reads it. Raises NxException with the download's message when
    // such a target refuses the image (no controller application named while
    // the application runs, no known component model).
    DownloadEstimate Estimate(bool applicationRuns);
    // The sum "ProgCheckSum" sends to the controller: BlockSum of every block.
    uint32_t ImageChecksum() const;
    // The controller application's name the image stores at 0xC08000 (up to
    // its zero byte or its block's end); empty when no block holds that address.
    std::string ImageAppName() const;
    // The last Download left its target in the bootloader: it was found
    // there, or its switch into it or its erase was answered, and no switch
    // back into the application was answered since.
    bool LeftInBootloader() const { return m_bInBootloader; }
    // NxFailure kinds of the failure that ended the last Download (0 after success).
    unsigned FailureKinds() const { return m_FailureKinds; }

    // 32-bit wrapping sum of the 16-bit little-endian words of the block's data.
    static uint32_t BlockSum(const ProgBlock& block);

private:
    // Download or, with checkOnly, CheckTarget for this channel.
    bool Run(TNxDev* dev, IProg* prog, bool checkOnly);
    void DownloadController(TNxDev& dev, IProg& prog, bool checkOnly);
    // Refuses a component's image, reads the controller's state and the
    // tables' hardware when asked and, with the application running, checks
    // the image against it.
    void CheckController(TNxDev& dev);
    // Resets the running application into the bootloader.
    void EnterControllerBootloader(TNxDev& dev, IProg& prog);
    void DownloadChannel(TNxDev& dev, IProg& prog, bool checkOnly);
    // Reads the component's state and name and matches the image to them.
    void CheckChannel(TNxDev& dev);
    // Every page of every block, with retries and the "BLKDELAY" pause.
    void SendPages(TNxDev& dev, IProg& prog, NxCmdSerialCom& cmd);

    int m_nChannel;
    MemoryImage m_Image;
    const DeviceProfile* m_pProfile = nullptr;
    std::optional<std::string> m_TablesHardware;
    bool m_bInBootloader = false;
    bool m_bApplicationRan = false;
    unsigned m_FailureKinds = 0;
};
