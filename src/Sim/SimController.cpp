#include "Sim/SimController.h"

#include <algorithm>

namespace Sim {

namespace {

constexpr uint8_t kCmdReset = 1, kCmdErase = 2, kCmdFlash = 3, kCmdStatus = 20;
constexpr uint8_t kCmdProbe = 129, kCmdPidParam = 138, kCmdCompParamSet = 139, kCmdRelay = 143;
constexpr size_t kPidRecordSize = 26;

std::vector<uint8_t> Text(const std::string& s)
{
    const size_t n = std::min<size_t>(s.size(), 254);
    std::vector<uint8_t> v(s.begin(), s.begin() + static_cast<long>(n));
    v.push_back(0);
    return v;
}

uint32_t U32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Text up to the first zero; false when the payload holds no zero.
bool TerminatedText(const std::vector<uint8_t>& p, std::string& out)
{
    auto z = std::find(p.begin(), p.end(), 0);
    if (z == p.end())
        return false;
    out.assign(p.begin(), z);
    return true;
}

} // namespace

SimComponent* SimController::Channel(uint8_t ch)
{
    auto it = Channels.find(ch);
    return it == Channels.end() ? nullptr : &it->second;
}

const SimComponent* SimController::Channel(uint8_t ch) const
{
    auto it = Channels.find(ch);
    return it == Channels.end() ? nullptr : &it->second;
}

void SimController::PowerUp()
{
    Bootloader = StayWithoutImage && !m_bImageValid;
    m_Parser.Reset();
}

size_t SimController::CountOf(int cmd, int sub) const
{
    return static_cast<size_t>(std::count_if(m_Log.begin(), m_Log.end(), [&](const SimLogEntry& e) {
        return e.Cmd == cmd && (sub < 0 || e.Sub == sub);
    }));
}

void SimController::OnHostWrite(Bridge::SimDevice& dev, const uint8_t* data, size_t n)
{
    std::vector<SimFrame> frames;
    m_Parser.Feed(data, n, frames);
    for (const SimFrame& f : frames) {
        if (!dev.IsPlugged())
            break;
        HandleFrame(dev, f);
    }
}

void SimController::OnFlush(Bridge::SimDevice& /*dev*/)
{
    // The host starts every exchange with a flush: a half-received frame
    // from before is as good as lost.
    m_Parser.Reset();
}

SimFault* SimController::MatchFault(const SimFrame& req, int sub)
{
    SimFault* hit = nullptr;
    for (SimFault& f : m_Faults) {
        if ((f.Cmd >= 0 && f.Cmd != req.Cmd) || (f.Channel >= 0 && f.Channel != req.Channel) ||
            (f.Access >= 0 && f.Access != req.Access) || (f.Sub >= 0 && f.Sub != sub))
            continue;
        const unsigned n = ++f.Seen;
        if (!hit && n >= f.From && (f.Count == 0 || n - f.From < f.Count))
            hit = &f;
    }
    return hit;
}

void SimController::HandleFrame(Bridge::SimDevice& dev, const SimFrame& req)
{
    SimLogEntry e{req.Cmd, req.Channel, req.Access, -1, req.Payload};
    if (req.Cmd == kCmdRelay && req.Payload.size() >= 2)
        e.Sub = req.Payload[1];
    m_Log.push_back(e);

    bool corrupt = false;
    bool dropReply = false;
    uint32_t lateMs = 0;
    if (SimFault* f = MatchFault(req, e.Sub)) {
        switch (f->Kind) {
        case SimFaultKind::NoReply:
            if (!f->Execute)
                return;
            dropReply = true;
            break;
        case SimFaultKind::BadChecksum:
            corrupt = true;
            break;
        case SimFaultKind::Reject:
            dev.Reply(SimEncodeFrame({0, req.Channel, req.Access, {f->ErrorByte}}));
            return;
        case SimFaultKind::Garbage:
            dev.Reply(f->Garbage);
            return;
        case SimFaultKind::Unplug:
            dev.Unplug();
            return;
        case SimFaultKind::Late:
            lateMs = f->DelayMs ? f->DelayMs : dev.HostReadTimeout + 100;
            break;
        }
    }

    bool silent = false;
    SimAnswer a = Execute(req, silent);
    if (silent || dropReply)
        return;
    SimFrame reply{req.Cmd, req.Channel, req.Access, std::move(a.Value)};
    if (a.Rejected) {
        reply.Cmd = 0;
        reply.Payload = {a.Error};
    }
    if (lateMs)
        dev.ReplyLater(lateMs, SimEncodeFrame(reply, corrupt));
    else
        dev.Reply(SimEncodeFrame(reply, corrupt));
}

SimAnswer SimController::Execute(const SimFrame& req, bool& silent)
{
    if (req.Cmd == kCmdProbe) {
        // Only a present channel answers; there is nothing to reject.
        silent = req.Access != kAccessRead || !Channel(req.Channel);
        return SimAnswer::Ok();
    }
    if (req.Cmd == kCmdRelay)
        return Relay(req, silent);
    return ControllerCommand(req);
}

SimAnswer SimController::Relay(const SimFrame& req, bool& silent)
{
    SimComponent* c = Channel(req.Channel);
    if (!c || c->Silent) {
        silent = true;
        return SimAnswer::Ok();
    }
    const auto& p = req.Payload;
    if (req.Access != kAccessWrite)
        return SimAnswer::Reject(kSimErrUnknownCommand);
    if (p.size() < 2 || p[0] != p.size() - 2)
        return SimAnswer::Reject(kSimErrBadRequest);
    const uint8_t sub = p[1];
    if (sub == 0x07 && c->SilentStatus > 0) {
        --c->SilentStatus;
        silent = true;
        return SimAnswer::Ok();
    }
    SimAnswer a = c->Handle(sub, std::vector<uint8_t>(p.begin() + 2, p.end()));
    if (a.Rejected)
        return a;
    // Reply layout: value length and sub-command echo, then the value.
    std::vector<uint8_t> v;
    v.push_back(static_cast<uint8_t>(std::min<size_t>(a.Value.size(), 253)));
    v.push_back(sub);
    v.insert(v.end(), a.Value.begin(), a.Value.begin() + v[0]);
    return SimAnswer::Ok(std::move(v));
}

SimAnswer SimController::ControllerCommand(const SimFrame& req)
{
    const auto& p = req.Payload;
    const bool read = req.Access == kAccessRead, write = req.Access == kAccessWrite;
    const bool tableRecord = req.Cmd == kCmdPidParam || req.Cmd == kCmdCompParamSet;
    const bool isRead = read && ((req.Cmd >= 4 && req.Cmd <= 14) || req.Cmd == kCmdStatus);
    const bool isWrite =
        write && (req.Cmd <= kCmdFlash || (req.Cmd >= 12 && req.Cmd <= 14) || tableRecord);
    if (req.Cmd == 0 || (!isRead && !isWrite))
        return SimAnswer::Reject(kSimErrUnknownCommand);
    // Table records carry their own channel; everything else is the controller's.
    if (!tableRecord && req.Channel != 0)
        return SimAnswer::Reject(kSimErrBadRequest);
    if (isRead && !p.empty())
        return SimAnswer::Reject(kSimErrBadRequest);

    if (isRead) {
        if (req.Cmd == kCmdStatus)
            return SimAnswer::Ok({static_cast<uint8_t>(Bootloader ? 0x80 : 0x00)});
        if (req.Cmd >= 9 && Bootloader)
            return SimAnswer::Reject(kSimErrWrongState);
        const std::string* texts[] = {&HwName,  &HwVersion,  &BlName,     &BlVersion,
                                      &BlDate,  nullptr,     &AppVersion, &AppDate,
                                      &TblName, &TblVersion, &TblDate};
        if (req.Cmd == 9)
            return SimAnswer::Ok(Text(CurrentAppName()));
        return SimAnswer::Ok(Text(*texts[req.Cmd - 4]));
    }

    switch (req.Cmd) {
    case kCmdReset:
        if (p.size() != 1 || (p[0] != 1 && p[0] != 2))
            return SimAnswer::Reject(kSimErrBadRequest);
        // Acknowledged first, then the restart; a device may refuse to leave
        // its bootloader without a valid image.
        if (!IgnoreResets) {
            if (p[0] == 2)
                Bootloader = true;
            else if (!(StayWithoutImage && !m_bImageValid))
                Bootloader = false;
        }
        return SimAnswer::Ok();
    case kCmdErase:
        if (p.size() != 1 || p[0] != 0x04)
            return SimAnswer::Reject(kSimErrBadRequest);
        if (!Bootloader)
            return SimAnswer::Reject(kSimErrWrongState);
        m_Flash.clear();
        m_PageSum = 0;
        m_bImageValid = false;
        ++m_nErase;
        return SimAnswer::Ok();
    case kCmdFlash:
        if (p.size() < 4)
            return SimAnswer::Reject(kSimErrBadRequest);
        if (!Bootloader)
            return SimAnswer::Reject(kSimErrWrongState);
        return FlashPage(p);
    default:
        break;
    }

    // Parameter tables: only the application takes them.
    if (Bootloader)
        return SimAnswer::Reject(kSimErrWrongState);
    if (req.Cmd >= 12 && req.Cmd <= 14) {
        std::string text;
        if (!TerminatedText(p, text))
            return SimAnswer::Reject(kSimErrBadRequest);
        (req.Cmd == 12 ? TblName : req.Cmd == 13 ? TblVersion : TblDate) = text;
        return SimAnswer::Ok();
    }
    if (req.Cmd == kCmdPidParam && p.size() != kPidRecordSize)
        return SimAnswer::Reject(kSimErrBadRequest);
    if (req.Cmd == kCmdCompParamSet) {
        // Entry value, identifier, name, its zero, set number: the name's zero
        // is the last byte but one.
        auto z = std::find(p.begin() + std::min<long>(2, static_cast<long>(p.size())), p.end(), 0);
        if (p.size() < 4 || z == p.end() || z + 2 != p.end())
            return SimAnswer::Reject(kSimErrBadRequest);
    }
    m_Tables.push_back({req.Cmd, req.Channel, p});
    return SimAnswer::Ok();
}

SimAnswer SimController::FlashPage(const std::vector<uint8_t>& p)
{
    const uint32_t address = U32(p.data());
    if (address == kChecksumAddress) {
        if (p.size() < 8)
            return SimAnswer::Reject(kSimErrBadRequest);
        const uint32_t sum = U32(p.data() + 4);
        if (sum != FlashSum())
            return SimAnswer::Reject(kSimErrChecksum);
        m_LastChecksum = sum;
        m_bImageValid = true;
        return SimAnswer::Ok();
    }
    for (size_t i = 4; i < p.size(); ++i) {
        const uint32_t at = address + static_cast<uint32_t>(i - 4);
        if (KeepFlash)
            m_Flash[at] = p[i];
        else
            m_PageSum += static_cast<uint32_t>(p[i]) << ((at & 1) ? 8 : 0);
    }
    ++m_nPageWrites;
    return SimAnswer::Ok();
}

uint32_t SimController::FlashSum() const
{
    uint32_t sum = m_PageSum;
    for (const auto& [addr, b] : m_Flash)
        sum += static_cast<uint32_t>(b) << ((addr & 1) ? 8 : 0);
    return sum;
}

std::vector<uint8_t> SimController::FlashBytes(uint32_t address, size_t n, uint8_t fill) const
{
    std::vector<uint8_t> v(n, fill);
    for (size_t i = 0; i < n; ++i) {
        auto it = m_Flash.find(address + static_cast<uint32_t>(i));
        if (it != m_Flash.end())
            v[i] = it->second;
    }
    return v;
}

std::string SimController::CurrentAppName() const
{
    auto it = m_Flash.find(kAppNameAddress);
    if (it == m_Flash.end())
        return AppName;
    std::string s;
    for (uint32_t a = kAppNameAddress; s.size() < 254; ++a) {
        auto b = m_Flash.find(a);
        if (b == m_Flash.end() || b->second == 0)
            break;
        s.push_back(static_cast<char>(b->second));
    }
    return s;
}

} // namespace Sim
