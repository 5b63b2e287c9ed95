#include "zlibutils.h"

#include "InputFile.h"
#include "LargeBuffer.h"

#include <zlib.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

constexpr unsigned kChunk = 8000;

struct GzCloser
{
    void operator()(gzFile f) const { gzclose(f); }
};

} // namespace

long ReadGzipFile(const char* path, TScopedMallocBuffer<char>& buffer)
{
    buffer.reset();
    if (!path)
        return kGzipOpenFailed;
    // The bound applies to what the file unpacks to, below.
    InputFileError openErr;
    const int fd = OpenInputFile(path, UINT64_MAX, openErr);
    if (fd < 0)
        return openErr == InputFileError::NotRegular ? kGzipNotRegular : kGzipOpenFailed;
    gzFile raw = gzdopen(fd, "rb");
    if (!raw) {
        ::close(fd);
        return kGzipOpenFailed;
    }
    std::unique_ptr<gzFile_s, GzCloser> file(raw);

    // Capacity grows by doubling; one chunk plus the closing zero always fits.
    size_t cap = kChunk + 1;
    TScopedMallocBuffer<char> buf(static_cast<char*>(std::malloc(cap)));
    if (!buf)
        return kGzipTooLarge;
    size_t total = 0;
    for (;;) {
        if (cap - total < kChunk + 1) {
            // Never more than the bound and one chunk: that is enough to tell.
            const size_t grown = std::min(std::max(cap * 2, total + kChunk + 1),
                                          static_cast<size_t>(kGzipMaxBytes) + kChunk + 1);
            char* p = static_cast<char*>(std::realloc(buf.get(), grown));
            if (!p)
                return kGzipTooLarge;
            buf.release();
            buf.reset(p);
            cap = grown;
            NxAdviseLarge(buf.get() + total, cap - total);
        }
        const int n = gzread(file.get(), buf.get() + total, kChunk);
        if (n < 0)
            return kGzipReadError;
        total += static_cast<size_t>(n);
        // Stops within one chunk of the bound, whatever the file claims.
        if (total > static_cast<size_t>(kGzipMaxBytes))
            return kGzipTooLarge;
        if (static_cast<unsigned>(n) < kChunk)
            break;
    }
    // A short read also ends a truncated stream; zlib keeps that as an error.
    int err = Z_OK;
    gzerror(file.get(), &err);
    if (err != Z_OK)
        return kGzipReadError;
    if (gzclose(file.release()) != Z_OK)
        return kGzipReadError;

    buf.get()[total] = 0;
    // Doubling may have left up to twice the data reserved; give it back.
    if (cap > total + 1) {
        if (char* p = static_cast<char*>(std::realloc(buf.get(), total + 1))) {
            buf.release();
            buf.reset(p);
        }
    }
    buffer = std::move(buf);
    return static_cast<long>(total);
}

const char* GzipErrorText(long code)
{
    switch (code) {
    case kGzipOpenFailed:
        return "Cannot open the download file";
    case kGzipTooLarge:
        return "The download file unpacks to more than 64 MiB";
    case kGzipReadError:
        return "The download file is damaged: its compressed data cannot be read";
    case kGzipNotRegular:
        return "The download file is not a regular file";
    default:
        return "Unknown error while unpacking the download file";
    }
}
