// Shared pieces of the fuzz targets: a per-process scratch file for readers
// that take a path, and a sink that keeps the core's reports quiet.
#pragma once

#include "NxUi.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

// Writes the input to a file in the temporary folder (TMPDIR as it was at
// the first call: a target may point TMPDIR elsewhere afterwards to watch
// for the core's own leftovers), named after the process and suffix.
inline const std::string& FuzzFile(const uint8_t* data, size_t size, const char* suffix)
{
    static const std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp");
    }();
    static std::string path;
    if (path.empty())
        std::atexit([] { std::remove(path.c_str()); });
    path = dir + "/nxfuzz_" + std::to_string(::getpid()) + suffix;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort(); // the fuzzer cannot work without its scratch file
    return path;
}

// The core's reports (XML errors, device list) would otherwise go to stderr
// for every input.
class QuietSink : public INxMessageSink
{
public:
    void ShowMessage(const std::string&, const std::string&, Icon) override {}
};
