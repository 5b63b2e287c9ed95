// Firmware downloads into simulated controllers and components: the command
// sequence with its timeouts and pauses, retries, checks, and what ends up in
// the flash.
#include "Appcfg.h"
#include "Download/NxProgrammer.h"
#include "NxException.h"
#include "Sim/SimScenario.h"
#include "support/DeviceTargets.h"
#include "support/HexText.h"
#include "support/SimRig.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>

using Sim::SimComponent;
using Sim::SimFault;
using Sim::SimFaultKind;
using Strings = std::vector<std::string>;

namespace {

// The image byte at addr, zero in gaps.
uint8_t ByteAt(const Image& img, uint32_t addr)
{
    for (const auto& [a, bytes] : img)
        if (addr >= a && addr - a < bytes.size())
            return bytes[addr - a];
    return 0;
}

// Sum of the image's 16-bit little-endian words; gaps count as zero.
uint32_t WordSum(const Image& img)
{
    uint32_t sum = 0;
    for (const auto& [a, bytes] : img)
        for (size_t i = 0; i < bytes.size(); ++i)
            sum += static_cast<uint32_t>(bytes[i]) << (((a + i) & 1) ? 8 : 0);
    return sum;
}

class RecordingProg : public IProg
{
public:
    void OnEraseStart() override { Events.push_back("erase"); }
    void OnBlockProgress(const ProgBlock& b, uint32_t index, uint32_t count) override
    {
        Events.push_back(StrFormat("block %06X %u/%u", b.Address(), index, count));
    }
    void OnChecksum(uint32_t sum) override { Events.push_back(StrFormat("checksum %08X", sum)); }
    void OnFailure(const char* text) override { Events.push_back(std::string("failure ") + text); }
    void OnReset(bool toApplication) override
    {
        Events.push_back(toApplication ? "reset app" : "reset boot");
    }
    void OnPause(uint32_t ms) override { Waits.push_back(StrFormat("pause %u", ms)); }
    void OnRetry(int attempt, int attempts) override
    {
        Waits.push_back(StrFormat("attempt %d of %d", attempt, attempts));
    }
    // Events other than block progress.
    Strings Steps() const
    {
        Strings s;
        for (const auto& e : Events)
            if (e.rfind("block", 0) != 0)
                s.push_back(e);
        return s;
    }
    Strings Events;
    Strings Waits; // the fixed pauses and the retries
};

// Records where in the request log each pause fell.
class TraceClock : public VirtualClock
{
public:
    void SleepMs(uint32_t ms) override
    {
        Marks.emplace_back(Position ? Position() : 0, ms);
        VirtualClock::SleepMs(ms);
    }
    std::function<size_t()> Position;
    std::vector<std::pair<size_t, uint32_t>> Marks;
};

std::string RequestName(const Sim::SimLogEntry& e)
{
    const auto& p = e.Payload;
    switch (e.Cmd) {
    case 1:
        return p.size() == 1 && p[0] == 2 ? "ResetToBootloader" : "ResetToApplication";
    case 2:
        return "ProgEraseFlash";
    case 3: {
        const uint32_t a = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        return a == 0xC1FF80 ? "ProgCheckSum" : StrFormat("ProgFlashPage %06X", a);
    }
    case 9:
        return "GetAppName";
    case 20:
        return "DeviceStatus";
    case 143:
        switch (e.Sub) {
        case 0x04:
            return "AppName";
        case 0x07:
            return "StatusFlag";
        case 0x30:
            return p[2] == 2 ? "EnterBootloader" : "EnterApplication";
        case 0x31:
            return StrFormat("Page %u", p[2] | p[3] << 8);
        case 0x3C:
            return StrFormat("Erase %u", p[2]);
        }
        break;
    }
    return StrFormat("cmd %u", e.Cmd);
}

// One simulated controller, listed, with a recording clock; a fresh one per case.
struct Rig : BasicSimRig<TraceClock>
{
    explicit Rig(const Sim::SimScenario& sc) : h(InstallListed(sc)), dev(list.GetDev(0))
    {
        lib.Calls.clear();
        clock.Clear();
        clock.Position = [this] { return h.Controller->Log().size(); };
    }

    // Requests as "name@timeout" with the pauses between them.
    Strings Trace() const
    {
        std::vector<std::string> timeouts;
        for (const auto& c : lib.Calls)
            if (c.rfind("SetTimeouts ", 0) == 0)
                timeouts.push_back(c.substr(12, c.find(' ', 12) - 12));
        const auto& log = h.Controller->Log();
        Strings out;
        size_t m = 0;
        for (size_t i = 0; i <= log.size(); ++i) {
            for (; m < clock.Marks.size() && clock.Marks[m].first == i; ++m)
                out.push_back(StrFormat("sleep %u", clock.Marks[m].second));
            if (i < log.size())
                out.push_back(RequestName(log[i]) + "@" +
                              (i < timeouts.size() ? timeouts[i] : std::string("?")));
        }
        return out;
    }

    Sim::SimHandle h;
    TNxDev* dev;
};

class ProgrammerTest : public ::testing::Test
{
protected:
    // A fresh controller from the scenario; forgets earlier progress events.
    void Start(const Sim::SimScenario& sc = Sim::DemoScenario())
    {
        rig.reset();
        rig = std::make_unique<Rig>(sc);
        prog.Events.clear();
    }
    Sim::SimController& ctl() { return *rig->h.Controller; }
    TraceClock& clock() { return rig->clock; }
    Strings Trace() const { return rig->Trace(); }

    bool Load(NxProgrammer& p, const Image& img)
    {
        const std::string path = dir.Write(StrFormat("image%d.hex", files++), HexText(img));
        int line = 0;
        return p.LoadFile(path.c_str(), line) == 0;
    }
    bool Run(NxProgrammer& p) { return p.Download(rig->dev, &prog); }

    TempFolder dir{"programmer"};
    ScopedEnv blkDelay{"BLKDELAY", std::nullopt};
    int files = 0;
    std::unique_ptr<Rig> rig;
    RecordingProg prog;
};

// Three blocks: two of code (a record crossing into the second) and the name.
Image ControllerImage(const std::string& name = "IncuControlApp")
{
    return {{0x000010, Pattern(0xE8, 0x31)}, {0xC08000, Name8(name)}};
}

const Strings kFlashSteps = {
    "ProgEraseFlash@2500",
    "ProgFlashPage 000000@2500",
    "ProgFlashPage 000080@2500",
    "ProgFlashPage C08000@2500",
    "ProgCheckSum@2500",
    "ResetToApplication@2500",
    "sleep 2000",
    "DeviceStatus@5000",
};

Strings Concat(Strings a, const Strings& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

// ---- Controller ----

TEST_F(ProgrammerTest, ControllerFromApplication)
{
    Start();
    const Image img = ControllerImage();
    NxProgrammer p(0);
    ASSERT_TRUE(Load(p, img));
    ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);

    EXPECT_EQ(Trace(), Concat({"DeviceStatus@2500", "GetAppName@2500", "ResetToBootloader@2500",
                               "sleep 5000", "DeviceStatus@7500"},
                              kFlashSteps));
    const std::string sum = StrFormat("checksum %08X", WordSum(img));
    EXPECT_EQ(prog.Events, (Strings{"reset boot", "erase", "block 000000 0/3", "block 000080 1/3",
                                    "block C08000 2/3", sum, "reset app", sum}));
    EXPECT_EQ(prog.Waits, (Strings{"pause 5000", "pause 2000"}));
    // The flash holds the image, gaps as zeros, and the checksum was taken.
    for (uint32_t base : {0x000000u, 0x000080u, 0xC08000u}) {
        const Bytes flash = ctl().FlashBytes(base, 128);
        for (uint32_t i = 0; i < 128; ++i)
            ASSERT_EQ(flash[i], ByteAt(img, base + i)) << std::hex << base + i;
    }
    EXPECT_EQ(ctl().Flash().size(), 3u * 128);
    EXPECT_TRUE(ctl().ImageValid());
    EXPECT_EQ(ctl().LastChecksum(), WordSum(img));
    EXPECT_EQ(ctl().EraseCount(), 1u);
    EXPECT_FALSE(ctl().Bootloader);
    EXPECT_TRUE(clock().Timeouts().empty());
}

TEST_F(ProgrammerTest, ControllerFromBootloaderSkipsTheNameCheck)
{
    auto sc = Sim::DemoScenario();
    sc.Bridges[0].Controller.Bootloader = true;
    Start(sc);
    NxProgrammer p(0);
    ASSERT_TRUE(Load(p, ControllerImage("SomethingElse")));
    ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);
    EXPECT_EQ(Trace(), Concat({"DeviceStatus@2500"}, kFlashSteps));
    EXPECT_EQ(prog.Steps().front(), "erase");
    EXPECT_TRUE(ctl().ImageValid());
    EXPECT_EQ(ctl().CurrentAppName(), "SomethingElse");
}

TEST_F(ProgrammerTest, ControllerNameCheck)
{
    struct Case
    {
        const char* What;
        Image Img;
        bool Accepted;
    } cases[] = {
        {"letter case differs", ControllerImage("INCUcontrolAPP"), true},
        {"other name", ControllerImage("IncuControlAp"), false},
        {"longer name", ControllerImage("IncuControlApp2"), false},
        {"no name block", {{0x0000, Pattern(64, 1)}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Start();
        NxProgrammer p(0);
        ASSERT_TRUE(Load(p, c.Img));
        EXPECT_EQ(Run(p), c.Accepted);
        if (!c.Accepted) {
            EXPECT_EQ(prog.Events, Strings{"failure Invalid download file for this device"});
            EXPECT_EQ(Trace(), (Strings{"DeviceStatus@2500", "GetAppName@2500"}));
            EXPECT_FALSE(ctl().Bootloader);
        }
    }
}

TEST_F(ProgrammerTest, ControllerNameFillingItsBlock)
{
    // The name runs to the block's last byte without a zero; the next block
    // continues with more letters that must not become part of it.
    auto sc = Sim::DemoScenario();
    sc.Bridges[0].Controller.AppName = std::string(128, 'N');
    Start(sc);
    NxProgrammer p(0);
    ASSERT_TRUE(Load(p, {{0xC08000, Bytes(128, 'N')}, {0xC08080, Name8("MORE")}}));
    EXPECT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);
}

TEST_F(ProgrammerTest, FlashPageRetries)
{
    // Block #1 (the second "ProgFlashPage") is refused four times, then taken.
    Start();
    SimFault f;
    f.Kind = SimFaultKind::Reject;
    f.Cmd = 3;
    f.From = 2;
    f.Count = 4;
    ctl().AddFault(f);
    NxProgrammer p(0);
    ASSERT_TRUE(Load(p, ControllerImage()));
    ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);
    const Strings t = Trace();
    const Strings retried = {"ProgFlashPage 000080@2500", "sleep 100",
                             "ProgFlashPage 000080@2500", "sleep 100",
                             "ProgFlashPage 000080@2500", "sleep 100",
                             "ProgFlashPage 000080@2500", "sleep 100",
                             "ProgFlashPage 000080@2500", "ProgFlashPage C08000@2500"};
    EXPECT_EQ(Strings(t.begin() + 7, t.begin() + 17), retried);
    EXPECT_EQ(prog.Waits, (Strings{"pause 5000", "attempt 2 of 5", "attempt 3 of 5",
                                   "attempt 4 of 5", "attempt 5 of 5", "pause 2000"}));
    EXPECT_TRUE(ctl().ImageValid()); // the sum counts the block once

    // Five lost replies: the block number counts from 0, four pauses between.
    Start();
    f.Kind = SimFaultKind::NoReply;
    f.Count = 5;
    ctl().AddFault(f);
    prog.Events.clear();
    NxProgrammer q(0);
    ASSERT_TRUE(Load(q, ControllerImage()));
    EXPECT_FALSE(Run(q));
    ASSERT_EQ(prog.Events.size(), 5u);
    EXPECT_EQ(prog.Events.back().rfind("failure Download of block #1/3 failed: ", 0), 0u)
        << prog.Events.back();
    EXPECT_EQ(clock().Timeouts(), (std::vector<uint32_t>(5, 2500)));
    EXPECT_EQ(clock().Sleeps(), (std::vector<uint32_t>{5000, 100, 100, 100, 100}));
    EXPECT_EQ(ctl().CountOf(3), 6u);
    EXPECT_TRUE(ctl().Bootloader); // left where it stopped
    EXPECT_FALSE(ctl().ImageValid());

    // The refusal's text reaches the message.
    Start();
    f.Kind = SimFaultKind::Reject;
    f.ErrorByte = 0x04;
    ctl().AddFault(f);
    prog.Events.clear();
    NxProgrammer r(0);
    ASSERT_TRUE(Load(r, ControllerImage()));
    EXPECT_FALSE(Run(r));
    EXPECT_EQ(prog.Events.back(), "failure Download of block #1/3 failed: Frame '0x04' error");
}

TEST_F(ProgrammerTest, EveryControllerCommandMustSucceed)
{
    struct Case
    {
        int Cmd, From;
        const char* Name;
        uint32_t Timeout;
    } cases[] = {
        {20, 1, "DeviceStatus", 2500},      {9, 1, "GetAppName", 2500},
        {1, 1, "ResetToBootloader", 2500},  {20, 2, "DeviceStatus", 7500},
        {2, 1, "ProgEraseFlash", 2500},     {3, 4, "ProgCheckSum", 2500},
        {1, 2, "ResetToApplication", 2500}, {20, 3, "DeviceStatus", 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Start();
        SimFault f;
        f.Cmd = c.Cmd;
        f.From = static_cast<unsigned>(c.From);
        ctl().AddFault(f);
        prog.Events.clear();
        NxProgrammer p(0);
        ASSERT_TRUE(Load(p, ControllerImage()));
        EXPECT_FALSE(Run(p));
        ASSERT_FALSE(prog.Events.empty());
        EXPECT_EQ(prog.Events.back().rfind(StrFormat("failure '%s' failed: ", c.Name), 0), 0u)
            << prog.Events.back();
        EXPECT_EQ(clock().Timeouts(), std::vector<uint32_t>{c.Timeout});
    }
}

TEST_F(ProgrammerTest, ControllerThatIgnoresResets)
{
    // Still in its application after the reset: nothing is erased.
    auto sc = Sim::DemoScenario();
    sc.Bridges[0].Controller.IgnoreResets = true;
    Start(sc);
    NxProgrammer p(0);
    ASSERT_TRUE(Load(p, ControllerImage()));
    EXPECT_FALSE(Run(p));
    EXPECT_EQ(prog.Steps(), (Strings{"reset boot", "failure Device did not enter its bootloader"}));
    EXPECT_EQ(Trace().back(), "DeviceStatus@7500");
    EXPECT_EQ(ctl().EraseCount(), 0u);

    // Still in its bootloader after the download: written, but reported.
    sc.Bridges[0].Controller.Bootloader = true;
    Start(sc);
    prog.Events.clear();
    NxProgrammer q(0);
    ASSERT_TRUE(Load(q, ControllerImage()));
    EXPECT_FALSE(Run(q));
    EXPECT_EQ(prog.Events.back(), "failure Device did not start its application");
    EXPECT_EQ(Trace(), Concat({"DeviceStatus@2500"}, kFlashSteps));
    EXPECT_TRUE(ctl().ImageValid());
}

TEST_F(ProgrammerTest, ConfigurationFlagsOff)
{
    auto sc = Sim::DemoScenario();
    sc.Bridges[0].Controller.Bootloader = true;
    Start(sc);
    CAppCfg::Instance().SetBootloaderFirst(false);
    CAppCfg::Instance().SetStartApplication(false);
    const Image img = ControllerImage();
    NxProgrammer p(0);
    ASSERT_TRUE(Load(p, img));
    ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);
    EXPECT_EQ(Trace(), Strings(kFlashSteps.begin(), kFlashSteps.begin() + 5));
    EXPECT_EQ(prog.Steps(), (Strings{"erase", StrFormat("checksum %08X", WordSum(img))}));
    EXPECT_TRUE(clock().Sleeps().empty());
    EXPECT_TRUE(ctl().Bootloader);
}

TEST_F(ProgrammerTest, NoCompleteImageSendsNothing)
{
    Start();
    NxProgrammer none(0);
    EXPECT_FALSE(Run(none));
    NxProgrammer noEof(2);
    const std::string path = dir.Write("noeof.hex", ":0400000001020304F2\n");
    int line = 0;
    EXPECT_EQ(noEof.LoadFile(path.c_str(), line), -5);
    EXPECT_FALSE(Run(noEof));
    EXPECT_EQ(prog.Events, (Strings{"failure No data", "failure No data"}));
    EXPECT_TRUE(ctl().Log().empty());
}

// ---- Channel components ----

TEST_F(ProgrammerTest, ComponentOfEveryProfile)
{
    uint8_t ch = 4;
    for (const DeviceProfile* r = kDeviceProfiles; r->IdentityAddress; ++r, ++ch) {
        SCOPED_TRACE(r->ModelName);
        Start(ProfileScenario());
        prog.Events.clear();
        prog.Waits.clear();
        const Image img = ComponentImage(*r, r->ModelName);
        NxProgrammer p(ch);
        ASSERT_TRUE(Load(p, img));
        ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);
        EXPECT_EQ(p.GetProfile(), r);

        // Blocks in file order at the row's size, every page of each.
        const uint32_t pages = r->BlockSize / 64;
        Strings expect = {"StatusFlag@2500", "AppName@2500", "EnterBootloader@2500", "sleep 2000"};
        if (r->Flags & kProfileErase)
            expect.push_back("Erase 0@10000");
        Strings progress;
        std::vector<uint32_t> blocks;
        for (const ProgBlock* b = p.Image().FirstBlock(); b; b = b->Next)
            blocks.push_back(b->Address());
        const auto count = static_cast<uint32_t>(blocks.size());
        for (uint32_t b = 0; b < count; ++b) {
            EXPECT_EQ(blocks[b] % r->BlockSize, 0u);
            for (uint32_t pg = 0; pg < pages; ++pg) {
                const uint32_t nr = ((blocks[b] - r->PageBase) >> 6) + pg;
                expect.push_back(StrFormat("Page %u@2500", nr));
                progress.push_back(
                    StrFormat("block %06X %u/%u", blocks[b], b * pages + pg, count * pages));
                // The component holds the page's 64 image bytes.
                const Bytes& got = ctl().Channel(ch)->Pages[static_cast<uint16_t>(nr)];
                ASSERT_EQ(got.size(), 64u);
                for (uint32_t i = 0; i < 64; ++i)
                    ASSERT_EQ(got[i], ByteAt(img, blocks[b] + pg * 64 + i)) << nr << "/" << i;
            }
        }
        expect.insert(expect.end(), {"EnterApplication@2500", "sleep 1000"});
        EXPECT_EQ(Trace(), expect);
        EXPECT_EQ(ctl().Channel(ch)->Pages.size(), count * pages);
        Strings events = {"reset boot"};
        events.insert(events.end(), progress.begin(), progress.end());
        events.push_back("reset app");
        EXPECT_EQ(prog.Events, events); // no erase event and no checksum
        EXPECT_EQ(prog.Waits, (Strings{"pause 2000", "pause 1000"}));
        EXPECT_EQ(ctl().Channel(ch)->EraseCount, (r->Flags & kProfileErase) ? 1u : 0u);
        EXPECT_FALSE(ctl().Channel(ch)->Bootloader);
    }
}

TEST_F(ProgrammerTest, MeridianIsRepackedToFourPagesPerBlock)
{
    Start();
    NxProgrammer p(2);
    ASSERT_TRUE(Load(p, {{0x0000, Pattern(0x200, 7)}, {0xEFD0, Name8("Meridian")}}));
    ASSERT_EQ(p.GetBlockCount(), 5u);
    ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);
    EXPECT_EQ(p.GetBlockSize(), 256u);
    EXPECT_EQ(p.GetBlockCount(), 3u);
    ASSERT_EQ(prog.Events.size(), 14u);
    EXPECT_EQ(prog.Events[1], "block 000000 0/12");
    EXPECT_EQ(prog.Events[4], "block 000000 3/12");
    EXPECT_EQ(prog.Events[5], "block 000100 4/12");
    EXPECT_EQ(prog.Events[12], "block 00EF00 11/12");
    const auto& pages = ctl().Channel(2)->Pages;
    std::vector<uint16_t> numbers;
    for (const auto& [nr, data] : pages)
        numbers.push_back(nr);
    EXPECT_EQ(numbers, (std::vector<uint16_t>{0, 1, 2, 3, 4, 5, 6, 7, 956, 957, 958, 959}));
}

TEST_F(ProgrammerTest, PageRetryDelayFollowsTheProfile)
{
    for (const char* model : {"GasProbe5000", "WarmCase5000XL"}) {
        SCOPED_TRACE(model);
        const DeviceProfile* r = kDeviceProfiles;
        uint8_t ch = 4;
        while (std::string(r->ModelName) != model)
            ++r, ++ch;
        const uint32_t delay = r->RetryDelay;

        // The first page fails four times, then goes through.
        Start(ProfileScenario());
        SimFault f;
        f.Kind = SimFaultKind::Reject;
        f.Cmd = 143;
        f.Sub = 0x31;
        f.Count = 4;
        ctl().AddFault(f);
        NxProgrammer p(ch);
        ASSERT_TRUE(Load(p, ComponentImage(*r, model)));
        ASSERT_TRUE(Run(p));
        std::vector<uint32_t> sleeps = {2000, delay, delay, delay, delay, 1000};
        EXPECT_EQ(clock().Sleeps(), sleeps);

        // Five failures stop it at block #0.
        Start(ProfileScenario());
        f.Count = 5;
        ctl().AddFault(f);
        prog.Events.clear();
        NxProgrammer q(ch);
        ASSERT_TRUE(Load(q, ComponentImage(*r, model)));
        EXPECT_FALSE(Run(q));
        EXPECT_EQ(prog.Events.back(),
                  StrFormat("failure Download of block #0/%u failed: Frame '0x7F' error",
                            static_cast<unsigned>(q.GetBlockCount())));
        sleeps.pop_back();
        EXPECT_EQ(clock().Sleeps(), sleeps);
        EXPECT_TRUE(ctl().Channel(ch)->Bootloader); // left in its bootloader
    }
}

TEST_F(ProgrammerTest, ComponentApplicationMustMatchTheImage)
{
    Start();
    NxProgrammer p(1); // runs "GasProbe"
    ASSERT_TRUE(Load(p, {{0x6FD0, Name8("WarmCase5000XL")}}));
    EXPECT_FALSE(Run(p));
    EXPECT_EQ(prog.Events, Strings{"failure Invalid download file for this device "
                                   "(Device='GasProbe' File='WarmCase5000XL')"});
    EXPECT_EQ(Trace(), (Strings{"StatusFlag@2500", "AppName@2500"}));
    EXPECT_FALSE(ctl().Channel(1)->Bootloader);

    prog.Events.clear();
    NxProgrammer unknown(1);
    ASSERT_TRUE(Load(unknown, {{0x6FD0, Name8("Unknown")}}));
    EXPECT_FALSE(Run(unknown));
    EXPECT_EQ(prog.Events, Strings{"failure Unsupported or unknown download file"});
}

TEST_F(ProgrammerTest, ComponentInItsBootloaderTakesAnyListedModel)
{
    auto sc = Sim::DemoScenario();
    sc.Bridges[0].Controller.Channels[1].Bootloader = true; // was "GasProbe"
    Start(sc);
    NxProgrammer p(1);
    ASSERT_TRUE(Load(p, {{0x0000, Pattern(0x100, 2)}, {0xEFD0, Name8("ClimaCore QX")}}));
    ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);
    const Strings t = Trace();
    EXPECT_EQ(Strings(t.begin(), t.begin() + 3),
              (Strings{"StatusFlag@2500", "EnterBootloader@2500", "sleep 2000"}));
    EXPECT_EQ(ctl().CountOf(143, 0x04), 0u);
    EXPECT_EQ(ctl().Channel(1)->Pages.size(), 8u); // two 256-byte blocks
}

TEST_F(ProgrammerTest, BlockDelayAfterEveryAcknowledgedPage)
{
    Start();
    setenv("BLKDELAY", "0x14", 1);
    SimFault f;
    f.Kind = SimFaultKind::NoReply;
    f.Cmd = 143;
    f.Sub = 0x31;
    f.From = 2;
    ctl().AddFault(f);
    NxProgrammer p(1);
    ASSERT_TRUE(Load(p, {{0x6F80, Pattern(0x50, 4)}, {0x6FD0, Name8("GasProbe")}}));
    ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);
    // One block at 0x6F80: pages 446 and 447; the second is lost once.
    EXPECT_EQ(Trace(),
              (Strings{"StatusFlag@2500", "AppName@2500", "EnterBootloader@2500", "sleep 2000",
                       "Page 446@2500", "sleep 20", "Page 447@2500", "sleep 100", "Page 447@2500",
                       "sleep 20", "EnterApplication@2500", "sleep 1000"}));
    EXPECT_EQ(clock().Timeouts(), std::vector<uint32_t>{2500});
}

// ---- Checks before the first write, and the least time ----


TEST_F(ProgrammerTest, CheckTargetSendsOnlyTheDownloadsReads)
{
    for (const TargetCase& c : TargetCases()) {
        SCOPED_TRACE(c.What);
        Start(TargetScenario(c));
        rig->dev->SetReadOnly(true); // a write would fail the check
        NxProgrammer p(c.Channel);
        ASSERT_TRUE(Load(p, c.Img));
        ASSERT_TRUE(p.CheckTarget(rig->dev, &prog)) << ::testing::PrintToString(prog.Events);
        EXPECT_EQ(p.ApplicationRan(), !c.Bootloader);
        EXPECT_TRUE(prog.Events.empty());
        const Strings reads = c.Channel == 0 ? Strings{"DeviceStatus@2500", "GetAppName@2500"}
                                             : Strings{"StatusFlag@2500", "AppName@2500"};
        EXPECT_EQ(Trace(), Strings(reads.begin(), reads.begin() + (c.Bootloader ? 1 : 2)));
        if (c.Channel > 0) {
            EXPECT_EQ(p.GetBlockSize(), p.GetProfile()->BlockSize);
        }
    }

    // Refused as the download refuses it, in the same words.
    Start();
    NxProgrammer wrong(1);
    ASSERT_TRUE(Load(wrong, {{0x6FD0, Name8("WarmCase5000XL")}}));
    EXPECT_FALSE(wrong.CheckTarget(rig->dev, &prog));
    EXPECT_EQ(prog.Events, Strings{"failure Invalid download file for this device "
                                   "(Device='GasProbe' File='WarmCase5000XL')"});
}

TEST_F(ProgrammerTest, ReadOnlyDeviceRefusesEveryWrite)
{
    Start();
    rig->dev->SetReadOnly(true);
    NxProgrammer p(0);
    ASSERT_TRUE(Load(p, ControllerImage()));
    EXPECT_FALSE(Run(p));
    EXPECT_EQ(prog.Events.back(),
              "failure 'ResetToBootloader' failed: not sent: a dry run changes nothing");
    EXPECT_EQ(ctl().CountOf(1), 0u);
}

TEST_F(ProgrammerTest, EstimateHoldsTheBytesAndPausesOfTheDownload)
{
    setenv("BLKDELAY", "7", 1);
    for (const TargetCase& c : TargetCases()) {
        SCOPED_TRACE(c.What);
        Start(TargetScenario(c));
        NxProgrammer p(c.Channel);
        ASSERT_TRUE(Load(p, c.Img));
        if (c.Channel > 0)
            p.IdentifyFile(nullptr);
        const DownloadEstimate est = p.Estimate(!c.Bootloader);
        rig->h.Device->Written.clear();
        rig->h.Device->ReadRequests.clear();
        ASSERT_TRUE(Run(p)) << ::testing::PrintToString(prog.Events);

        // Requests to the byte, replies at their shortest, every fixed pause.
        EXPECT_EQ(est.Exchanges, ctl().Log().size());
        EXPECT_EQ(est.RequestBytes, rig->h.Device->Written.size());
        uint64_t read = 0;
        for (uint32_t n : rig->h.Device->ReadRequests)
            read += n;
        EXPECT_LE(est.ReplyBytes, read);
        EXPECT_GE(est.ReplyBytes, read * 95 / 100);
        uint64_t paused = 0;
        for (uint32_t ms : clock().Sleeps())
            paused += ms;
        EXPECT_EQ(est.PauseMs, paused);
        EXPECT_EQ(est.LeastMs(), static_cast<uint64_t>(est.WireMs()) + paused);
    }
}

TEST(DownloadEstimate, LeastTimeRoundsDown)
{
    DownloadEstimate e;
    e.AddExchanges(1, 5760 - 7, 0); // 5760 bytes: one second at 57600 bit/s
    e.AddPause(999);
    EXPECT_EQ(e.LeastMs(), 1999u);
    const std::pair<uint64_t, const char*> rows[] = {
        {0, "0 ms"},
        {999, "999 ms"},
        {1000, "1.0 s"},
        {9999, "9.9 s"},
        {10999, "10 s"},
        {59999, "59 s"},
        {60000, "1 min 00 s"},
        {185500, "3 min 05 s"},
        {3600000, "1 h 00 min"},
        {3725000, "1 h 02 min"},
    };
    for (const auto& [ms, text] : rows)
        EXPECT_EQ(FormatLeastTime(ms), text) << ms;
}
