// A download file read and checked whole, before anything is sent: the
// kinds by extension, the input checks, and every part of the file.
#pragma once

#include "Download/NxCmdTblLoader.h"
#include "Download/NxProgrammer.h"
#include "Download/UnpackedDat.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// File kinds by extension, compared in upper case.
enum EDownloadKind
{
    kKindNone = 0,
    kKindHex = 1,
    kKindXml = 2,
    kKindDat = 3,
};
EDownloadKind DownloadFileKind(const std::string& path);
// DownloadFileKind, raising "Invalid download file" for kKindNone.
EDownloadKind KnownDownloadKind(const std::string& file);

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
    // A .dat's parts on disk, removed with the parts: they stay while the
    // download runs, as a download keeps them.
    std::unique_ptr<UnpackedDat> Unpacked;
};

// Reads and checks every part of file for a download into channel, with the
// download's readers and checks and without a device. Raises NxException with the
// download's message. An .xml is read without the XML reader's report: the
// message names the error and its place.
DownloadParts ReadDownloadFile(const std::string& file, int channel);

// The image of an Intel HEX file for channel, read before anything is sent:
// "IntelHex error at line %d: %s", or "Open download file first" without blocks.
std::unique_ptr<NxProgrammer> LoadHexFile(int channel, const std::string& file);

// Refuses, without a device, a file that is not a regular file or, for .hex
// and .xml, is larger than kMaxInputBytes: "<file> is not a regular file",
// "<file> is larger than 64 MiB, ...". A missing file passes: its reader says so.
void CheckInputFile(const std::string& file, int kind);

// What std::bad_alloc while reading file becomes for the user.
[[noreturn]] void ThrowOutOfMemory(const std::string& file);
