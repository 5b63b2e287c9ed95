// Request payloads of every command class, byte for byte, the typed access
// to replies, and the dry run's guard judged by the simulated device.
#include "NxCmdDL.h"
#include "NxCmdSerialCom.h"
#include "NxCmdSts.h"
#include "NxCmdTable.h"
#include "NxCmdTbl.h"
#include "NxCmdVer.h"
#include "NxException.h"
#include "ProgBlock.h"
#include "support/SimRig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <type_traits>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes PayloadOf(const NxCmd& cmd)
{
    return Bytes(cmd.Payload(), cmd.Payload() + cmd.PayloadLength());
}

// Header and payload of a built request, checked in one place.
void ExpectRequest(const NxCmd& cmd, const char* name, uint8_t nr, uint8_t ch, uint8_t access,
                   const Bytes& payload)
{
    SCOPED_TRACE(name);
    EXPECT_EQ(cmd.GetName(), name);
    EXPECT_EQ(cmd.GetCmdNr(), nr);
    EXPECT_EQ(cmd.GetBuffer()[3], ch);
    EXPECT_EQ(cmd.GetBuffer()[4], access);
    EXPECT_EQ(PayloadOf(cmd), payload);
    EXPECT_FALSE(cmd.IsError());
}

// Puts a stuffed reply frame into the command's buffer and decodes it, as
// Receive would.
void FeedReply(NxCmd& cmd, uint8_t nr, const Bytes& payload)
{
    Bytes logical = {static_cast<uint8_t>(payload.size()), nr, 0, 'W'};
    logical.insert(logical.end(), payload.begin(), payload.end());
    uint16_t sum = 0;
    for (size_t i = 1; i < logical.size(); ++i)
        sum = static_cast<uint16_t>(sum + logical[i]);
    logical.push_back(static_cast<uint8_t>(sum));
    logical.push_back(static_cast<uint8_t>(sum >> 8));
    Bytes raw = {0xF0};
    for (uint8_t b : logical) {
        raw.push_back(b);
        if (b == 0xF0)
            raw.push_back(0xF0);
    }
    std::memcpy(cmd.GetBuffer(), raw.data(), raw.size());
    cmd.SetFrameLength(static_cast<uint16_t>(raw.size()));
    cmd.Decode();
    ASSERT_FALSE(cmd.IsError()) << cmd.GetErrMsg();
}

constexpr uint8_t R = NX_ACCESS_READ;
constexpr uint8_t W = NX_ACCESS_WRITE;

} // namespace

TEST(CmdDL, FixedCommands)
{
    NxCmdDL cmd;
    cmd.ResetToBootloader();
    ExpectRequest(cmd, "ResetToBootloader", 1, 0, W, {0x02});
    cmd.ResetToApplication();
    ExpectRequest(cmd, "ResetToApplication", 1, 0, W, {0x01});
    cmd.ProgEraseFlash();
    ExpectRequest(cmd, "ProgEraseFlash", 2, 0, W, {0x04});
}

TEST(CmdDL, FlashPageSendsBlockBufferUnchanged)
{
    ProgBlock block(0x00C08000, 128);
    for (uint32_t i = 0; i < 128; ++i)
        block.Data()[i] = static_cast<uint8_t>(i * 7);
    NxCmdDL cmd;
    cmd.ProgFlashPage(block);
    Bytes want = {0x00, 0x80, 0xC0, 0x00}; // address, little-endian
    want.insert(want.end(), block.Data(), block.Data() + 128);
    ExpectRequest(cmd, "ProgFlashPage", 3, 0, W, want);
    EXPECT_EQ(cmd.GetFrameLength(), 132 + 7);

    // 252 data bytes would need a length byte of 256: refused, not cut.
    ProgBlock big(0, 256);
    EXPECT_THROW(cmd.ProgFlashPage(big), NxException);
}

TEST(CmdDL, CheckSumPage)
{
    NxCmdDL cmd;
    cmd.ProgCheckSum(0x0001A2B3);
    Bytes want = {0x80, 0xFF, 0xC1, 0x00,  // address 0xC1FF80
                  0xB3, 0xA2, 0x01, 0x00}; // the sum
    want.resize(132, 0);
    ExpectRequest(cmd, "ProgCheckSum", 3, 0, W, want);
}

TEST(CmdVer, ElevenReadsAndTheirText)
{
    NxCmdVer cmd;
    struct Row
    {
        void (NxCmdVer::*build)();
        const char* name;
        uint8_t nr;
    };
    const Row rows[] = {
        {&NxCmdVer::GetHwName, "GetHwName", 4},    {&NxCmdVer::GetHwVer, "GetHwVer", 5},
        {&NxCmdVer::GetBlName, "GetBlName", 6},    {&NxCmdVer::GetBlVer, "GetBlVer", 7},
        {&NxCmdVer::GetBlDate, "GetBlDate", 8},    {&NxCmdVer::GetAppName, "GetAppName", 9},
        {&NxCmdVer::GetAppVer, "GetAppVer", 10},   {&NxCmdVer::GetAppDate, "GetAppDate", 11},
        {&NxCmdVer::GetTblName, "GetTblName", 12}, {&NxCmdVer::GetTblVer, "GetTblVer", 13},
        {&NxCmdVer::GetTblDate, "GetTblDate", 14},
    };
    for (const Row& r : rows) {
        (cmd.*r.build)();
        ExpectRequest(cmd, r.name, r.nr, 0, R, {});
        EXPECT_EQ(cmd.GetFrameLength(), 7);
    }

    cmd.GetAppName();
    FeedReply(cmd, 9, {'I', 'n', 'c', '5', 0, 'x', 'y'});
    EXPECT_EQ(cmd.Text(), "Inc5");
    // No zero inside the payload: the checksum bytes after it are not text.
    cmd.GetAppName();
    FeedReply(cmd, 9, {'A', 'B'});
    EXPECT_EQ(cmd.Text(), "AB");
    cmd.GetAppVer();
    EXPECT_EQ(cmd.Text(), "");
}

TEST(CmdSts, StatusByteAndState)
{
    NxCmdSts cmd; // built at construction
    ExpectRequest(cmd, "DeviceStatus", 20, 0, R, {});
    FeedReply(cmd, 20, {0x80});
    EXPECT_EQ(cmd.Status(), 0x80);
    EXPECT_FALSE(cmd.IsInApplication());

    cmd.DeviceStatus();
    ExpectRequest(cmd, "DeviceStatus", 20, 0, R, {});
    FeedReply(cmd, 20, {0x7F, 0x12});
    EXPECT_EQ(cmd.Status(), 0x7F);
    EXPECT_TRUE(cmd.IsInApplication());

    // An empty reply does not read the checksum as the status.
    cmd.DeviceStatus();
    FeedReply(cmd, 20, {});
    EXPECT_EQ(cmd.Status(), 0);
}

TEST(CmdTbl, IdentityTexts)
{
    NxCmdTbl cmd;
    cmd.TblName("");
    ExpectRequest(cmd, "TblName", 12, 0, W, {0x00});
    cmd.TblName(nullptr);
    ExpectRequest(cmd, "TblName", 12, 0, W, {0x00});
    cmd.TblVersion("1.2");
    ExpectRequest(cmd, "TblVersion", 13, 0, W, {'1', '.', '2', 0});
    cmd.TblDate("2024-05-01");
    ExpectRequest(cmd, "TblDate", 14, 0, W, {'2', '0', '2', '4', '-', '0', '5', '-', '0', '1', 0});

    // A text too long for a frame keeps its zero byte.
    const std::string longText(300, 'x');
    cmd.TblName(longText.c_str());
    EXPECT_EQ(cmd.PayloadLength(), 255);
    EXPECT_EQ(cmd.Payload()[254], 0);
}

TEST(CmdTbl, ParameterRecords)
{
    uint8_t pid[28];
    for (uint8_t i = 0; i < 28; ++i)
        pid[i] = static_cast<uint8_t>(0xA0 + i);
    NxCmdTbl cmd;
    cmd.TblPidParam(3, pid);
    ExpectRequest(cmd, "TblPidParam", 138, 3, W, Bytes(pid, pid + 26));

    // Ten-character name: 14 bytes whatever follows in the record.
    uint8_t set[16] = {7, 0x21, 'H', 'e', 'a', 't', 'e', 'r', 'T', 'o', 'p', '1', 0, 5, 0xEE, 2};
    cmd.TblCompParamSet(2, set);
    ExpectRequest(cmd, "TblCompParamSet", 139, 2, W, Bytes(set, set + 14));

    uint8_t empty[16] = {1, 2, 0, 9};
    cmd.TblCompParamSet(4, empty);
    ExpectRequest(cmd, "TblCompParamSet", 139, 4, W, {1, 2, 0, 9});

    // No zero anywhere: the payload stops at the record's end.
    uint8_t full[16];
    std::memset(full, 'z', sizeof full);
    cmd.TblCompParamSet(1, full);
    EXPECT_EQ(cmd.PayloadLength(), 16);
}

TEST(CmdSerialCom, RelayedRequests)
{
    NxCmdSerialCom cmd;
    struct Row
    {
        void (NxCmdSerialCom::*build)(uint8_t);
        const char* name;
        Bytes payload;
    };
    const Row rows[] = {
        {&NxCmdSerialCom::SerialComGetIdentifier, "SerialComGetIdentifier", {0x00, 0x01}},
        {&NxCmdSerialCom::SerialComGetCapabilityFlag, "SerialComGetCapabilityFlag", {0x00, 0x03}},
        {&NxCmdSerialCom::SerialComGetApplicationName, "SerialComGetApplicationName", {0x00, 0x04}},
        {&NxCmdSerialCom::SerialGetApplicationVersion, "SerialGetApplicationVersion", {0x00, 0x05}},
        {&NxCmdSerialCom::SerialComGetApplicationDate, "SerialComGetApplicationDate", {0x00, 0x06}},
        {&NxCmdSerialCom::SerialComGetStatusFlag, "SerialComGetStatusFlag", {0x00, 0x07}},
        {&NxCmdSerialCom::SerialComEnterBootloader, "SerialComEnterBootloader", {0x01, 0x30, 0x02}},
        {&NxCmdSerialCom::SerialComEnterApplication,
         "SerialComEnterApplication",
         {0x01, 0x30, 0x01}},
        {&NxCmdSerialCom::SerialComGetHardwareVersion, "SerialComGetHardwareVersion", {0x00, 0x32}},
        {&NxCmdSerialCom::SerialComBootloaderName, "SerialComBootloaderName", {0x00, 0x33}},
        {&NxCmdSerialCom::SerialComGetBootloaderVersion,
         "SerialComGetBootloaderVersion",
         {0x00, 0x34}},
        {&NxCmdSerialCom::SerialComGetBootloaderDate, "SerialComGetBootloaderDate", {0x00, 0x35}},
        {&NxCmdSerialCom::SerialComGetSerialNumber, "SerialComGetSerialNumber", {0x00, 0x37}},
        {&NxCmdSerialCom::SerialComGetRuntime, "SerialComGetRuntime", {0x00, 0x39}},
        {&NxCmdSerialCom::SerialComSetFilterChange, "SerialComSetFilterChange", {0x00, 0x42}},
        {&NxCmdSerialCom::SerialComGetFilterChange, "SerialComGetFilterChange", {0x00, 0x43}},
    };
    for (const Row& r : rows) {
        (cmd.*r.build)(5);
        ExpectRequest(cmd, r.name, 143, 5, W, r.payload);
    }
    cmd.SerialComProgErase(9, 0);
    ExpectRequest(cmd, "SerialComProgErase", 143, 9, W, {0x01, 0x3C, 0x00});
}

TEST(CmdSerialCom, ProgPageNumbering)
{
    NxCmdSerialCom cmd;
    auto pageNr = [&] { return cmd.Payload()[2] | cmd.Payload()[3] << 8; };

    ProgBlock first(0x7E8000, 256), second(0x7E8100, 256);
    for (uint32_t i = 0; i < 256; ++i)
        second.Data()[i] = static_cast<uint8_t>(i);
    for (uint32_t p = 0; p < 4; ++p) {
        ASSERT_TRUE(cmd.SerialComProgPage(1, first, p, 0x7E8000));
        EXPECT_EQ(pageNr(), static_cast<int>(p));
        ASSERT_TRUE(cmd.SerialComProgPage(1, second, p, 0x7E8000));
        EXPECT_EQ(pageNr(), static_cast<int>(4 + p));
    }
    // The last page of the second block in full.
    Bytes want = {0x42, 0x31, 0x07, 0x00};
    want.insert(want.end(), second.Data() + 192, second.Data() + 256);
    ExpectRequest(cmd, "SerialComProgPage", 143, 1, W, want);

    // Past the block: false, and the previous request stays.
    EXPECT_FALSE(cmd.SerialComProgPage(1, first, 4, 0x7E8000));
    EXPECT_EQ(pageNr(), 7);

    ProgBlock low(0x6F80, 128);
    ASSERT_TRUE(cmd.SerialComProgPage(2, low, 0, 0));
    EXPECT_EQ(pageNr(), 446);
    ASSERT_TRUE(cmd.SerialComProgPage(2, low, 1, 0));
    EXPECT_EQ(pageNr(), 447);
    EXPECT_FALSE(cmd.SerialComProgPage(2, low, 2, 0));

    // A block shorter than a page has no page at all.
    ProgBlock tiny(0, 32);
    EXPECT_FALSE(cmd.SerialComProgPage(2, tiny, 0, 0));
}

TEST(CmdSerialCom, ReplyValues)
{
    NxCmdSerialCom cmd;
    cmd.SerialComGetFilterChange(1);
    // Two relay bytes, then last change 0x00012345, interval 0x0BB8.
    FeedReply(cmd, 143, {0x00, 0x43, 0x45, 0x23, 0x01, 0x00, 0xB8, 0x0B});
    EXPECT_EQ(cmd.RespDWord(0), 0x00012345u);
    EXPECT_EQ(cmd.RespWord(4), 0x0BB8);
    EXPECT_EQ(cmd.RespByte(5), 0x0B);
    // Past the payload: zero, not the checksum or the request.
    EXPECT_EQ(cmd.RespByte(6), 0);
    EXPECT_EQ(cmd.RespWord(5), 0);
    EXPECT_EQ(cmd.RespDWord(3), 0u);
    EXPECT_EQ(cmd.RespDWord(SIZE_MAX), 0u);

    cmd.SerialComGetApplicationName(1);
    FeedReply(cmd, 143, {0x00, 0x04, 'W', 'a', 'r', 'm', 0, 'q'});
    EXPECT_EQ(cmd.RespText(0), "Warm");
    EXPECT_EQ(cmd.RespText(2), "rm");
    EXPECT_EQ(cmd.RespText(6), "");

    cmd.SerialComGetApplicationName(1);
    FeedReply(cmd, 143, {0x00, 0x04, 0xFF, 'A', 0});
    EXPECT_EQ(cmd.RespText(0), ""); // erased field
    cmd.SerialComGetApplicationName(1);
    FeedReply(cmd, 143, {0x00, 0x04, 'A', 'B', 'C'});
    EXPECT_EQ(cmd.RespText(0), "ABC"); // no zero: ends with the payload

    // A reply too short to hold any value.
    cmd.SerialComGetStatusFlag(1);
    FeedReply(cmd, 143, {0x00});
    EXPECT_EQ(cmd.RespWord(0), 0);
    EXPECT_EQ(cmd.RespText(0), "");
}

TEST(CmdSerialCom, NoValuesBeforeAReply)
{
    // The built request holds payload bytes at the same place; they are not a reply.
    NxCmdSerialCom cmd;
    ProgBlock block(0, 128);
    std::memset(block.Data(), 0x55, 128);
    ASSERT_TRUE(cmd.SerialComProgPage(1, block, 0, 0));
    EXPECT_EQ(cmd.RespByte(0), 0);
    EXPECT_EQ(cmd.RespDWord(0), 0u);
    EXPECT_EQ(cmd.RespText(2), "");
}

// ---- The command table and the dry run's guard ----

namespace {

// Everything a command could change on the simulated controller and its components.
std::string DeviceState(const Sim::SimController& c)
{
    std::string s =
        StrFormat("boot %d tables %s/%s/%s records %zu flash %zu sum %08X erase %u "
                  "writes %u valid %d checksum %08X",
                  c.Bootloader, c.TblName.c_str(), c.TblVersion.c_str(), c.TblDate.c_str(),
                  c.TableRecords().size(), c.Flash().size(), c.FlashSum(), c.EraseCount(),
                  c.PageWrites(), c.ImageValid(), c.LastChecksum());
    for (const auto& [ch, k] : c.Channels)
        s += StrFormat(" | %u boot %d pages %zu writes %u erase %u filter %u", ch, k.Bootloader,
                       k.Pages.size(), k.PageWrites, k.EraseCount, k.LastFilterChange);
    return s;
}

using Built = std::unique_ptr<NxCmd>;
template <class C, class... A> Built Make(void (C::*build)(A...), std::type_identity_t<A>... a)
{
    auto c = std::make_unique<C>();
    ((*c).*build)(a...);
    return c;
}

// One request of every row of the table, each from its own builder.
std::vector<std::function<Built()>> EveryBuilder(const ProgBlock& page)
{
    using S = NxCmdSerialCom;
    static const uint8_t record[32] = {1, 2, 'a', 0, 3};
    std::vector<std::function<Built()>> all = {
        [] { return Make(&NxCmdDL::ResetToBootloader); },
        [] { return Make(&NxCmdDL::ResetToApplication); },
        [] { return Make(&NxCmdDL::ProgEraseFlash); },
        [&page] { return Make<NxCmdDL, const ProgBlock&>(&NxCmdDL::ProgFlashPage, page); },
        [] { return Make(&NxCmdDL::ProgCheckSum, 0x0201u); }, // the sum of that page
        [] { return Built(std::make_unique<NxCmdSts>()); },
        [] { return std::make_unique<NxCmd>(CmdDef(NxCmdId::ProbeChannel), 1); },
        [] { return Make(&NxCmdTbl::TblName, "new"); },
        [] { return Make(&NxCmdTbl::TblVersion, "new"); },
        [] { return Make(&NxCmdTbl::TblDate, "new"); },
        [] { return Make(&NxCmdTbl::TblPidParam, 1, record); },
        [] { return Make(&NxCmdTbl::TblCompParamSet, 1, record); },
        [] { return Make(&S::SerialComProgErase, 1, 0); },
        [&page] {
            auto c = std::make_unique<S>();
            c->SerialComProgPage(1, page, 0, 0);
            return Built(std::move(c));
        },
    };
    for (auto read :
         {&NxCmdVer::GetHwName, &NxCmdVer::GetHwVer, &NxCmdVer::GetBlName, &NxCmdVer::GetBlVer,
          &NxCmdVer::GetBlDate, &NxCmdVer::GetAppName, &NxCmdVer::GetAppVer, &NxCmdVer::GetAppDate,
          &NxCmdVer::GetTblName, &NxCmdVer::GetTblVer, &NxCmdVer::GetTblDate})
        all.push_back([read] { return Make(read); });
    for (auto relay :
         {&S::SerialComGetIdentifier, &S::SerialComGetCapabilityFlag,
          &S::SerialComGetApplicationName, &S::SerialGetApplicationVersion,
          &S::SerialComGetApplicationDate, &S::SerialComGetStatusFlag, &S::SerialComEnterBootloader,
          &S::SerialComEnterApplication, &S::SerialComGetHardwareVersion,
          &S::SerialComBootloaderName, &S::SerialComGetBootloaderVersion,
          &S::SerialComGetBootloaderDate, &S::SerialComGetSerialNumber, &S::SerialComGetRuntime,
          &S::SerialComSetFilterChange, &S::SerialComGetFilterChange})
        all.push_back([relay] { return Make(relay, 1); });
    return all;
}

// The demo controller and its channel-1 component, both in their application
// or both in their bootloader (a page already written, so that the checksum
// of it is taken), with texts and counters that a write would change.
struct GuardRig
{
    GuardRig(bool bootloader, const ProgBlock& page)
    {
        auto sc = Sim::DemoScenario();
        sc.Bridges[0].Controller.Bootloader = bootloader;
        Sim::SimComponent& k = sc.Bridges[0].Controller.Channels[1];
        k.Bootloader = bootloader;
        k.Runtime = 500;
        k.LastFilterChange = 100;
        h = rig.InstallListed(sc);
        dev = rig.list.GetDev(0);
        NxCmdDL prep;
        prep.ProgFlashPage(page);
        if (bootloader && !dev->Execute(prep, 2500))
            throw std::runtime_error("the page was not written");
        h.Controller->ClearLog();
    }
    SimRig rig;
    Sim::SimHandle h;
    TNxDev* dev = nullptr;
};

} // namespace

// The oracle is the simulated device: a request that changes its state in
// either state of the targets must never pass the read-only device, and one
// that changes nothing must reach the device.
TEST(CommandTable, TheDryRunGuardStopsEveryChangeAndPassesEveryRead)
{
    ProgBlock page(0, 128);
    page.Data()[0] = 1;
    page.Data()[1] = 2;
    std::set<std::string> built;
    for (const auto& build : EveryBuilder(page)) {
        const std::string name = build()->GetName();
        SCOPED_TRACE(name);
        built.insert(name);
        bool changes = false;
        for (bool boot : {false, true}) {
            GuardRig free(boot, page);
            const std::string before = DeviceState(*free.h.Controller);
            Built cmd = build();
            free.dev->Execute(*cmd, 2500);
            changes = changes || DeviceState(*free.h.Controller) != before;
        }
        for (bool boot : {false, true}) {
            GuardRig guarded(boot, page);
            guarded.dev->SetReadOnly(true);
            const std::string before = DeviceState(*guarded.h.Controller);
            Built cmd = build();
            const bool ok = guarded.dev->Execute(*cmd, 2500);
            EXPECT_EQ(DeviceState(*guarded.h.Controller), before);
            EXPECT_EQ(guarded.h.Controller->Log().size(), changes ? 0u : 1u) << "boot " << boot;
            if (changes) {
                EXPECT_FALSE(ok);
                EXPECT_EQ(cmd->GetErrMsg(), "not sent: a dry run changes nothing");
            }
        }
    }
    std::set<std::string> rows;
    for (const NxCmdDef& row : CmdTable())
        rows.insert(row.Name);
    EXPECT_EQ(built, rows); // every row has its builder, every builder its row

    // A request the table does not know counts as a change.
    GuardRig unknown(false, page);
    unknown.dev->SetReadOnly(true);
    const uint8_t sub[] = {0, 0x99};
    NxCmd odd(99, "Odd", 0, NX_ACCESS_READ, nullptr, 0);
    NxCmd writeName(CmdDef(NxCmdId::GetHwName).Nr, "HwNameW", 0, NX_ACCESS_WRITE, nullptr, 0);
    NxCmd oddRelay(kCmdRelay, "OddRelay", 1, NX_ACCESS_WRITE, sub, 2);
    for (NxCmd* cmd : {&odd, &writeName, &oddRelay})
        EXPECT_FALSE(unknown.dev->Execute(*cmd, 2500)) << cmd->GetName();
    EXPECT_TRUE(unknown.h.Controller->Log().empty());
}
