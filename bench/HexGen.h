// Intel HEX files for the benchmarks, written fast enough that a 16 MiB image
// costs well under a second: 16-byte data records of reproducible bytes, with
// a linear address record whenever the upper 16 bits change.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace BenchHex {

// Address -> bytes to store there instead of random data (names, markers).
using Overlay = std::map<uint32_t, std::string>;

inline void PutByte(char*& p, unsigned b)
{
    static const char* hex = "0123456789ABCDEF";
    *p++ = hex[(b >> 4) & 15];
    *p++ = hex[b & 15];
}

// A run of image bytes.
struct Range
{
    uint32_t Base;
    uint32_t Size;
};

// Pseudo-random but reproducible content: the byte stored at addr.
inline uint8_t ByteAt(uint32_t addr)
{
    return static_cast<uint8_t>((addr * 2654435761u) >> 24);
}

// Writes the ranges in 16-byte records (file order shuffled when asked) and
// the end-of-file record. Bytes of overlay replace the generated ones.
// Returns false when the file cannot be written.
inline bool WriteImage(const std::string& path, const std::vector<Range>& ranges, bool shuffled,
                       const Overlay& overlay = {})
{
    struct Rec
    {
        uint32_t Addr;
        uint32_t Len;
    };
    std::vector<Rec> recs;
    for (const Range& r : ranges)
        for (uint32_t a = 0; a < r.Size; a += 16)
            recs.push_back({r.Base + a, std::min<uint32_t>(16, r.Size - a)});
    if (shuffled)
        std::shuffle(recs.begin(), recs.end(), std::mt19937(42));

    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::string out;
    out.reserve(1 << 20);
    uint32_t upper = UINT32_MAX;
    for (const Rec& r : recs) {
        const uint32_t a = r.Addr;
        uint8_t data[16];
        for (uint32_t i = 0; i < r.Len; ++i)
            data[i] = ByteAt(a + i);
        for (const auto& [at, text] : overlay)
            for (size_t i = 0; i < text.size(); ++i)
                if (at + i >= a && at + i < a + r.Len)
                    data[at + i - a] = static_cast<uint8_t>(text[i]);

        char line[64];
        char* p = line;
        if ((a >> 16) != upper) {
            upper = a >> 16;
            const unsigned sum = 2 + 4 + (upper >> 8) + (upper & 0xFF);
            p += std::snprintf(p, 32, ":02000004%04X", upper);
            PutByte(p, 0x100 - (sum & 0xFF));
            *p++ = '\n';
        }
        unsigned sum = r.Len + ((a >> 8) & 0xFF) + (a & 0xFF);
        *p++ = ':';
        PutByte(p, r.Len);
        PutByte(p, a >> 8);
        PutByte(p, a);
        PutByte(p, 0);
        for (uint32_t i = 0; i < r.Len; ++i) {
            sum += data[i];
            PutByte(p, data[i]);
        }
        PutByte(p, 0x100 - (sum & 0xFF));
        *p++ = '\n';
        out.append(line, p);
        if (out.size() > (1u << 20) - 128) {
            std::fwrite(out.data(), 1, out.size(), f);
            out.clear();
        }
    }
    out += ":00000001FF\n";
    std::fwrite(out.data(), 1, out.size(), f);
    return std::fclose(f) == 0;
}

} // namespace BenchHex
