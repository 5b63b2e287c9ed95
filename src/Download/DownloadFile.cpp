#include "Download/DownloadFile.h"

#include "InputFile.h"
#include "IntelHex.h"
#include "NxException.h"
#include "Xmlutils.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <new>
#include <unistd.h>

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

EDownloadKind KnownDownloadKind(const std::string& file)
{
    const EDownloadKind kind = DownloadFileKind(file);
    if (kind == kKindNone)
        throw NxException("Invalid download file");
    return kind;
}

std::unique_ptr<NxProgrammer> LoadHexFile(int channel, const std::string& file)
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

void ThrowOutOfMemory(const std::string& file)
{
    ThrowNx("Out of memory while reading %s: the file is too large to process", file.c_str());
}

namespace {

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

bool GzipCompressed(const std::string& file)
{
    unsigned char magic[2] = {};
    bool gzip = false;
    if (FILE* f = std::fopen(file.c_str(), "rb")) {
        gzip = std::fread(magic, 1, 2, f) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
        std::fclose(f);
    }
    return gzip;
}

// Both parts of a .dat, read and checked before the first command: a bad
// table part must not be found after the firmware was flashed.
void ReadDat(const std::string& file, int channel, DownloadParts& parts)
{
    parts.Unpacked = std::make_unique<UnpackedDat>(file);
    const UnpackedDat& dat = *parts.Unpacked;
    parts.Firmware = LoadHexFile(channel, dat.HexPath());
    parts.Tables = ReadTables(dat.XmlPath(), "The parameter tables inside " +
                                                 std::filesystem::path(file).filename().string());
    parts.Firmware->SetTablesHardware(parts.Tables->m_szTblName);

    parts.Compressed = GzipCompressed(file);
    parts.FileBytes = FileSize(file);
    parts.UnpackedBytes = FileSize(dat.XmlPath());
    parts.HexBytes = FileSize(dat.HexPath());
}

} // namespace

DownloadParts ReadDownloadFile(const std::string& file, int channel)
{
    DownloadParts parts;
    parts.Kind = KnownDownloadKind(file);
    CheckInputFile(file, parts.Kind);
    try {
        switch (parts.Kind) {
        case kKindHex:
            parts.Firmware = LoadHexFile(channel, file);
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
