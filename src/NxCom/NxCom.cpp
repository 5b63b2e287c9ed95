#include "NxCom/NxCom.h"

#include "Appcfg.h"
#include "NxClock.h"

NxCom::~NxCom()
{
    if (IsOpen())
        Close();
}

NxStatus NxCom::Open(Bridge::OpenProblem* problem)
{
    uint32_t count = 0;
    GetNumDevices(count);
    if (count == 0)
        return NX_NO_DEVICE;
    NxStatus st = CP2102Com::Open(problem);
    if (st != 0)
        return st;
    if ((st = SetBaudRate(kBaudRate)) != 0 || (st = SetTimeouts(250, 250)) != 0 ||
        (st = Flush()) != 0) {
        Close();
        return st;
    }
    if (CAppCfg::Instance().ComLog())
        OpenTrace(ComLogPath(GetDevIndex()));
    return 0;
}

std::string NxCom::ComLogPath(int devIndex)
{
    const CAppCfg& cfg = CAppCfg::Instance();
    const std::string dir = cfg.ComLogDir().empty() ? WorkingDirectory() + "/.." : cfg.ComLogDir();
    return dir + "/NxComLog_" + std::to_string(devIndex) + ".txt";
}

NxStatus NxCom::Send(NxCmd& cmd)
{
    cmd.Encode();
    const NxStatus st = Write(cmd.GetBuffer(), cmd.GetFrameLength());
    if (st != 0)
        cmd.SetError(StatusText(st));
    return st;
}

NxStatus NxCom::Receive(NxCmd& cmd, std::optional<uint64_t> deadlineMs)
{
    uint8_t* buf = cmd.GetBuffer();
    size_t want = 5, total = 0, extra = 0;
    bool pending = false;
    for (;;) {
        // Never let a hostile length or run of pairs carry us past the buffer
        // (the decoded frame needs one byte more for its terminating zero).
        if (total + want > NX_FRAME_BUF - 1) {
            cmd.SetError("Frame format error");
            return NX_WRONG_STATE;
        }
        if (deadlineMs) {
            // What is left of the exchange's time; 0 takes only what has arrived.
            const uint64_t now = NxClock().NowMs();
            SetTimeouts(now < *deadlineMs ? static_cast<uint32_t>(*deadlineMs - now) : 0, 250);
        }
        const NxStatus st = Read(buf + total, static_cast<uint32_t>(want));
        if (st != 0) {
            cmd.SetError(StatusText(st));
            return st;
        }
        const size_t begin = total;
        total += want;
        size_t i = begin;
        if (begin == 0) {
            if (buf[0] != NX_SOF) {
                cmd.SetError("SOF missing");
                return NX_WRONG_STATE;
            }
            i = 1;
        }
        for (; i < total; ++i) {
            if (pending) {
                pending = false;
                if (buf[i] != NX_SOF) {
                    cmd.SetError("Second SOF missing");
                    return NX_WRONG_STATE;
                }
            } else if (buf[i] == NX_SOF) {
                if (i + 1 == total) {
                    pending = true;
                    ++extra;
                } else if (buf[i + 1] == NX_SOF) {
                    ++extra;
                    ++i;
                }
                // F0 followed by anything else is left for Decode to reject.
            }
        }
        const size_t frame = static_cast<size_t>(buf[1]) + 7 + extra;
        if (frame <= total) {
            cmd.SetFrameLength(static_cast<uint16_t>(total));
            cmd.Decode();
            return 0;
        }
        want = frame - total;
    }
}

bool NxCom::Execute(NxCmd& cmd, uint32_t timeoutMs)
{
    CEasyMutex lock(m_ExchangeLock);
    Flush();
    SetTimeouts(timeoutMs, 250);
    TraceLine("--- SEND: CmdNr=%d; CmdName='%s'; Timeout=%d\n", cmd.GetCmdNr(),
              cmd.GetName().c_str(), static_cast<int>(timeoutMs));
    const uint64_t sentAt = NxClock().NowMs();
    NxStatus st = Send(cmd);
    if (st != 0 || cmd.IsError())
        return Failed(st);
    if ((st = ReceiveOwnReply(cmd, sentAt + timeoutMs)) != 0)
        return Failed(st);
    m_bPortLost = false;
    if (cmd.IsError()) {
        TraceLine("--- RESP: ERROR1: Msg=%s\n", cmd.GetErrMsg().c_str());
        return false;
    }
    if (cmd.IsResponseValid()) {
        TraceLine("--- RESP: OK: CmdNr=%d\n", cmd.GetCmdNr());
        return true;
    }
    TraceLine("--- RESP: ERROR2: Msg=%s\n", cmd.GetErrMsg().c_str());
    return false;
}

// A reply that arrives after its request timed out lands in a later exchange
// (the flush came before it): read past it to this request's own reply.
NxStatus NxCom::ReceiveOwnReply(NxCmd& cmd, uint64_t deadlineMs)
{
    NxStatus st = Receive(cmd);
    for (int dropped = 0; st == 0 && cmd.IsStaleReply();) {
        TraceLine("--- DROP: stale reply CmdNr=%d\n", cmd.GetCmdNr());
        if (++dropped == kMaxStaleReplies) {
            cmd.SetError(StatusText(Bridge::kReadTimedOut));
            return Bridge::kReadTimedOut;
        }
        st = Receive(cmd, deadlineMs);
    }
    return st;
}
