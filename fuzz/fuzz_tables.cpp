// File bytes into the parameter-table reader.
#include "Download/NxCmdTblLoader.h"
#include "FuzzFile.h"
#include "NxException.h"
#include "NxUi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QuietSink quiet;
    SetNxMessages(&quiet);
    const std::string& path = FuzzFile(data, size, ".xml");
    // The check run before the first command agrees with the reader: it
    // refuses what the reader refuses, and anything else only with a text.
    NxCmdTblData checked;
    try {
        if (ReadTableFile(checked, path.c_str(), "The parameter tables in f", false) &&
            checked.m_szTblName.size() > NxTblLoader::kMaxTextLength)
            __builtin_trap();
    } catch (const NxException& e) {
        if (e.Message().empty())
            __builtin_trap();
    }
    NxCmdTblData d;
    if (!LoadTblData(d, path.c_str())) {
        if (!checked.m_szTblName.empty() || !checked.m_PidParams.empty())
            __builtin_trap(); // the check took a file the reader refuses
        if (!d.m_PidParams.empty() || !d.m_CompParamSets.empty() || !d.m_szTblName.empty())
            __builtin_trap(); // a refused file changes nothing
        return 0;
    }
    for (const auto& c : d.m_CompParamSets) {
        if (c.NameLength() > NxCmdTblData::_CompParamSet::kMaxName)
            __builtin_trap();
        (void)c.Name();
        (void)c.SetNr();
    }
    return 0;
}
