// The download action shared by both front ends: target and file checks,
// dispatch by kind, .dat unpacking with its temporary files, progress texts.
#include "Download/DownloadAction.h"
#include "Download/NxProgrammer.h"
#include "Download/TempFile.h"
#include "Sim/SimScenario.h"
#include "VersionInfo.h"
#include "support/HexText.h"
#include "support/SimRig.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <functional>

using Strings = std::vector<std::string>;

namespace {

class RecordingUi : public NxDownloadUi
{
public:
    void ShowProgress(const std::string& text, std::optional<unsigned> percent) override
    {
        Statuses.push_back(text);
        if (!percent)
            return;
        Percents.push_back(*percent);
        if (OnProgressHook)
            OnProgressHook();
    }
    std::function<void()> OnProgressHook;
    void OnTargetChecked(TNxDev& dev, int channel) override
    {
        Checked.push_back(dev.GetSerial() + "/" + std::to_string(channel));
    }
    Strings Statuses, Checked;
    std::vector<unsigned> Percents;
};

const char* kTables = R"(<ParameterTables>
  <Name>IncuControl</Name><Date>2024-01-01</Date><Version>18</Version>
  <Table_PID_Parameter channel="1">
    <Parameterset value="2"><param name="a1">5</param></Parameterset>
  </Table_PID_Parameter>
</ParameterTables>)";

class ActionTest : public ::testing::Test, protected SimRig
{
protected:
    // The controller's firmware: its application name at 0xC08000.
    static std::string ControllerHex()
    {
        return HexText({{0x1000, Pattern(300, 7)}, {0xC08000, Name8("IncuControlApp")}});
    }
    // Firmware for the channel-1 component: its model name at 0x6FD0.
    static std::string GasProbeHex()
    {
        return HexText({{0x0000, Pattern(64, 1)}, {0x6FD0, Name8("GasProbe")}});
    }

    TempFolder dir{"action"};
    PrivateTmp tmp; // the .dat download's temporary files, so leftovers show
    Sim::SimHandle sim = InstallListed();
    Sim::SimController* ctl = sim.Controller.get();
    RecordingUi ui;
};

} // namespace

TEST(DownloadKind, ByExtensionInAnyCase)
{
    EXPECT_EQ(DownloadFileKind("fw.hex"), kKindHex);
    EXPECT_EQ(DownloadFileKind("/a/b/FW.Hex"), kKindHex);
    EXPECT_EQ(DownloadFileKind("t.XML"), kKindXml);
    EXPECT_EQ(DownloadFileKind("p.dat"), kKindDat);
    EXPECT_EQ(DownloadFileKind("fw.hex.bak"), kKindNone);
    EXPECT_EQ(DownloadFileKind("firmware"), kKindNone);
    EXPECT_EQ(DownloadFileKind("dir.hex/firmware"), kKindNone);
    EXPECT_EQ(DownloadFileKind(""), kKindNone);
}

TEST(DownloadProgress, BlockTextAndPercent)
{
    ProgBlock block(0x00F80, 128);
    unsigned pct = 0;
    EXPECT_EQ(BlockProgressText(block, 2, 40, &pct),
              "Block: 3/40 - Address: 0x000F80 - Progress: 7%");
    EXPECT_EQ(pct, 7u);
    EXPECT_EQ(BlockProgressText(block, 39, 40, &pct),
              "Block: 40/40 - Address: 0x000F80 - Progress: 100%");
}

TEST_F(ActionTest, ControllerFirmwareFromAHexFile)
{
    const std::string file = dir.Write("app.hex", ControllerHex());
    RunDownload(list, ui, "0001", 0, file);
    EXPECT_EQ(ui.Checked, Strings{"0001/0"});
    EXPECT_TRUE(ctl->ImageValid());
    EXPECT_EQ(ctl->FlashBytes(0x1000, 300, 0), Pattern(300, 7));
    // The last status: the successful download's report of the previous step.
    EXPECT_EQ(ui.Status().rfind("Download successful: Checksum: 0x", 0), 0u) << ui.Status();
    EXPECT_EQ(ui.Statuses.front(), "Reset to Bootloader ...");
    EXPECT_NE(std::find(ui.Statuses.begin(), ui.Statuses.end(), "Clear flash"), ui.Statuses.end());
    EXPECT_EQ(ui.Percents.back(), 100u);
}

TEST_F(ActionTest, ParameterTablesFromAnXmlFile)
{
    RunDownload(list, ui, "0001", 0, dir.Write("t.xml", kTables));
    EXPECT_EQ(ui.Status(), "Parameter table successfully updated");
    ASSERT_EQ(ctl->TableRecords().size(), 1u);
    EXPECT_EQ(ctl->TableRecords()[0].Channel, 1);
}

TEST_F(ActionTest, PackedFileGzipOrPlainDoesBothAndLeavesNoTemporaryFiles)
{
    const std::string doc = "<?xml version=\"1.0\"?>\n<HexFile>" + Base64Encode(ControllerHex()) +
                            "</HexFile>\n" + kTables;
    for (const std::string& file : {dir.WriteGzip("u.dat", doc), dir.Write("plain.DAT", doc)}) {
        SCOPED_TRACE(file);
        ctl->ClearTables();
        ui = RecordingUi();
        RunDownload(list, ui, "0001", 0, file);
        EXPECT_TRUE(ctl->ImageValid());
        EXPECT_EQ(ctl->TableRecords().size(), 1u);
        EXPECT_EQ(ui.Status(), "Parameter table successfully updated");
        EXPECT_EQ(tmp.Leftovers(), 0u);
    }
}

struct Failure
{
    const char* what;
    std::string serial;
    int channel;
    std::string name;    // file name in the test folder
    std::string content; // file content ("" and name "-": no file)
    std::string message;
    bool sendsNothing;
};

TEST_F(ActionTest, EveryFailureEndsWithItsMessage)
{
    const std::string noHex = "<Doc><Other>x</Other></Doc>";
    const std::string emptyHex = "<HexFile>====</HexFile>";
    const std::string notB64 = "<HexFile>Zm9v*YmFy</HexFile>";
    const std::string truncated = "<HexFile>QUJ</HexFile>";
    const std::string firmware = "<HexFile>" + Base64Encode(ControllerHex()) + "</HexFile>";
    const std::string longDate = "<ParameterTables><Name>IncuControl</Name><Date>" +
                                 std::string(300, '7') + "</Date></ParameterTables>";
    const std::string cutTables(kTables, 120);
    const Failure cases[] = {
        {"no extension", "0001", 0, "firmware", "x", "Invalid download file", true},
        {"unknown device", "0002", 0, "a.hex", ControllerHex(), "Device '0002' not found", true},
        {"channel past the last", "0001", 4, "a.hex", ControllerHex(),
         "Invalid channel for device '0001'", true},
        {"negative channel", "0001", -1, "a.hex", ControllerHex(),
         "Invalid channel for device '0001'", true},
        {"tables for a component", "0001", 1, "t.xml", kTables, "File not supported in SerialMode",
         true},
        {"packed file for a component", "0001", 3, "u.dat", kTables,
         "File not supported in SerialMode", true},
        {"component that takes no firmware", "0001", 3, "s.hex", ControllerHex(),
         "The component on channel 3 cannot be downloaded", true},
        {"bad HEX", "0001", 0, "bad.hex", ":00000001FF\n", "Open download file first", true},
        {"HEX error", "0001", 0, "bad2.hex", ":0100000000FF\nxyz\n",
         "IntelHex error at line 2: Not a IntelHex-File (invalid record header)", true},
        {"HEX checksum", "0001", 0, "bad3.hex", ":0100000000FE\n",
         "IntelHex error at line 1: Checksum error", true},
        {"packed without HexFile", "0001", 0, "n.dat", noHex, "Error: First Tag not found", true},
        {"HexFile decodes to nothing", "0001", 0, "e.dat", emptyHex,
         "IntelHex error at line 1: File end before EOF record", true},
        {"HexFile not Base64", "0001", 0, "b.dat", notB64,
         "Error: Base64-string contains an illegal character", true},
        {"HexFile truncated", "0001", 0, "t.dat", truncated, "Warning: Base64-string is truncated",
         true},
        {"packed file missing", "0001", 0, "-", "", "Error: No elements found", true},
        // Both parts of a .dat are checked before the firmware is flashed.
        {"packed without tables", "0001", 0, "p.dat", "<Doc>" + firmware + "</Doc>",
         "The parameter tables inside p.dat cannot be read: Error: First Tag not found", true},
        {"packed tables too long", "0001", 0, "l.dat", "<Doc>" + firmware + longDate + "</Doc>",
         "Parameter table date is too long for the device (300 characters, at most 254)", true},
        {"tables cut short", "0001", 0, "cut.xml", cutTables,
         "The parameter tables in cut.xml are incomplete: Warning: Unmatched end tag at line 3, "
         "column 32",
         true},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.what);
        ctl->ClearLog();
        const std::string file =
            c.name == "-" ? (dir / "missing.dat").string() : dir.Write(c.name, c.content);
        try {
            RunDownload(list, ui, c.serial, c.channel, file);
            ADD_FAILURE() << "no failure";
        } catch (const NxException& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        if (c.sendsNothing) {
            EXPECT_TRUE(ctl->Log().empty());
        }
        EXPECT_EQ(tmp.Leftovers(), 0u);
    }
}

TEST_F(ActionTest, ChannelEqualToTheCountIsValid)
{
    TNxDev* dev = list.GetDev(0);
    EXPECT_TRUE(IsValidChannel(list, *dev, 3));
    EXPECT_TRUE(IsValidChannel(list, *dev, 0));
    EXPECT_FALSE(IsValidChannel(list, *dev, 4));
}

TEST_F(ActionTest, ProgrammerFailureBecomesTheMessageAndTellsWhereTheTargetIsLeft)
{
    using Sim::SimFault;
    using Sim::SimFaultKind;
    const std::string controller = "The controller is left in its bootloader: repeat the "
                                   "download once it is listed again.";
    const std::string component = "The component on channel 1 is left in its bootloader: "
                                  "repeat the download once it is listed again.";
    struct Row
    {
        const char* what;
        int channel;
        std::function<void(Sim::SimController&)> arrange;
        std::string message;
    };
    const Row rows[] = {
        {"reset to bootloader unanswered", 0,
         [](auto& c) {
             c.AddFault(SimFault{SimFaultKind::NoReply, 1});
         },
         "'ResetToBootloader' failed: Read timed out"},
        {"bootloader not entered", 0, [](auto& c) { c.IgnoreResets = true; },
         "Device did not enter its bootloader"},
        {"page lost after the erase", 0,
         [](auto& c) {
             c.AddFault({SimFaultKind::NoReply, 3, -1, -1, -1, 1, 0});
         },
         "Download of block #0/4 failed: Read timed out\n" + controller},
        {"reset to application unanswered", 0,
         [](auto& c) {
             c.AddFault({SimFaultKind::NoReply, 1, -1, -1, -1, 2, 1});
         },
         "'ResetToApplication' failed: Read timed out\n" + controller},
        {"found in its bootloader, erase lost", 0,
         [](auto& c) {
             c.Bootloader = true;
             c.AddFault({SimFaultKind::NoReply, 2});
         },
         "'ProgEraseFlash' failed: Read timed out\n" + controller},
        {"component: switch unanswered", 1,
         [](auto& c) {
             c.AddFault({SimFaultKind::NoReply, 143, 1, -1, 0x30});
         },
         "'SerialComEnterBootloader' failed: Read timed out"},
        {"component: page lost", 1,
         [](auto& c) {
             c.AddFault({SimFaultKind::NoReply, 143, 1, -1, 0x31, 1, 0});
         },
         "Download of block #0/2 failed: Read timed out\n" + component},
        // Last: the bridge stays unplugged.
        {"pulled out at the first page", 0,
         [](auto& c) {
             c.AddFault({SimFaultKind::Unplug, 3});
         },
         "Download of block #0/4 failed: Device IO Failed\n" + controller + "\n" +
             kBridgeDisconnected},
    };
    const std::string hex = dir.Write("app.hex", ControllerHex());
    const std::string gas = dir.Write("gas.hex", GasProbeHex());
    // A front end that stops the download marks its failure; the mark survives
    // the programmer's report.
    ctl->Bootloader = true;
    ui.OnProgressHook = [] { throw NxException("stopped").Mark(NxFailure::Interrupted); };
    try {
        RunDownload(list, ui, "0001", 0, hex);
        ADD_FAILURE() << "no failure";
    } catch (const NxException& e) {
        EXPECT_TRUE(e.Is(NxFailure::Interrupted) && e.Is(NxFailure::LeftInBootloader));
    }
    ui.OnProgressHook = nullptr;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        *ctl = Sim::DemoScenario().Bridges[0].Controller;
        r.arrange(*ctl);
        try {
            RunDownload(list, ui, "0001", r.channel, r.channel ? gas : hex);
            ADD_FAILURE() << "no failure";
        } catch (const NxException& e) {
            EXPECT_EQ(e.Message(), r.message);
            // What the callers act on travels as data beside the words.
            const auto says = [&](const std::string& part) {
                return r.message.find(part) != std::string::npos;
            };
            EXPECT_EQ(e.Is(NxFailure::LeftInBootloader), says(" is left in its bootloader: "));
            EXPECT_EQ(e.Is(NxFailure::BridgeDisconnected), says(kBridgeDisconnected));
            EXPECT_FALSE(e.Is(NxFailure::Interrupted));
        }
        // The status line keeps the programmer's text alone.
        EXPECT_EQ(ui.Status(), "Download failed: " + r.message.substr(0, r.message.find('\n')));
    }
}

// A download cut short by an unplug or a power loss leaves the target in its
// bootloader. Once it is listed again it reports its two bootloader lines,
// and the repeated download completes.
TEST_F(ActionTest, RecoveryFromTheBootloaderAfterAnUnplugOrAPowerLoss)
{
    using Sim::SimFaultKind;
    const std::string hex = dir.Write("app.hex", ControllerHex());
    const std::string gas = dir.Write("gas.hex", GasProbeHex());
    struct Row
    {
        const char* what;
        int channel;
        Sim::SimFault fault;
        bool powerLoss; // the controller goes silent, then starts again
    };
    const Row rows[] = {
        {"controller unplugged at the second page",
         0,
         {SimFaultKind::Unplug, 3, -1, -1, -1, 2},
         false},
        // Status, name, reset, status, erase, first page: silent from the seventh request on.
        {"controller loses power at the second page",
         0,
         {SimFaultKind::NoReply, -1, -1, -1, -1, 7, 0},
         true},
        {"component unplugged at its first page",
         1,
         {SimFaultKind::Unplug, 143, 1, -1, 0x31},
         false},
    };
    ctl->StayWithoutImage = true; // an erased controller cannot leave its bootloader
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string& file = r.channel ? gas : hex;
        ctl->AddFault(r.fault);
        EXPECT_THROW(RunDownload(list, ui, "0001", r.channel, file), NxException);
        ctl->ClearFaults();
        if (r.powerLoss)
            ctl->PowerUp();

        // The next polls: a pulled bridge goes, and comes back when plugged in.
        list.Update();
        if (!sim.Device->IsPlugged()) {
            EXPECT_EQ(list.Count(), 0u);
            sim.Device->Plug();
            list.Update();
        }
        ASSERT_EQ(list.Count(), 1u);
        TNxDev& dev = *list.GetDev(0);
        if (r.channel == 0 && !r.powerLoss) {
            EXPECT_TRUE(dev.FoundInBootloader());
        }
        const NxVersionInfo info = ReadVersionInfo(dev, r.channel);
        EXPECT_FALSE(info.HasApplication);
        const std::string report = FormatVersionReport(info, "\n");
        EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 2) << report;

        EXPECT_NO_THROW(RunDownload(list, ui, "0001", r.channel, file));
        if (r.channel == 0) {
            EXPECT_TRUE(ctl->ImageValid());
            EXPECT_FALSE(ctl->Bootloader);
        } else {
            EXPECT_FALSE(ctl->Channel(1)->Bootloader);
        }
    }
}

TEST_F(ActionTest, ComponentFirmware)
{
    const std::string file =
        dir.Write("gas.hex", HexText({{0x0000, Pattern(256, 1)}, {0x6FD0, Name8("GasProbe")}}));
    RunDownload(list, ui, "0001", 1, file);
    EXPECT_EQ(ui.Checked, Strings{"0001/1"});
    EXPECT_EQ(ui.Status(), "Download successful: Reset to Application ...");
    EXPECT_FALSE(ctl->Channel(1)->Pages.empty());

    // The sensor on channel 3 takes .hex files only; a .dat for it is refused above.
    EXPECT_THROW(RunDownload(list, ui, "0001", 2, file), NxException); // Meridian != GasProbe
}

TEST_F(ActionTest, PackedFileOfMillionsOfTagsIsRefusedBeforeParsing)
{
    std::string doc;
    doc.reserve(3u << 21);
    for (int i = 0; i < (1 << 20) + 1; ++i)
        doc += "<a>";
    const std::string file = dir.WriteGzip("tags.dat", doc);
    try {
        RunDownload(list, ui, "0001", 0, file);
        FAIL();
    } catch (const NxException& e) {
        EXPECT_EQ(e.Message(), "The download file holds too many XML elements (1048577, at most "
                               "1048576): " +
                                   file);
    }
    EXPECT_TRUE(ctl->Log().empty());
    EXPECT_EQ(tmp.Leftovers(), 0u);
}

TEST_F(ActionTest, InterruptedPackedDownloadCanRemoveItsTemporaryFiles)
{
    // What a front end's signal handler does in the middle of a .dat download.
    const std::string doc =
        "<Doc><HexFile>" + Base64Encode(ControllerHex()) + "</HexFile>" + kTables + "</Doc>";
    const std::string file = dir.WriteGzip("u.dat", doc);
    size_t during = 0, after = 99;
    ui.OnProgressHook = [&] {
        if (during == 0)
            during = tmp.Leftovers();
        if (after == 99 && during == 2) {
            RemovePendingTempFiles();
            after = tmp.Leftovers();
        }
    };
    // Both parts were read before the first command, so the download ends.
    EXPECT_NO_THROW(RunDownload(list, ui, "0001", 0, file));
    EXPECT_EQ(during, 2u); // the HEX part and the document
    EXPECT_EQ(after, 0u);
    EXPECT_EQ(tmp.Leftovers(), 0u);
}
