// Small download files made by the tests: Intel HEX images that the demo
// controller and its components accept, and .dat files packing them.
#pragma once

#include "Sim/SimController.h"
#include "support/HexText.h"
#include "support/TempFolder.h"

#include <cstdint>
#include <string>
#include <vector>

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
    return HexText({{Sim::kAppNameAddress, Named(appName, 256)}});
}

// One 128-byte block for a component model stored at its identity address.
inline std::string ComponentHex(const std::string& model = "GasProbe", uint32_t idAddr = 0x6FD0)
{
    const uint32_t block = idAddr & ~0x7Fu;
    std::vector<uint8_t> bytes(128, 0x11);
    std::vector<uint8_t> name = Named(model, model.size() + 1);
    std::copy(name.begin(), name.end(), bytes.begin() + (idAddr - block));
    return HexText({{block, bytes}});
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
    return "<NxDownloadFile>\n  <HexFile>" + Base64Encode(hex) + "</HexFile>\n" + TableXml() +
           "</NxDownloadFile>\n";
}
