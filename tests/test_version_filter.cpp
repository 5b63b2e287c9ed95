// Version report, reset, and the filter-change counter against the simulator.
#include "FilterInfo.h"
#include "NxCom/TNxDevList.h"
#include "NxException.h"
#include "Sim/SimScenario.h"
#include "VersionInfo.h"
#include "support/SimRig.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

class ReportTest : public ::testing::Test, protected SimRig
{
protected:
    std::string Report(int channel)
    {
        return FormatVersionReport(ReadVersionInfo(*dev, channel), "\r\n");
    }
    static std::string Failure(const std::function<void()>& f)
    {
        try {
            f();
        } catch (const NxException& e) {
            return e.Message();
        }
        return "no failure";
    }

    Sim::SimHandle sim = InstallListed();
    Sim::SimController* ctl = sim.Controller.get();
    TNxDev* dev = list.GetDev(0);
};

} // namespace

TEST_F(ReportTest, ControllerInApplicationAndInBootloader)
{
    EXPECT_EQ(Report(0),
              "Hardware     Name: IncuControl              Ver: 2.1    \r\n"
              "Bootloader   Name: IncuBoot                 Ver: 1.04    Date: 2019-03-12\r\n"
              "Application  Name: IncuControlApp           Ver: 4.2.0   Date: 2023-09-28\r\n"
              "ParamTables  Name: IncuControl              Ver: 17      Date: 2023-10-02\r\n");
    ctl->Bootloader = true;
    ctl->ClearLog();
    EXPECT_EQ(Report(0),
              "Hardware     Name: IncuControl              Ver: 2.1    \r\n"
              "Bootloader   Name: IncuBoot                 Ver: 1.04    Date: 2019-03-12\r\n");
    EXPECT_EQ(ctl->CountOf(9), 0u); // no application reads in the bootloader
}

TEST_F(ReportTest, ComponentReportsAndLongNames)
{
    ctl->Channel(2)->AppName = "AVeryLongApplicationNameOfThirtyChars";
    EXPECT_EQ(Report(2),
              "Hardware     Name:                          Ver: C      \r\n"
              "Bootloader   Name: MeriBoot                 Ver: 2.0     Date: 2020-07-30\r\n"
              "Application  Name: AVeryLongApplicationNameOfThirtyChars Ver: 1.8     Date: "
              "2021-02-09\r\n");
    ctl->Channel(2)->Bootloader = true;
    EXPECT_EQ(Report(2).find("Application"), std::string::npos);
    EXPECT_EQ(FormatVersionReport(ReadVersionInfo(*dev, 1), "\n").find('\r'), std::string::npos);
}

TEST_F(ReportTest, FailuresNameTheirCause)
{
    ctl->Channel(3)->Silent = true;
    EXPECT_EQ(Failure([&] { Report(3); }), kNoComponentAnswer);
    ctl->AddFault({Sim::SimFaultKind::Reject, 143, 1, -1, 0x07, 1, 1});
    EXPECT_EQ(Failure([&] { Report(1); }), kNoComponentAnswer);
    ctl->AddFault({Sim::SimFaultKind::NoReply, 143, 1, -1, 0x33, 1, 1});
    EXPECT_EQ(Failure([&] { Report(1); }), "'SerialComBootloaderName' failed: Read timed out");
    ctl->AddFault({Sim::SimFaultKind::Reject, 13, -1, -1, -1, 1, 1});
    EXPECT_EQ(Failure([&] { Report(0); }), "'GetTblVer' failed: Frame '0x7F' error");
}

// A bridge that went away gets the line that tells what to do; a device
// that only stays silent does not.
TEST_F(ReportTest, AGoneBridgeIsToldApartFromASilentDevice)
{
    const std::string gone = std::string("\n") + kBridgeDisconnected;
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { Report(0); }, "'DeviceStatus' failed: Device IO Failed"},
        {[&] { Report(1); }, kNoComponentAnswer},
        {[&] { ReadFilterCounters(*dev, 1); },
         "'SerialComGetFilterChange' failed: Device IO Failed"},
        {[&] { ResetFilterCounter(*dev, 1); },
         "'SerialComSetFilterChange' failed: Device IO Failed"},
        {[&] { ResetToApplication(*dev, 0); }, "'ResetToApplication' failed: Device IO Failed"},
    };
    for (const auto& [operation, text] : cases) {
        SCOPED_TRACE(text);
        sim.Device->Unplug();
        EXPECT_EQ(Failure(operation), text + gone);
        sim.Device->Plug(); // back between two polls: the simulated link works again
        ctl->AddFault({Sim::SimFaultKind::NoReply, -1, -1, -1, -1, 1, 0});
        EXPECT_EQ(Failure(operation).find(kBridgeDisconnected), std::string::npos);
        ctl->ClearFaults();
    }
}

TEST_F(ReportTest, ResetToApplication)
{
    ctl->Bootloader = true;
    clock.Clear();
    ResetToApplication(*dev, 0);
    EXPECT_FALSE(ctl->Bootloader);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{250});
    ctl->Channel(2)->Bootloader = true;
    ResetToApplication(*dev, 2);
    EXPECT_FALSE(ctl->Channel(2)->Bootloader);
    ctl->AddFault({Sim::SimFaultKind::NoReply, 1, -1, -1, -1, 1, 1});
    clock.Clear();
    EXPECT_EQ(Failure([&] { ResetToApplication(*dev, 0); }),
              "'ResetToApplication' failed: Read timed out");
    EXPECT_EQ(clock.Timeouts(), std::vector<uint32_t>{5000});
}

TEST_F(ReportTest, FilterCounterReadAndReset)
{
    const NxFilterCounters c = ReadFilterCounters(*dev, 1);
    EXPECT_EQ(FormatFilterText(c), "      Current Runtime:   1234.5 h\n"
                                   "Last Filter Change at:   1000.0 h\n"
                                   "Next filter change at:   1500.0 h\n"
                                   "            Time used:    234.5 h\n"
                                   "            Time left:    265.5 h");
    EXPECT_EQ(ctl->CountOf(143, 0x42), 0u);

    const NxFilterCounters after = ResetFilterCounter(*dev, 1);
    EXPECT_EQ(ctl->CountOf(143, 0x42), 1u);
    EXPECT_EQ(after.LastChange, 12345u); // the component's answer, not a guess
    EXPECT_EQ(after.Interval, 5000u);
    EXPECT_EQ(ctl->Channel(1)->LastFilterChange, 12345u);

    ctl->AddFault({Sim::SimFaultKind::NoReply, 143, 1, -1, 0x39, 1, 1});
    EXPECT_EQ(Failure([&] { ReadFilterCounters(*dev, 1); }),
              "'SerialComGetRuntime' failed: Read timed out");

    // Only a component whose serial number allows it is reset; the others get nothing.
    ctl->ClearLog();
    for (int ch : {0, 2, 4})
        EXPECT_EQ(Failure([&] { ResetFilterCounter(*dev, ch); }),
                  StrFormat("The filter change counter of the component on channel %d cannot "
                            "be reset",
                            ch));
    EXPECT_TRUE(ctl->Log().empty());
}

TEST(FilterText, RuntimeOutsideTheIntervalShowsNegativeHours)
{
    NxFilterCounters before;
    before.Runtime = 900;
    before.LastChange = 1000;
    before.Interval = 50;
    const std::string t = FormatFilterText(before);
    EXPECT_NE(t.find("Time used:    -10.0 h"), std::string::npos) << t;
    EXPECT_NE(t.find("Time left:     15.0 h"), std::string::npos) << t;
    NxFilterCounters past;
    past.Runtime = 2000;
    past.LastChange = 1000;
    past.Interval = 500;
    EXPECT_NE(FormatFilterText(past).find("Time left:    -50.0 h"), std::string::npos);
}
