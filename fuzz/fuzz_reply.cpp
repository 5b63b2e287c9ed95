// Device bytes into the reply path: a simulated bridge answers one request
// with the input, handed out in reads of a chosen size, and the command
// objects read their values from whatever was accepted. Also feeds the same
// bytes straight into Decode as a raw frame.
#include "Bridge/SimBridge.h"
#include "NxClock.h"
#include "NxCmdSerialCom.h"
#include "NxCmdSts.h"
#include "NxCmdVer.h"
#include "NxCom/NxCom.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

void CheckOutcome(bool ok, const NxCmd& cmd)
{
    // Success and the error flag exclude each other; every failure has a text.
    if (ok == cmd.IsError() || (!ok && cmd.GetErrMsg().empty()))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t chunk = data[0] & 0x0F; // 0: everything at once
    const uint8_t which = data[1] % 4;
    const bool raw = data[0] & 0x80;
    data += 2;
    size -= 2;

    if (raw) {
        NxCmd cmd(20, "DeviceStatus", 0, NX_ACCESS_READ, nullptr, 0);
        const size_t n = std::min(size, NX_FRAME_BUF - 1);
        std::memcpy(cmd.GetBuffer(), data, n);
        cmd.SetFrameLength(static_cast<uint16_t>(n));
        cmd.Decode();
        return 0;
    }

    VirtualClock clock;
    ScopedClock useClock(clock);
    Bridge::SimBridgeLib lib;
    Bridge::ScopedLib useLib(lib);
    auto dev = lib.Add("0001");
    auto peer = std::make_shared<Bridge::ScriptPeer>();
    dev->SetPeer(peer);
    dev->ReadChunk = chunk;
    NxCom com(0);
    if (com.Open() != 0)
        __builtin_trap();
    peer->Queue(std::vector<uint8_t>(data, data + size));

    switch (which) {
    case 0: {
        NxCmdSts sts;
        CheckOutcome(com.Execute(sts, 2500), sts);
        (void)sts.IsInApplication();
        break;
    }
    case 1: {
        NxCmdVer ver;
        ver.GetAppName();
        CheckOutcome(com.Execute(ver, 2500), ver);
        if (ver.Text().size() > NX_FRAME_BUF)
            __builtin_trap();
        break;
    }
    case 2: {
        NxCmdSerialCom sc;
        sc.SerialComGetFilterChange(1);
        CheckOutcome(com.Execute(sc, 2500), sc);
        (void)sc.RespDWord(0);
        (void)sc.RespWord(4);
        (void)sc.RespText(0);
        (void)sc.RespByte(300);
        break;
    }
    default: {
        NxCmd cmd(9, "GetAppName", 0, NX_ACCESS_READ, nullptr, 0);
        CheckOutcome(com.Execute(cmd, 2500), cmd);
        break;
    }
    }
    // A read never waits longer than its timeout, and the link never reads
    // without end: at most one timeout per exchange.
    if (clock.Timeouts().size() > 1)
        __builtin_trap();
    return 0;
}
