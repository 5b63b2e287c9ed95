// Reading packed download files through zlib's gzip reader. A file without a
// gzip header passes through unchanged.
#pragma once

#include "Utils.h"

#include <cstdint>

// More than any firmware and table document needs; a file that unpacks to
// more is refused, so a small crafted file cannot exhaust memory.
constexpr long kGzipMaxBytes = 64L << 20;

enum : long
{
    kGzipOpenFailed = -1, // the file cannot be opened; no buffer
    kGzipTooLarge = -2,   // unpacks to more than kGzipMaxBytes
    kGzipReadError = -3,  // the compressed stream is damaged or cannot be read
    kGzipNotRegular = -4, // a FIFO, device or folder: nothing is read
};

// Reads the whole file into a heap buffer with one zero byte behind the data.
// Returns the number of bytes (without the zero), or a negative code above, in
// which case buffer is null.
long ReadGzipFile(const char* path, TScopedMallocBuffer<char>& buffer);

// Message for a negative code of ReadGzipFile.
const char* GzipErrorText(long code);
