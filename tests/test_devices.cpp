// Devices and the device list against simulated controllers.
#include "NxClock.h"
#include "NxCom/TNxDevList.h"
#include "Sim/SimScenario.h"
#include "support/SimRig.h"

#include <gtest/gtest.h>

#include <algorithm>

using Sim::SimComponent;
using Sim::SimController;
using Strings = std::vector<std::string>;

namespace {

SimComponent Component(uint8_t id, uint16_t caps, const std::string& serial)
{
    SimComponent c;
    c.Identifier = id;
    c.Capability = caps;
    c.SerialNumber = serial;
    c.AppName = "GasProbe";
    return c;
}

class DevListTest : public ::testing::Test, protected SimRig
{
protected:
    // Adds a bridge with a controller in its application behind it.
    Sim::SimHandle AddBridge(const std::string& serial, std::map<uint8_t, SimComponent> ch = {})
    {
        Sim::SimScenario sc;
        Sim::SimBridgeSpec spec;
        spec.Serial = serial;
        spec.Controller.Channels = std::move(ch);
        sc.Bridges.push_back(std::move(spec));
        return Install(sc).front();
    }

    DevEventRecorder events; // registered: the list exists before it
};

} // namespace

TEST_F(DevListTest, DemoControllerWithItsChannels)
{
    Install();
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(list.Count(), 1u);
    TNxDev* dev = list.GetDev(0);
    EXPECT_EQ(dev->GetName(), "Controller (#0001)");
    EXPECT_EQ(dev->GetVid(), 0x10C4u);
    EXPECT_EQ(events.Events, Strings{"added 0001"});
    const auto& ch = dev->GetChannels();
    ASSERT_EQ(ch.size(), 3u);
    EXPECT_EQ(ch[0].CapabilityFlag & 1, 1);
    EXPECT_EQ(ch[0].SerialNumber.substr(0, 3), "133");
    EXPECT_EQ(ch[1].CapabilityFlag & 1, 1);
    EXPECT_EQ(ch[2].CapabilityFlag & 1, 0);
    EXPECT_EQ(ch[2].SerialNumber, ""); // erased field reads as empty
    EXPECT_TRUE(sink.Shown.empty());
}

TEST_F(DevListTest, ProbeStopsAtTheFirstSilentChannel)
{
    auto none = AddBridge("A");
    auto gap = AddBridge(
        "B", {{1, Component(1, 1, "1")}, {2, Component(2, 1, "2")}, {4, Component(4, 1, "4")}});
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_TRUE(list.GetDev(0)->GetChannels().empty()); // listed all the same
    const auto& ch = list.GetDev(1)->GetChannels();
    ASSERT_EQ(ch.size(), 2u);
    EXPECT_EQ(ch[1].Identifier, 2);
    EXPECT_EQ(ch[1].SerialNumber, "2");
    // Probe request for channel 1 on the wire: F0 00 81 01 52 D4 00.
    const std::vector<uint8_t> probe1{0xF0, 0x00, 0x81, 0x01, 0x52, 0xD4, 0x00};
    EXPECT_NE(std::search(none.Device->Written.begin(), none.Device->Written.end(), probe1.begin(),
                          probe1.end()),
              none.Device->Written.end());
}

TEST_F(DevListTest, SlowAndSilentComponentsCostRetriesAndPauses)
{
    SimComponent slow = Component(7, 0x0101, "142-9");
    slow.SilentStatus = 2; // answers the third status request
    SimComponent mute = Component(8, 1, "x");
    mute.Silent = true;
    auto h = AddBridge("A", {{1, slow}, {2, mute}});
    ASSERT_TRUE(list.Update());
    const auto& ch = list.GetDev(0)->GetChannels();
    ASSERT_EQ(ch.size(), 2u);
    EXPECT_EQ(ch[0].Identifier, 7);
    EXPECT_EQ(ch[0].CapabilityFlag, 0x0101);
    EXPECT_EQ(ch[0].SerialNumber, "142-9");
    EXPECT_EQ(ch[1].Identifier, 0);
    EXPECT_EQ(ch[1].CapabilityFlag, 0);
    EXPECT_EQ(ch[1].SerialNumber, "");
    // The silent component is never asked for its capabilities.
    EXPECT_EQ(h.Controller->CountOf(143, 0x03), 1u);
    // Two lost status requests on channel 1, three on channel 2, then the
    // absent channel 3: each a 1000 ms timeout; 500 ms between status tries.
    EXPECT_EQ(clock.Timeouts(), (std::vector<uint32_t>(6, 1000)));
    EXPECT_EQ(clock.Sleeps(), (std::vector<uint32_t>{500, 500, 500, 500}));
}

// Every relayed answer comes 1.1 s late (timeout 1 s): the status reply of the
// last try lands in the probe of the absent channel 2 and must not list it.
TEST_F(DevListTest, LateComponentAddsNoPhantomChannel)
{
    auto h = AddBridge("A", {{1, Component(1, 1, "1")}});
    Sim::SimFault late;
    late.Kind = Sim::SimFaultKind::Late;
    late.Cmd = 143;
    late.Count = 0;
    late.DelayMs = 1100;
    h.Controller->AddFault(late);
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(list.Count(), 1u);
    const auto& ch = list.GetDev(0)->GetChannels();
    ASSERT_EQ(ch.size(), 1u);
    EXPECT_EQ(ch[0].Identifier, 0); // the component never answered in time
    EXPECT_EQ(h.Controller->CountOf(129), 2u);
}

TEST_F(DevListTest, AllChannelsAnswering)
{
    std::map<uint8_t, SimComponent> all;
    for (int c = 1; c <= 255; ++c)
        all[static_cast<uint8_t>(c)] = Component(1, 0, "");
    auto h = AddBridge("A", all);
    ASSERT_TRUE(list.Update());
    EXPECT_EQ(list.GetDev(0)->GetChannels().size(), 255u);
    EXPECT_EQ(h.Controller->CountOf(129), 255u);
}

TEST_F(DevListTest, ControllerThatDoesNotAnswerIsNeverListedAndTriedAgain)
{
    auto h = AddBridge("A");
    h.Controller->AddFault({Sim::SimFaultKind::NoReply, 20, -1, -1, -1, 1, 0});
    ASSERT_TRUE(list.Update());
    ASSERT_TRUE(list.Update());
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_TRUE(sink.Shown.empty());
    EXPECT_TRUE(events.Events.empty());
    EXPECT_EQ(h.Controller->CountOf(20), 2u);
    EXPECT_EQ(clock.Timeouts(), (std::vector<uint32_t>{100, 100}));
}

// A list updated only once (the command line) asks a silent controller twice,
// flushing before each try; a stall or noise that ends in time costs one probe.
TEST_F(DevListTest, SecondStatusProbeForAListUpdatedOnce)
{
    list.SetStatusAttempts(2);
    auto stalled = AddBridge("A");
    stalled.Controller->AddFault({Sim::SimFaultKind::Garbage, 20, -1, -1, -1, 1, 1});
    auto silent = AddBridge("B");
    silent.Controller->AddFault({Sim::SimFaultKind::NoReply, 20, -1, -1, -1, 1, 0});
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.GetDev(0)->GetSerial(), "A");
    EXPECT_EQ(stalled.Controller->CountOf(20), 2u);
    EXPECT_EQ(silent.Controller->CountOf(20), 2u);
    EXPECT_TRUE(sink.Shown.empty());
}

TEST_F(DevListTest, OpenFailureIsShownAtEveryUpdate)
{
    auto h = AddBridge("A");
    h.Device->OpenStatus = Bridge::kDeviceIoFailed;
    list.Update();
    list.Update();
    ASSERT_EQ(sink.Shown.size(), 2u);
    EXPECT_EQ(sink.Shown[0].Text, "TNxDev::Open() failed: Device IO Failed");
    EXPECT_EQ(sink.Shown[0].Caption, "NxDevList");
    EXPECT_EQ(sink.Shown[0].Icon, INxMessageSink::Icon::Warning);
    EXPECT_EQ(list.Count(), 0u);
    // Kept for the callers until the next update; a bridge gone by the time
    // it is opened is no error.
    ASSERT_EQ(list.OpenErrors().size(), 1u);
    EXPECT_EQ(list.OpenErrors()[0].Port, "A"); // no path in the simulator: the serial number
    EXPECT_EQ(list.OpenErrors()[0].Message, sink.Shown[0].Text);
    h.Device->OpenStatus = Bridge::kDeviceNotFound;
    list.Update();
    EXPECT_TRUE(list.OpenErrors().empty());
    h.Device->OpenStatus = Bridge::kSuccess;
    list.Update();
    EXPECT_TRUE(list.OpenErrors().empty());
    EXPECT_EQ(list.Count(), 1u);
}

TEST_F(DevListTest, StateFoundAtCreationIsKept)
{
    AddBridge("A");
    auto boot = AddBridge("B");
    boot.Controller->Bootloader = true;
    list.Update();
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_FALSE(list.GetDev(0)->FoundInBootloader());
    EXPECT_TRUE(list.GetDev(1)->FoundInBootloader());
    boot.Controller->Bootloader = false; // not polled: the device keeps what it was found in
    list.Update();
    EXPECT_TRUE(list.GetDev(1)->FoundInBootloader());
}

TEST_F(DevListTest, CountFailuresAndCountZero)
{
    AddBridge("A");
    AddBridge("B");
    list.Update();
    ASSERT_EQ(list.Count(), 2u);

    lib.OverrideCount = true;
    lib.CountStatus = Bridge::kDeviceIoFailed;
    lib.CountValue = 0;
    list.Update();
    EXPECT_EQ(list.Count(), 2u); // unchanged
    ASSERT_EQ(sink.Shown.size(), 1u);
    EXPECT_EQ(sink.Shown[0].Text, "GetNumDevices failed: Device IO Failed");

    // "Device not found" with a count of 0 is an empty bus: all removed, last first.
    lib.CountStatus = Bridge::kDeviceNotFound;
    list.Update();
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(sink.Shown.size(), 1u);
    EXPECT_EQ(events.Events, (Strings{"added A", "added B", "removed B", "removed A"}));
}

TEST_F(DevListTest, EnumerationOpensNothingAndTheFilterOpensOnlyTheChosen)
{
    auto a = AddBridge("A");
    auto b = AddBridge("B", {{1, Component(0x21, 1, "1330001")}});
    auto c = AddBridge("C");
    c.Device->OpenStatus = Bridge::kDeviceIoFailed; // held elsewhere: listed all the same
    std::vector<SBridgeInfo> found;
    ASSERT_EQ(TNxDevList::EnumerateBridges(found), 0);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[1].Index, 1);
    EXPECT_EQ(found[1].Serial, "B");
    EXPECT_EQ(found[1].Name, "Controller (#B)");
    EXPECT_EQ(found[1].Vid, 0x10C4u);
    EXPECT_EQ(found[1].Pid, 0xEA60u);
    for (const auto* h : {&a, &b, &c})
        EXPECT_EQ(h->Device->OpenCount, 0) << h->Device->Serial;
    EXPECT_TRUE(found[0].Known && found[1].Known && found[2].Known);
    // Gone since the count: what failed stays empty, and the entry says so.
    a.Device->StringStatus[Bridge::kSerialNumber] = Bridge::kDeviceNotFound;
    ASSERT_EQ(TNxDevList::EnumerateBridges(found), 0);
    EXPECT_FALSE(found[0].Known);
    EXPECT_EQ(found[0].Serial, "");
    a.Device->StringStatus[Bridge::kSerialNumber] = Bridge::kSuccess;

    list.SetBridgeFilter([](const std::string& serial) { return serial == "B"; });
    ASSERT_TRUE(list.Update());
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.GetDev(0)->GetChannels().size(), 1u);
    EXPECT_EQ(a.Device->OpenCount + c.Device->OpenCount, 0);
    EXPECT_TRUE(sink.Shown.empty());

    // A failed count leaves nothing to go by.
    lib.OverrideCount = true;
    lib.CountStatus = Bridge::kDeviceIoFailed;
    EXPECT_EQ(TNxDevList::EnumerateBridges(found), Bridge::kDeviceIoFailed);
    EXPECT_TRUE(found.empty());
}

TEST_F(DevListTest, PlugUnplugAndReplug)
{
    auto a = AddBridge("A");
    list.Update();
    TNxDev* first = list.GetDev(0);
    auto b = AddBridge("B");
    auto c = AddBridge("C");
    list.Update();
    EXPECT_EQ(list.GetDev(0), first);
    EXPECT_EQ(list.GetDev(1)->GetSerial(), "B");

    // Unplugged and back between two updates: same device, no events.
    a.Device->Unplug();
    a.Device->Plug();
    events.Events.clear();
    list.Update();
    EXPECT_EQ(list.GetDev(0), first);
    EXPECT_TRUE(events.Events.empty());

    // Two gone before one update: both removed, each with its event.
    a.Device->Unplug();
    c.Device->Unplug();
    list.Update();
    EXPECT_EQ(events.Events, (Strings{"removed C", "removed A"}));
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.FindBySerial("B"), list.GetDev(0));
    EXPECT_EQ(list.FindBySerial("b"), nullptr);
    EXPECT_EQ(list.GetDev(list.Count()), nullptr);
}

TEST_F(DevListTest, TicksWhileTheLockIsHeldAreSkipped)
{
    auto a = AddBridge("A");
    list.Update();
    TNxDev* dev = list.GetDev(0);
    {
        // A window action holds the lock and processes messages: the tick
        // that arrives meanwhile must not delete the device under it.
        ScopedSect action(list.Lock);
        a.Device->Unplug();
        EXPECT_FALSE(list.Update());
        EXPECT_EQ(list.GetDev(0), dev);
        EXPECT_EQ(dev->GetSerial(), "A");
    }
    EXPECT_TRUE(list.Update());
    EXPECT_EQ(list.Count(), 0u);

    // A tick inside Update's own message box is skipped as well.
    auto b = AddBridge("B");
    b.Device->OpenStatus = Bridge::kDeviceIoFailed;
    int nested = 0;
    sink.OnShow = [&] { nested += list.Update() ? 1 : 0; };
    list.Update();
    EXPECT_EQ(sink.Shown.size(), 1u);
    EXPECT_EQ(nested, 0);
}

TEST(DevListLifetime, ListenersRegisterOnlyWithAnExistingList)
{
    DevEventRecorder early; // no list yet: never registered
    auto list = std::make_unique<TNxDevList>();
    TNxDevList::SetInstance(list.get());
    auto late = std::make_unique<DevEventRecorder>();
    list.reset(); // the list goes first and clears the pointer
    EXPECT_EQ(TNxDevList::Instance(), nullptr);
    late.reset(); // must not touch the destroyed list
}

TEST(ChannelInfo, LabelsAndWhatTheyAllow)
{
    TNxDev::NxChannelInfo info;
    info.CapabilityFlag = 0x0101;
    info.Identifier = 0x2A;
    EXPECT_EQ(ChannelLabel(3, info), "Channel #3 (0101|2A)");
    EXPECT_TRUE(CanDownload(info));
    EXPECT_FALSE(CanResetFilter(info));
    info.SerialNumber = "133A77";
    EXPECT_EQ(ChannelLabel(1, info), "Channel #1 (0101|2A|133A77)");
    EXPECT_TRUE(CanResetFilter(info));
    info.SerialNumber = "1429";
    EXPECT_TRUE(CanResetFilter(info));
    info.SerialNumber = "13"; // too short to carry the prefix
    EXPECT_FALSE(CanResetFilter(info));
    info.SerialNumber = "134";
    EXPECT_FALSE(CanResetFilter(info));
    info.CapabilityFlag = 0xFFFE;
    EXPECT_FALSE(CanDownload(info));
}
