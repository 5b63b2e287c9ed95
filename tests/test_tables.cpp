// Parameter tables: the records read from XML files, and their update into a
// simulated controller.
#include "Download/NxCmdTblLoader.h"
#include "NxClock.h"
#include "NxCom/TNxDev.h"
#include "NxException.h"
#include "Sim/SimScenario.h"
#include "support/SimRig.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Sim::SimFault;
using Sim::SimFaultKind;

namespace {

std::string TablePath(const char* name)
{
    return name[0] == '/' ? name : std::string(NX_TEST_DATA) + "/tables/" + name;
}

template <class R> Bytes RecordBytes(const R& r, size_t n = sizeof(R))
{
    return Bytes(r.Bytes(), r.Bytes() + n);
}

class LoadTest : public ::testing::Test
{
protected:
    NxCmdTblData Load(const char* name)
    {
        NxCmdTblData data;
        EXPECT_TRUE(LoadTblData(data, TablePath(name).c_str()));
        return data;
    }
    RecordingSink sink; // the reader's report lands here, not on stderr
};

} // namespace

TEST_F(LoadTest, FullTableBytes)
{
    const NxCmdTblData d = Load("incucontrol.xml");
    EXPECT_EQ(d.m_szTblName, "IncuControl");
    EXPECT_EQ(d.m_szTblDate, "2024-01-15");
    EXPECT_EQ(d.m_szTblVersion, "18");
    ASSERT_EQ(d.m_PidParams.size(), 2u);
    ASSERT_EQ(d.m_CompParamSets.size(), 1u);
    EXPECT_EQ(RecordBytes(d.m_PidParams[0]), (Bytes{
                                                 1,    3,    // set, a1
                                                 120,  0,    // b0 mul
                                                 100,  0,    // b0 div
                                                 0xB0, 0xFF, // b1 mul -80
                                                 100,  0,    // b1 div
                                                 0x02, 0x01, // b2 mul 0x0102
                                                 0xE8, 0x03, // b2 div 1000
                                                 0xF4, 0x01, // sampling 500
                                                 4,    0,    // moving average
                                                 0,    0,    // min control
                                                 0xE8, 0x03, // max control
                                                 200,  0,    // min set point
                                                 0x58, 0x02, // max set point 600
                                                 1,    0,    // channel, zero
                                             }));
    Bytes second(28, 0);
    second[0] = 7;
    second[14] = 250;
    second[26] = 2;
    EXPECT_EQ(RecordBytes(d.m_PidParams[1]), second);
    EXPECT_EQ(RecordBytes(d.m_CompParamSets[0]),
              (Bytes{5, 0x21, 'G', 'a', 's', 'P', 'r', 'o', 'b', 'e', 0, 2, 0, 0, 0, 1}));
    EXPECT_EQ(d.m_CompParamSets[0].PayloadLength(), 12u);
    EXPECT_TRUE(sink.Shown.empty());
}

TEST_F(LoadTest, NumbersNamesAndCuts)
{
    const NxCmdTblData d = Load("edge_cases.xml");
    EXPECT_EQ(d.m_szTblName, "Edge"); // element names ignore case
    EXPECT_EQ(d.m_szTblDate, "");     // missing
    EXPECT_EQ(d.m_szTblVersion, "v1");
    ASSERT_EQ(d.m_PidParams.size(), 2u);
    const auto& p = d.m_PidParams[0];
    EXPECT_EQ(p.Channel, 3);     // 0x103 cut to 8 bits
    EXPECT_EQ(p.B0Mul, 16);      // "B0-MUL" with a hexadecimal prefix
    EXPECT_EQ(p.B0Div, 4464);    // 70000, low 16 bits
    EXPECT_EQ(p.B1Mul, 0xFFFF);  // -1
    EXPECT_EQ(p.B1Div, 0xFFFF);  // clamped at the 32-bit limit before the cut
    EXPECT_EQ(p.A1, 10);         // first of two, octal after white space
    EXPECT_EQ(p.Sampling, 12);   // stops at the first non-digit
    EXPECT_EQ(p.MovingAv, 0);    // no digits
    EXPECT_EQ(p.MinControl, 0);  // no text
    EXPECT_EQ(p.MaxSetpoint, 0); // no element
    EXPECT_EQ(p.Reserved, 0);

    // A set without params holds only its number and channel.
    Bytes empty(28, 0);
    empty[0] = 9;
    empty[26] = 3;
    EXPECT_EQ(RecordBytes(d.m_PidParams[1]), empty);

    ASSERT_EQ(d.m_CompParamSets.size(), 3u);
    const auto& longName = d.m_CompParamSets[0];
    EXPECT_EQ(longName.Name(), "ABCDEFGHIJK");
    EXPECT_EQ(longName.PayloadLength(), 15u);
    EXPECT_EQ(RecordBytes(longName),
              (Bytes{1, 0xFF, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 0, 6, 4}));
    const auto& noName = d.m_CompParamSets[1];
    EXPECT_EQ(noName.PayloadLength(), 4u);
    EXPECT_EQ(RecordBytes(noName),
              (Bytes{2, 300 & 0xFF, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4}));
    EXPECT_EQ(d.m_CompParamSets[2].SetNr(), 0x7F);
    EXPECT_EQ(d.m_CompParamSets[2].Bytes()[11], 0x7F);
}

TEST_F(LoadTest, WrapperAndEmptyTables)
{
    const NxCmdTblData w = Load("wrapped.xml");
    EXPECT_EQ(w.m_szTblName, "IncuControl");
    EXPECT_EQ(w.m_szTblVersion, "19");
    ASSERT_EQ(w.m_PidParams.size(), 1u);
    EXPECT_EQ(w.m_PidParams[0].A1, 9);
    EXPECT_EQ(w.m_PidParams[0].Channel, 3);

    const NxCmdTblData n = Load("no_tables.xml");
    EXPECT_EQ(n.m_szTblDate, "2024-03-03");
    EXPECT_TRUE(n.m_PidParams.empty());
    EXPECT_TRUE(n.m_CompParamSets.empty());

    // A second file replaces the texts and adds to the records.
    NxCmdTblData w2 = w;
    ASSERT_TRUE(LoadTblData(w2, TablePath("no_tables.xml").c_str()));
    EXPECT_EQ(w2.m_szTblVersion, "20");
    EXPECT_EQ(w2.m_PidParams.size(), 1u);
    EXPECT_TRUE(sink.Shown.empty());
}

TEST_F(LoadTest, UnreadableFilesAreReportedAndChangeNothing)
{
    for (const char* name : {"missing.xml", "broken.xml", "no_root.xml"}) {
        SCOPED_TRACE(name);
        sink.Shown.clear();
        NxCmdTblData d;
        d.m_szTblName = "keep";
        EXPECT_FALSE(LoadTblData(d, TablePath(name).c_str()));
        EXPECT_EQ(d.m_szTblName, "keep");
        ASSERT_EQ(sink.Shown.size(), 1u);
        EXPECT_EQ(sink.Shown[0].Caption, "XML Parsing error");
        EXPECT_NE(sink.Shown[0].Text.find(name), std::string::npos);
    }
}

// ---- Update against a simulated controller ----

namespace {

using Report = std::pair<std::string, unsigned>;
using Reports = std::vector<Report>;

class ProgressRecorder : public NxTblLoader::ITblLoaderEvent
{
public:
    void OnProgress(const char* text, unsigned percent) override
    {
        Seen.emplace_back(text, percent);
    }
    Reports Seen;
};

class UpdateTest : public ::testing::Test, protected SimRig
{
protected:
    void SetUp() override
    {
        ctl = Install().front().Controller;
        ASSERT_EQ(dev.Open(), 0);
    }

    // Runs the update; returns the exception's text, or "" on success, and
    // keeps its detail.
    std::string Run(const char* file, bool withEvents = true)
    {
        const std::string path = TablePath(file);
        NxTblLoader loader(&dev, path.c_str(), withEvents ? &progress : nullptr);
        try {
            EXPECT_TRUE(loader.Update());
            return "";
        } catch (const NxException& e) {
            Detail = e.Detail();
            return e.Message();
        }
    }
    std::string Detail;

    // Table records, each as command, channel, payload: what the file
    // holds (the first pidCount PID records only, when given) ...
    std::vector<Bytes> Expected(const char* file, size_t pidCount = SIZE_MAX)
    {
        NxCmdTblData d;
        EXPECT_TRUE(LoadTblData(d, TablePath(file).c_str()));
        std::vector<Bytes> out;
        auto add = [&](uint8_t cmd, uint8_t ch, Bytes payload) {
            payload.insert(payload.begin(), {cmd, ch});
            out.push_back(std::move(payload));
        };
        for (size_t i = 0; i < d.m_PidParams.size() && i < pidCount; ++i)
            add(138, d.m_PidParams[i].Channel, RecordBytes(d.m_PidParams[i], 26));
        if (pidCount == SIZE_MAX)
            for (const auto& c : d.m_CompParamSets)
                add(139, c.Channel, RecordBytes(c, c.PayloadLength()));
        return out;
    }
    // ... and what the controller received.
    std::vector<Bytes> Received() const
    {
        std::vector<Bytes> out;
        for (const auto& r : ctl->TableRecords()) {
            out.push_back({r.Cmd, r.Channel});
            out.back().insert(out.back().end(), r.Payload.begin(), r.Payload.end());
        }
        return out;
    }

    // Back to a controller in its application with nothing received.
    void Fresh()
    {
        ctl->ClearFaults();
        ctl->ClearLog();
        ctl->ClearTables();
        ctl->Bootloader = false;
        clock.Clear();
        progress.Seen.clear();
        sink.Shown.clear();
    }

    size_t Writes() const { return ctl->CountOf(12) + ctl->CountOf(13) + ctl->CountOf(14); }

    std::shared_ptr<Sim::SimController> ctl;
    TNxDev dev{0};
    ProgressRecorder progress;
};

} // namespace

TEST_F(UpdateTest, WritesTheFileAndReportsEveryStep)
{
    EXPECT_EQ(Run("incucontrol.xml"), "");
    EXPECT_EQ(ctl->TblName, "IncuControl");
    EXPECT_EQ(ctl->TblDate, "2024-01-15");
    EXPECT_EQ(ctl->TblVersion, "18");
    EXPECT_EQ(Received(), Expected("incucontrol.xml"));
    EXPECT_EQ(progress.Seen, (Reports{{"Loading parameter tables", 0},
                                      {"Check table name against hardware name", 0},
                                      {"Write table name", 16},
                                      {"Write table date", 33},
                                      {"Write table version", 50},
                                      {"Write pid param table #0", 66},
                                      {"Write pid param table #1", 83},
                                      {"Write comp param set #0", 100},
                                      {"Parameter table successfully updated", 100}}));
    // The application ran: no reset, no pause, one status query.
    EXPECT_EQ(ctl->CountOf(1), 0u);
    EXPECT_EQ(ctl->CountOf(20), 1u);
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_TRUE(sink.Shown.empty());
}

TEST_F(UpdateTest, WithoutTablesOnlyTheIdentityIsWritten)
{
    EXPECT_EQ(Run("no_tables.xml", true), "");
    EXPECT_EQ(ctl->TblVersion, "20");
    EXPECT_TRUE(ctl->TableRecords().empty());
    const Reports tail(progress.Seen.begin() + 2, progress.Seen.end());
    EXPECT_EQ(tail, (Reports{{"Write table name", 33},
                             {"Write table date", 66},
                             {"Write table version", 100},
                             {"Parameter table successfully updated", 100}}));
}

TEST_F(UpdateTest, BootloaderIsResetFirst)
{
    ctl->Bootloader = true;
    EXPECT_EQ(Run("wrapped.xml"), "");
    ASSERT_GE(progress.Seen.size(), 2u);
    EXPECT_EQ(progress.Seen[0], Report("Reset to Application ... ", 0));
    EXPECT_EQ(progress.Seen[1], Report("Loading parameter tables", 0));
    EXPECT_EQ(ctl->CountOf(1), 1u);
    EXPECT_EQ(ctl->Log()[1].Payload, Bytes{0x01}); // to the application
    EXPECT_EQ(ctl->CountOf(20), 2u);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{2000});
    EXPECT_EQ(Received(), Expected("wrapped.xml"));
}

TEST_F(UpdateTest, TimeoutsOfTheQueries)
{
    // A lost reply shows the time-out each query was given.
    struct Case
    {
        int Cmd;
        unsigned From;
        bool Bootloader;
        uint32_t Timeout;
        const char* Message;
    };
    const Case cases[] = {
        {20, 1, false, 7500, "'DeviceStatus' failed: "},
        {1, 1, true, 2500, "'ResetToApplication' failed: "},
        {20, 2, true, 5000, "'DeviceStatus' failed: "},
        {4, 1, false, 2500, "'GetHwName' failed: "},
        {12, 1, false, 2500, "Parameter table update failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Message);
        Fresh();
        ctl->Bootloader = c.Bootloader;
        SimFault f;
        f.Cmd = c.Cmd;
        f.From = c.From;
        ctl->AddFault(f);
        const std::string msg = Run("incucontrol.xml");
        EXPECT_EQ(msg.rfind(c.Message, 0), 0u) << msg;
        EXPECT_EQ(clock.Timeouts(), std::vector<uint32_t>{c.Timeout});
        ASSERT_FALSE(progress.Seen.empty());
        const std::string prefix = c.Cmd == 12 ? "" : "Parameter table update failed: ";
        EXPECT_EQ(progress.Seen.back(), Report(prefix + msg, 100));
        EXPECT_TRUE(ctl->TableRecords().empty());
    }
}

TEST_F(UpdateTest, ControllerThatStaysInItsBootloader)
{
    ctl->Bootloader = true;
    ctl->IgnoreResets = true;
    EXPECT_EQ(Run("incucontrol.xml"), "Device did not start its application");
    EXPECT_EQ(progress.Seen.back(),
              Report("Parameter table update failed: Device did not start its application", 100));
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{2000});
    EXPECT_EQ(ctl->CountOf(20), 2u);
    EXPECT_EQ(ctl->CountOf(4), 0u); // not even the hardware name is asked
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(UpdateTest, HardwareNameMustMatchExactly)
{
    EXPECT_EQ(Run("wrong_case.xml"), "Invalid parameter tables for this hardware!\r\n"
                                     "Hardware Name: IncuControl\r\n"
                                     "ParamTable Name: incucontrol");
    EXPECT_EQ(progress.Seen.back().first.rfind("Parameter table update failed: Invalid", 0), 0u);
    EXPECT_EQ(Writes(), 0u);
    EXPECT_TRUE(ctl->TableRecords().empty());
}

TEST_F(UpdateTest, FailedThirdPidWriteKeepsTheEarlierWrites)
{
    for (bool withEvents : {true, false}) {
        SCOPED_TRACE(withEvents);
        Fresh();
        SimFault f;
        f.Kind = SimFaultKind::Reject;
        f.Cmd = 138;
        f.From = 3;
        ctl->AddFault(f);
        EXPECT_EQ(Run("four_pid.xml", withEvents), "Parameter table update failed");
        EXPECT_EQ(Detail.rfind("'TblPidParam' failed: ", 0), 0u) << Detail;
        EXPECT_EQ(ctl->TblVersion, "21");
        EXPECT_EQ(Received(), Expected("four_pid.xml", 2));
        EXPECT_EQ(ctl->CountOf(138), 3u); // the rest is not attempted
        EXPECT_EQ(ctl->CountOf(139), 0u);
        if (withEvents) {
            ASSERT_GE(progress.Seen.size(), 2u);
            EXPECT_EQ(progress.Seen[progress.Seen.size() - 2],
                      Report("Write pid param table #2", 6 * 100 / 8));
            EXPECT_EQ(progress.Seen.back(), Report("Parameter table update failed", 100));
        } else {
            EXPECT_TRUE(progress.Seen.empty());
        }
    }
}

TEST_F(UpdateTest, UnreadableFileFailsBeforeAnyWrite)
{
    for (bool withEvents : {true, false}) {
        SCOPED_TRACE(withEvents);
        Fresh();
        EXPECT_EQ(Run("broken.xml", withEvents), "Parameter table update failed");
        EXPECT_EQ(Detail, "");
        ASSERT_EQ(sink.Shown.size(), 1u);
        EXPECT_EQ(sink.Shown[0].Caption, "XML Parsing error");
        // Read before the first command: the controller was not even asked.
        if (withEvents) {
            EXPECT_EQ(progress.Seen, (Reports{{"Parameter table update failed", 100}}));
        }
    }
    EXPECT_EQ(ctl->CountOf(4), 0u);
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(UpdateTest, TextsTooLongForOneFrameAreRefusedBeforeAnyWrite)
{
    // A frame carries 255 payload bytes: 254 characters and the zero.
    TempFolder dir("tables");
    for (size_t n : {300u, 255u}) {
        const std::string path =
            dir.Write("long_date.xml", "<ParameterTables><Name>IncuControl</Name><Date>" +
                                           std::string(n, '7') +
                                           "</Date><Version>1</Version></ParameterTables>");
        EXPECT_EQ(Run(path.c_str()),
                  StrFormat("Parameter table date is too long for the device (%zu characters, at "
                            "most 254)",
                            n));
        EXPECT_EQ(Writes(), 0u);
    }
}

// A file cut short at any length, or whose text stops at a zero byte, is read
// before the first command and refused: nothing of it reaches the controller.
TEST_F(UpdateTest, IncompleteFilesSendNothing)
{
    const TempFolder dir("cut");
    const std::string path = (dir / "cut.xml").string();
    auto write = [&](const std::string& text) { dir.Write("cut.xml", text); };
    const std::string full = ReadFile(TablePath("incucontrol.xml"));
    const size_t end = full.rfind('>') + 1; // the last end tag complete
    RecordingSink reports;                  // the reader's reports, off stderr

    for (size_t n = 1; n < end; ++n) {
        write(full.substr(0, n));
        ctl->ClearLog();
        const std::string msg = Run(path.c_str(), false);
        ASSERT_TRUE(msg == "Parameter table update failed" ||
                    msg.rfind("The parameter tables in cut.xml are incomplete: ", 0) == 0)
            << n << ": " << msg;
        ASSERT_TRUE(ctl->Log().empty()) << n;
    }
    const struct
    {
        std::string Text;
        const char* Message;
    } zeros[] = {
        // Inside <Date> the reader stops at the zero and the elements stay open.
        {full.substr(0, full.find("</Date>") - 2) + '\0' + full.substr(full.find("</Date>") - 2),
         "The parameter tables in cut.xml are incomplete: Warning: Text after a zero byte at line "
         "5, column 17"},
        // Behind a complete document: zeros and white space pass, text does not.
        {full + std::string("\0\0\n", 3), ""},
        {full + std::string("\0<x/>", 5), "The parameter tables in cut.xml are incomplete: "
                                          "Warning: Text after a zero byte at line 37, column 1"},
    };
    for (const auto& z : zeros) {
        write(z.Text);
        ctl->ClearLog();
        EXPECT_EQ(Run(path.c_str()), z.Message);
        EXPECT_EQ(ctl->Log().empty(), *z.Message != 0);
    }
}
