// Small download files made by the tests: Intel HEX images that the demo
// controller and its components accept, and .dat files packing them.
#pragma once

#include "Sim/SimController.h"

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using Segments = std::map<uint32_t, std::vector<uint8_t>>;

inline std::string HexRecord(uint8_t type, uint16_t addr, const std::vector<uint8_t>& data)
{
    unsigned sum = static_cast<unsigned>(data.size()) + (addr >> 8) + (addr & 0xFF) + type;
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", unsigned(data.size()), unsigned(addr),
                  unsigned(type));
    std::string line = buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", unsigned(b));
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf;
}

// Data records of 16 bytes with extended linear address records as needed.
inline std::string MakeHex(const Segments& segs)
{
    std::string text;
    int upper = -1;
    for (const auto& [start, bytes] : segs) {
        for (size_t i = 0; i < bytes.size(); i += 16) {
            const uint32_t addr = start + static_cast<uint32_t>(i);
            if (int(addr >> 16) != upper) {
                upper = int(addr >> 16);
                text += HexRecord(4, 0, {uint8_t(upper >> 8), uint8_t(upper)});
            }
            const size_t n = std::min<size_t>(16, bytes.size() - i);
            text += HexRecord(0, uint16_t(addr), {bytes.begin() + i, bytes.begin() + i + n});
        }
    }
    return text + ":00000001FF\r\n";
}

inline std::vector<uint8_t> Named(const std::string& name, size_t size)
{
    std::vector<uint8_t> v(size, 0x5A);
    std::copy(name.begin(), name.end(), v.begin());
    v[name.size()] = 0;
    return v;
}

// Two 128-byte blocks for the demo controller (its application name at the
// identity address).
inline std::string ControllerHex(const std::string& appName = "IncuControlApp")
{
    return MakeHex({{Sim::kAppNameAddress, Named(appName, 256)}});
}

// One 128-byte block for a component model stored at its identity address.
inline std::string ComponentHex(const std::string& model = "GasProbe", uint32_t idAddr = 0x6FD0)
{
    const uint32_t block = idAddr & ~0x7Fu;
    std::vector<uint8_t> bytes(128, 0x11);
    std::vector<uint8_t> name = Named(model, model.size() + 1);
    std::copy(name.begin(), name.end(), bytes.begin() + (idAddr - block));
    return MakeHex({{block, bytes}});
}

inline std::string Base64(const std::string& in)
{
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += {abc[v >> 18], abc[(v >> 12) & 63], abc[(v >> 6) & 63], abc[v & 63]};
    }
    if (i + 1 == in.size()) {
        const unsigned v = uint8_t(in[i]) << 16;
        out += {abc[v >> 18], abc[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const unsigned v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += {abc[v >> 18], abc[(v >> 12) & 63], abc[(v >> 6) & 63], '='};
    }
    return out;
}

// A parameter-table document for the demo controller.
inline std::string TableXml()
{
    return "<ParameterTables>\n  <Name>IncuControl</Name>\n  <Date>2024-01-15</Date>\n"
           "  <Version>18</Version>\n  <Table_PID_Parameter channel=\"1\">\n"
           "    <Parameterset value=\"7\">\n      <param name=\"sampling\">250</param>\n"
           "    </Parameterset>\n  </Table_PID_Parameter>\n</ParameterTables>\n";
}

// A download file's document: the firmware and the tables side by side under
// one document element, without a declaration, where both readers look.
inline std::string DatXml(const std::string& hex)
{
    return "<NxDownloadFile>\n  <HexFile>" + Base64(hex) + "</HexFile>\n" + TableXml() +
           "</NxDownloadFile>\n";
}

inline void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline void WriteGzip(const std::string& path, const std::string& text)
{
    gzFile f = gzopen(path.c_str(), "wb");
    gzwrite(f, text.data(), static_cast<unsigned>(text.size()));
    gzclose(f);
}
