#include "Bridge/BridgeLib.h"

#include "Bridge/SerialBridge.h"

namespace Bridge {

static IBridgeLib* g_pLib = nullptr;

IBridgeLib& Lib()
{
    if (g_pLib)
        return *g_pLib;
    static SerialBridgeLib serial;
    return serial;
}

void SetLib(IBridgeLib* lib)
{
    g_pLib = lib;
}

} // namespace Bridge
