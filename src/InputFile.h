// Opening a file the user chose: regular files only, without blocking in the
// open (a FIFO without a writer would hang there), with a size bound checked
// on the opened file, so the file checked is the file read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The most any download input may hold: a .hex or .xml file, and a .dat once
// unpacked. A controller's whole address space in Intel HEX is about 45 MB.
constexpr uint64_t kMaxInputBytes = 64ull << 20;
constexpr const char* kMaxInputText = "64 MiB";

enum class InputFileError
{
    None,
    OpenFailed, // missing, unreadable; errno is kept
    NotRegular, // FIFO, device, directory, socket
    TooLarge,   // more than the bound
};

// Opens path for reading as a regular file of at most maxBytes. Returns the
// descriptor in blocking mode, or -1 with err set (errno kept for OpenFailed).
int OpenInputFile(const char* path, uint64_t maxBytes, InputFileError& err,
                  uint64_t* size = nullptr);
// As OpenInputFile, as a stdio stream opened "rb".
FILE* FOpenInputFile(const char* path, uint64_t maxBytes, InputFileError& err,
                     uint64_t* size = nullptr);

// "<path> is not a regular file" or "<path> is larger than 64 MiB, the most an
// input file may hold"; "" for None and OpenFailed, whose readers say it their way.
std::string InputFileErrorText(const std::string& path, InputFileError err);
