// Checking before writing: a file inspected without a device, and the dry run
// against the simulated device. Both are held to what a real download of the
// same file does and says.
#include "Download/DownloadAction.h"
#include "Download/DryRunDownload.h"
#include "Download/FileInspection.h"
#include "NxCmdTable.h"
#include "NxException.h"
#include "support/DeviceTargets.h"
#include "support/SimRig.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>

namespace {

const std::string kExamples = std::string(NX_SOURCE_DIR) + "/examples/";

const char* kTables = "<ParameterTables><Name>IncuControl</Name><Date>2024-01-01</Date>"
                      "<Version>18</Version><Table_PID_Parameter channel=\"1\"><Parameterset "
                      "value=\"2\"><param name=\"a1\">5</param></Parameterset>"
                      "</Table_PID_Parameter></ParameterTables>";

class SilentUi : public NxDownloadUi
{
public:
    void ShowProgress(const std::string&, std::optional<unsigned>) override {}
};

// One simulated scenario, listed, for one case.
struct Device
{
    explicit Device(const Sim::SimScenario& sc) : h(rig.InstallListed(sc)) {}
    const std::vector<Sim::SimLogEntry>& Log() const { return h.Controller->Log(); }
    // The message RunDownload raises, "" when it succeeds.
    std::string Download(int channel, const std::string& file)
    {
        SilentUi ui;
        try {
            RunDownload(rig.list, ui, "0001", channel, file);
            return "";
        } catch (const NxException& e) {
            return e.what();
        }
    }
    std::string DryRun(int channel, const std::string& file)
    {
        try {
            return DryRunDownload(rig.list, "0001", channel, file);
        } catch (const NxException& e) {
            return std::string("failed: ") + e.what();
        }
    }

    SimRig rig;
    Sim::SimHandle h;
};

std::string Failure(const std::string& file)
{
    try {
        InspectFile(file);
        return "";
    } catch (const NxException& e) {
        return e.what();
    }
}

std::string Dat(const std::string& hex, const std::string& tables = kTables)
{
    return "<NxDownloadFile><HexFile>" + Base64Encode(hex) + "</HexFile>" + tables +
           "</NxDownloadFile>";
}

class InspectTest : public ::testing::Test
{
protected:
    TempFolder dir{"inspect"};
    PrivateTmp tmp; // a .dat's parts unpack here
    ScopedEnv blkDelay{"BLKDELAY", std::nullopt};
};

} // namespace

// Every example and every profile's image: the facts are the ones a real
// download of the file then shows on the wire, in the flash and in time.
TEST_F(InspectTest, FactsAreWhatTheDownloadDoes)
{
    struct Case
    {
        std::string File;
        int Channel;
        std::string Target;
        std::string Ranges; // first, last of each merged range
    };
    std::vector<Case> cases = {
        {kExamples + "incucontrol_app.hex", 0, "controller application 'IncuControlApp'",
         "C00000-C02FFF C08000-C0807F"},
        {kExamples + "incucontrol_update.dat", 0, "controller application 'IncuControlApp'",
         "C00000-C02FFF C08000-C0807F"},
        {kExamples + "incucontrol_tables.xml", 0, "controller hardware 'IncuControl'", ""},
        {kExamples + "gasprobe.hex", 1, "component 'GasProbe'", "000000-000FFF 006F80-006FFF"},
        {kExamples + "meridian.hex", 2, "component 'Meridian'", "000000-000FFF 00EF00-00EFFF"},
    };
    int ch = 4;
    for (const DeviceProfile* r = kDeviceProfiles; r->IdentityAddress; ++r, ++ch) {
        // The code's blocks and the name's block, at the model's block size.
        const uint32_t code = (r->IdentityAddress & ~0xFFFu) + 0x100;
        const uint32_t name = r->IdentityAddress & ~(r->BlockSize - 1);
        const uint32_t codeEnd = (code + 0x170 + r->BlockSize - 1) & ~(r->BlockSize - 1);
        const std::string ranges =
            name < code
                ? StrFormat("%06X-%06X %06X-%06X", name, name + r->BlockSize - 1, code, codeEnd - 1)
                : StrFormat("%06X-%06X %06X-%06X", code, codeEnd - 1, name,
                            name + r->BlockSize - 1);
        cases.push_back(
            {dir.Write(std::to_string(ch) + ".hex", HexText(ComponentImage(*r, r->ModelName))), ch,
             std::string("component '") + r->ModelName + "'", ranges});
    }
    setenv("BLKDELAY", "3", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.File);
        const FileInspection insp = InspectFile(c.File, c.Channel);
        EXPECT_EQ(InspectionTargetText(insp), c.Target);
        std::string ranges;
        if (insp.Firmware)
            for (const auto& [first, end] : insp.Firmware->Ranges)
                ranges += StrFormat("%s%06X-%06X", ranges.empty() ? "" : " ", first, end - 1);
        EXPECT_EQ(ranges, c.Ranges);

        Device d(ProfileScenario());
        d.h.Device->Written.clear();
        ASSERT_EQ(d.Download(c.Channel, c.File), "");
        EXPECT_FALSE(DeviceWrites(d.Log()).empty()); // which the dry runs below must not send
        // Flash pages, and the checksum sent as a page at 0xC1FF80.
        size_t pages = 0;
        for (const auto& e : d.Log())
            pages += (e.Cmd == 3 && e.Payload[2] != 0xC1) || (e.Cmd == 143 && e.Sub == 0x31);
        const auto sleeps = d.rig.clock.Sleeps();
        uint64_t paused = std::accumulate(sleeps.begin(), sleeps.end(), uint64_t{0});
        // Everything runs its application: the controller is reset first.
        DownloadEstimate est = insp.Firmware ? *insp.Firmware->InApplication : DownloadEstimate{};
        est += insp.TablesInApplication;
        EXPECT_EQ(est.Exchanges, d.Log().size());
        EXPECT_EQ(est.RequestBytes, d.h.Device->Written.size());
        EXPECT_EQ(est.PauseMs, paused);
        EXPECT_EQ(insp.LeastMs(true), est.LeastMs());
        if (insp.Firmware) {
            EXPECT_EQ(insp.Firmware->Pages, pages);
            EXPECT_EQ(insp.Firmware->Bytes, insp.Firmware->Blocks * insp.Firmware->BlockSize);
            if (c.Channel == 0) {
                EXPECT_EQ(insp.Firmware->Checksum.value_or(0), d.h.Controller->LastChecksum());
            } else {
                EXPECT_FALSE(insp.Firmware->Checksum);
            }
        }
    }
}

// Each class of bad file fails with the download's own message; the .xml
// class with the reader's error and place, as a .dat's table part does.
TEST_F(InspectTest, BadFilesFailAsTheDownloadFails)
{
    const std::string hex = HexText({{0xC08000, Name8("IncuControlApp")}});
    // The data record's checksum digit changed: line 2, after the address record.
    std::string badSum = hex;
    badSum[badSum.find('\n', badSum.find('\n') + 1) - 1] ^= 1;
    const std::filesystem::path folder = dir / "folder.hex";
    std::filesystem::create_directory(folder);
    struct Case
    {
        std::string File;
        std::string Message; // the start of it
    };
    const Case cases[] = {
        {dir.Write("notes.txt", hex), "Invalid download file"},
        {dir.Write("sum.hex", badSum), "IntelHex error at line 2: Checksum error"},
        {dir.Write("cut.hex", hex.substr(0, hex.rfind(':'))),
         "IntelHex error at line 3: File end before EOF record"},
        {dir.Write("type3.hex", ":00000003FD\n"), "IntelHex error at line 1: Invalid record type"},
        {(dir / "missing.hex").string(), "IntelHex error at line 0: File open failed"},
        {dir.Write("empty.hex", ":00000001FF\n"), "Open download file first"},
        {folder.string(), folder.string() + " is not a regular file"},
        {dir.Write("t.xml", "<ParameterTables><Name>x</Name"),
         "The parameter tables in t.xml cannot be read: "},
        {dir.Write("long.xml",
                   "<ParameterTables><Name>" + std::string(300, 'n') + "</Name></ParameterTables>"),
         "Parameter table name is too long for the device (300 characters, at most 254)"},
        {dir.Write("nohex.dat", kTables), "Error: First Tag not found"},
        {dir.Write("nofw.dat", "<a><HexFile></HexFile></a>"),
         "The download file holds no firmware: its HexFile element is empty"},
        {dir.Write("b64.dat", "<HexFile>QUJD=</HexFile>"), "Warning: Base64-string"},
        {dir.WriteGzip("badhex.dat", Dat(badSum)), "IntelHex error at line 2: Checksum error"},
        {dir.WriteGzip("badtbl.dat", Dat(hex, "")), "The parameter tables inside badtbl.dat "},
        {dir.Write("damaged.dat", std::string("\x1f\x8b\x08\x00", 4) + std::string(40, 'x')),
         "The download file is damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.File);
        const std::string msg = Failure(c.File);
        EXPECT_EQ(msg.rfind(c.Message, 0), 0u) << msg;
        // The download loads an .xml with the reader's report instead.
        if (DownloadFileKind(c.File) != kKindXml) {
            Device d(Sim::DemoScenario());
            EXPECT_EQ(d.Download(0, c.File), msg);
            EXPECT_EQ(DeviceWrites(d.Log()), std::vector<std::string>{});
        }
    }
    EXPECT_EQ(tmp.Leftovers(), 0u);
}

// The dry run of every target in both states: no request that changes the
// device, the verdict, and the least time inspect gives for that state.
TEST_F(InspectTest, DryRunWritesNothingAndSaysWhatTheDownloadWould)
{
    for (const TargetCase& c : TargetCases()) {
        SCOPED_TRACE(c.What);
        const std::string file = dir.Write("t.hex", HexText(c.Img));
        Device d(TargetScenario(c));
        const std::string verdict = d.DryRun(c.Channel, file);
        EXPECT_EQ(DeviceWrites(d.Log()), std::vector<std::string>{});
        EXPECT_FALSE(d.rig.list.GetDev(0)->IsReadOnly());
        const FileInspection insp = InspectFile(file);
        std::string into = "controller 0001 (IncuControlApp)";
        if (c.Channel > 0) {
            const std::string model = insp.Firmware->Name;
            into = StrFormat("the component on channel %d of controller 0001 (", c.Channel) +
                   (c.Bootloader ? "in its bootloader, the file is for " + model : model) + ")";
        } else if (c.Bootloader) {
            into = "controller 0001 (in its bootloader)";
        }
        EXPECT_EQ(verdict, StrFormat("would download %zu blocks", insp.Firmware->Blocks) +
                               (c.Channel ? StrFormat(" (%zu pages)", insp.Firmware->Pages) : "") +
                               " into " + into + ", at least " +
                               FormatLeastTime(insp.LeastMs(!c.Bootloader)));
    }

    const std::string hex = HexText({{0x10, Pattern(200, 3)}, {0xC08000, Name8("IncuControlApp")}});
    const std::string xml = dir.Write("t.xml", kTables);
    const std::string dat = dir.WriteGzip("u.dat", Dat(hex));
    const std::string tables =
        "the parameter tables 'IncuControl' version 18 of 2024-01-01 (1 PID and 0 component "
        "parameter sets)";
    for (bool boot : {false, true}) {
        auto sc = Sim::DemoScenario();
        sc.Bridges[0].Controller.Bootloader = boot;
        Device d(sc);
        EXPECT_EQ(d.DryRun(0, xml), "would write " + tables + " into controller 0001" +
                                        (boot ? " after a reset into its application" : "") +
                                        ", at least " +
                                        FormatLeastTime(InspectFile(xml).LeastMs(!boot)));
        EXPECT_EQ(d.DryRun(0, dat), std::string("would download 3 blocks into controller 0001 (") +
                                        (boot ? "in its bootloader" : "IncuControlApp") +
                                        ") and then write " + tables + ", at least " +
                                        FormatLeastTime(InspectFile(dat).LeastMs(!boot)));
        EXPECT_EQ(DeviceWrites(d.Log()), std::vector<std::string>{});
    }
    EXPECT_EQ(tmp.Leftovers(), 0u);
}

// A dry run fails where the download would, in its words, and neither
// sends a write, in either state of the target: not even where the download
// once flashed before failing (a component's image for the controller, a .dat
// whose tables are for other hardware).
TEST_F(InspectTest, DryRunRefusesAsTheDownloadDoes)
{
    const std::string hex = HexText({{0xC08000, Name8("IncuControlApp")}});
    const std::string other = "<ParameterTables><Name>Other</Name></ParameterTables>";
    const std::string component = kExamples + "gasprobe.hex";
    struct Case
    {
        int Channel;
        std::string File;
        bool Bootloader = false;
    };
    const Case cases[] = {
        {0, dir.Write("other.hex", HexText({{0xC08000, Name8("OtherApp")}}))},
        {2, component},
        {3, component},
        {9, component},
        {1, kExamples + "incucontrol_tables.xml"},
        {0, dir.Write("other.xml", other)},
        {0, dir.Write("broken.xml", "<ParameterTables><Name>")},
        {0, dir.WriteGzip("other.dat", Dat(hex, other))},
        {0, dir.WriteGzip("other.dat", Dat(hex, other)), true},
        {0, dir.Write("empty.hex", ":00000001FF\n")},
        {0, component},
        {0, component, true},
        {0, dir.WriteGzip("probe.dat", Dat(ReadFile(component))), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.File + " into channel " + std::to_string(c.Channel) +
                     (c.Bootloader ? " in its bootloader" : ""));
        auto sc = Sim::DemoScenario();
        sc.Bridges[0].Controller.Bootloader = c.Bootloader;
        std::string dry;
        {
            Device d(sc);
            dry = d.DryRun(c.Channel, c.File);
            EXPECT_EQ(DeviceWrites(d.Log()), std::vector<std::string>{});
        }
        Device d(sc);
        EXPECT_EQ(dry, "failed: " + d.Download(c.Channel, c.File));
        EXPECT_EQ(DeviceWrites(d.Log()), std::vector<std::string>{});
        if (c.File.ends_with("other.dat")) { // the hardware is asked right after the state
            ASSERT_GE(d.Log().size(), 2u);
            EXPECT_EQ(d.Log()[1].Cmd, CmdDef(NxCmdId::GetHwName).Nr);
        }
    }

    // A component's image names its target in the download's refusal, the
    // dry run's and the desktop program's question alike.
    const std::string refusal =
        "Invalid download file for this device\nThe file is for the component 'GasProbe'.";
    Device d(Sim::DemoScenario());
    EXPECT_EQ(d.Download(0, component), refusal);
    EXPECT_EQ(ConfirmationLines(component, 0), "\n\n" + refusal);
    EXPECT_EQ(ConfirmationLines(component, 1).rfind("\n\nFile for: component 'GasProbe'", 0), 0u);

    // An image that names nothing goes into a waiting bootloader only.
    const std::string nameless = dir.Write("nameless.hex", HexText({{0x10, Pattern(300, 1)}}));
    EXPECT_EQ(d.DryRun(0, nameless), "failed: Invalid download file for this device");
    auto sc = Sim::DemoScenario();
    sc.Bridges[0].Controller.Bootloader = true;
    Device boot(sc);
    EXPECT_EQ(boot.DryRun(0, nameless),
              "would download 3 blocks into controller 0001 (in its bootloader, target unknown), "
              "at least " +
                  FormatLeastTime(InspectFile(nameless).LeastMs(false)));
    EXPECT_EQ(tmp.Leftovers(), 0u);
}
