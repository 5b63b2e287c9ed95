// The download action shared by both front ends: checks the target and the
// file, dispatches to the programmer or the table loader, unpacks .dat files,
// and turns progress into the texts the user sees.
#pragma once

#include "../NxCom/TNxDevList.h"
#include "IProg.h"
#include "NxCmdTblLoader.h"
#include "NxProgrammer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Texts the front ends show.
constexpr const char* kDownloadFinished = "Download finished successfully";
constexpr const char* kDownloadFailedCaption = "Download failed";

// Progress of one download as text and percentage. The front end says how
// to show them; the texts and the order of events are fixed here.
class NxDownloadUi : public IProg, public NxTblLoader::ITblLoaderEvent
{
public:
    // The front end's status line; the base keeps the text for later steps.
    virtual void SetStatus(const std::string& text) { m_Status = text; }
    const std::string& Status() const { return m_Status; }
    virtual void SetProgress(unsigned percent) = 0;
    // Redraw the status line now (the GUI's label); nothing for a terminal.
    virtual void Repaint() {}
    // Let the front end breathe during long steps (the GUI's event loop).
    virtual void ProcessMessages() {}
    // The target and file kind are checked and nothing has been sent yet.
    virtual void OnTargetChecked(TNxDev& /*dev*/, int /*channel*/) {}

    void OnEraseStart() override;
    void OnBlockProgress(const ProgBlock& block, uint32_t index, uint32_t count) override;
    void OnChecksum(uint32_t sum) override;
    void OnFailure(const char* text) override;
    void OnReset(bool toApplication) override;
    void OnProgress(const char* text, unsigned percent) override;

private:
    std::string m_Status;
};

// "Block: %d/%d - Address: 0x%06lX - Progress: %d%%" for step index of count.
std::string BlockProgressText(const ProgBlock& block, uint32_t index, uint32_t count,
                              unsigned* percent = nullptr);

// File kinds by extension, compared in upper case.
enum EDownloadKind
{
    kKindNone = 0,
    kKindHex = 1,
    kKindXml = 2,
    kKindDat = 3,
};
EDownloadKind DownloadFileKind(const std::string& path);

// True when 0 <= channel <= the number of the device's channels.
bool IsValidChannel(TNxDevList& list, TNxDev& dev, int channel);

// Downloads file into the device with this serial number: firmware (.hex),
// parameter tables (.xml) or both (.dat); a channel component takes firmware
// only, and only when it says it can (CanDownload). Every part of the file is
// read and checked before the first command. Holds the list's lock
// throughout. Raises NxException with the message the user sees, also when
// memory runs out.
void RunDownload(TNxDevList& list, NxDownloadUi& ui, const std::string& serial, int channel,
                 const std::string& file);

// Every part of a download file as the download reads it.
struct DownloadParts
{
    EDownloadKind Kind = kKindNone;
    std::unique_ptr<NxProgrammer> Firmware; // .hex and .dat: the image, read at 128-byte blocks
    std::optional<NxCmdTblData> Tables;     // .xml and .dat
    // A .dat: gzip-compressed or plain, its size, what it unpacks to, and
    // the Intel HEX text its HexFile element decodes to.
    bool Compressed = false;
    uint64_t FileBytes = 0, UnpackedBytes = 0, HexBytes = 0;
    // Its unpacked parts on disk, removed with the parts: they stay while
    // the download runs, as a download keeps them.
    std::shared_ptr<void> UnpackedFiles;
};

// Reads and checks every part of file for a download into channel, with the
// download's readers and checks and without a device. Raises NxException with the
// download's message. An .xml is read without the XML reader's report: the
// message names the error and its place.
DownloadParts ReadDownloadFile(const std::string& file, int channel);

// The checks a download of file makes before its first write, on a device
// made read-only for the while (TNxDev::SetReadOnly): the target, the file,
// the device's state, its application or model name against the image, its
// hardware name against the tables. Returns the verdict, "would download 97
// blocks into controller 0001 (IncuControlApp), at least 10 s"; raises
// NxException with the message the download would give.
std::string DryRunDownload(TNxDevList& list, const std::string& serial, int channel,
                           const std::string& file);
// The same checks and verdict, kept out of the service record: what the
// desktop program runs before its download question.
std::string CheckDownload(TNxDevList& list, const std::string& serial, int channel,
                          const std::string& file);

// Refuses, without a device, a file that is not a regular file or, for .hex
// and .xml, is larger than kMaxInputBytes: "<file> is not a regular file",
// "<file> is larger than 64 MiB, ...". A missing file passes: its reader says so.
void CheckInputFile(const std::string& file, int kind);

// Removes the temporary files of a .dat download in progress. Safe to call
// from a signal handler: a front end that is interrupted calls it before it
// ends, so no unpacked firmware is left behind.
void RemovePendingTempFiles();

// Makes every signal whose default action ends the process (and that the
// process does not ignore) remove the pending temporary files first, then end
// the process as the signal would have.
void RemoveTempFilesOnFatalSignals();

// Firmware download of an Intel HEX file into the device (channel 0) or a component.
// A failure that leaves the target in its bootloader says so in a second line.
void DownloadHex(TNxDev& dev, int channel, const std::string& file, NxDownloadUi& ui);

// The line added to a failure after which the target runs only its bootloader.
std::string LeftInBootloaderText(int channel);
