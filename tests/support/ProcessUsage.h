// What this process holds, for tests that check that nothing grows over many
// runs: open descriptors and resident memory.
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <unistd.h>

// A sanitizer keeps freed memory in quarantine: resident memory says little there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

inline size_t OpenDescriptors()
{
    namespace fs = std::filesystem;
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

inline long ResidentKiB()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}
