// Intel HEX text made by the tests themselves, so no fixture file is needed.
#pragma once

#include "NxException.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Image = std::map<uint32_t, Bytes>; // address -> bytes stored there

inline std::string Record(uint8_t type, uint16_t addr, const uint8_t* d, size_t n)
{
    std::string s = StrFormat(":%02X%04X%02X", static_cast<unsigned>(n), addr, type);
    unsigned sum = static_cast<unsigned>(n) + (addr >> 8) + (addr & 0xFF) + type;
    for (size_t i = 0; i < n; ++i) {
        s += StrFormat("%02X", d[i]);
        sum += d[i];
    }
    return s + StrFormat("%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
}

// Intel HEX text of the image, records in the order of the map.
inline std::string HexText(const Image& img)
{
    std::string out;
    uint32_t upper = 0;
    for (const auto& [addr, bytes] : img) {
        for (size_t off = 0; off < bytes.size();) {
            const uint32_t a = addr + static_cast<uint32_t>(off);
            if ((a >> 16) != upper) {
                upper = a >> 16;
                const uint8_t ext[2] = {static_cast<uint8_t>(upper >> 8),
                                        static_cast<uint8_t>(upper)};
                out += Record(4, 0, ext, 2);
            }
            size_t n = std::min<size_t>({16, bytes.size() - off, 0x10000 - (a & 0xFFFF)});
            out += Record(0, static_cast<uint16_t>(a), bytes.data() + off, n);
            off += n;
        }
    }
    return out + ":00000001FF\n";
}

// A zero-terminated 8-bit name as firmware stores it.
inline Bytes Name8(const std::string& s)
{
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

inline Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

// Standard Base64 of in, with '=' fill, in one line.
inline std::string Base64Encode(const std::string& in)
{
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << 16;
        if (i + 1 < in.size())
            v |= static_cast<uint32_t>(static_cast<uint8_t>(in[i + 1])) << 8;
        if (i + 2 < in.size())
            v |= static_cast<uint8_t>(in[i + 2]);
        out += a[v >> 18 & 63];
        out += a[v >> 12 & 63];
        out += i + 1 < in.size() ? a[v >> 6 & 63] : '=';
        out += i + 2 < in.size() ? a[v & 63] : '=';
    }
    return out;
}
