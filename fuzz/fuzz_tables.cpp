// File bytes into the parameter-table reader.
#include "Download/NxCmdTblLoader.h"
#include "FuzzFile.h"
#include "NxUi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QuietSink quiet;
    SetNxMessages(&quiet);
    const std::string& path = FuzzFile(data, size, ".xml");
    NxCmdTblData d;
    if (!LoadTblData(d, path.c_str())) {
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
