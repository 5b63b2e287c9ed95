// The bridge port: identity, open/close states, status texts, and the
// communication log byte for byte.
#include "support/LinkFixture.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using Bridge::kDeviceNotFound;

TEST(StatusText, WholeTable)
{
    const std::pair<int, const char*> rows[] = {{0, "Success"},
                                                {1, "Invalid handle"},
                                                {2, "Read error"},
                                                {3, "RX queue not ready"},
                                                {4, "Write error"},
                                                {5, "Reset error"},
                                                {6, "Invalid parameter"},
                                                {7, "Invalid request length"},
                                                {8, "Device IO Failed"},
                                                {9, "Invalid baudrate"},
                                                {10, "Function not supported"},
                                                {11, "Global data error"},
                                                {12, "System error code"},
                                                {13, "Read timed out"},
                                                {14, "Write timed out"},
                                                {15, "IO pending"},
                                                {16, "Unknown error"},
                                                {255, "Device not found"},
                                                {-1000, "Device already opened"},
                                                {-1001, "No device available"},
                                                {-1, "Unknown error"}};
    for (auto [code, text] : rows)
        EXPECT_STREQ(CP2102Com::StatusText(code), text) << code;
}

using PortTest = LinkFixture;

TEST_F(PortTest, IdentityQueries)
{
    dev->VidText = "10C4";
    dev->PidText = "12G4"; // parse stops at the first non-hex character
    uint32_t pid = 7, vid = 7;
    ASSERT_EQ(CP2102Com::GetIds(0, pid, vid), 0);
    EXPECT_EQ(vid, 0x10C4u);
    EXPECT_EQ(pid, 0x12u);

    std::string name, serial;
    ASSERT_EQ(CP2102Com::GetDisplayName(name, 0), 0);
    EXPECT_EQ(name, "Controller (#0001)");
    ASSERT_EQ(CP2102Com::GetSerial(serial, 0), 0);
    EXPECT_EQ(serial, "0001");

    // First query fails: its status, no second query, outputs untouched.
    dev->StringStatus[Bridge::kProductId] = Bridge::kDeviceIoFailed;
    lib.Calls.clear();
    pid = vid = 7;
    EXPECT_EQ(CP2102Com::GetIds(0, pid, vid), Bridge::kDeviceIoFailed);
    EXPECT_EQ(lib.Calls, (std::vector<std::string>{"GetProductString 0 4"}));
    EXPECT_EQ(pid, 7u);
    EXPECT_EQ(vid, 7u);

    std::string keep = "old";
    EXPECT_EQ(CP2102Com::GetSerial(keep, 5), kDeviceNotFound);
    EXPECT_EQ(keep, "old");
}

TEST_F(PortTest, OpenAndCloseStates)
{
    CP2102Com port(0);
    EXPECT_EQ(port.Close(), NX_WRONG_STATE);
    ASSERT_EQ(port.Open(), 0);
    EXPECT_EQ(port.Open(), NX_WRONG_STATE);
    EXPECT_EQ(dev->OpenCount, 1); // the first handle is kept
    EXPECT_EQ(port.Close(), 0);
    EXPECT_FALSE(dev->IsOpen);
}

TEST_F(PortTest, OpenSequenceOfTheLink)
{
    ASSERT_EQ(com.Open(), 0);
    EXPECT_EQ(dev->Calls, (std::vector<std::string>{"Open", "SetBaudRate 57600", "Flush 1 1"}));
    EXPECT_EQ(lib.ReadTimeout(), 250u);
    EXPECT_EQ(lib.WriteTimeout(), 250u);
    EXPECT_FALSE(com.IsTracing()); // the log is off unless switched on

    NxCom failing(0);
    dev->BaudStatus = Bridge::kInvalidBaudrate;
    EXPECT_EQ(failing.Open(), Bridge::kInvalidBaudrate);
    EXPECT_FALSE(failing.IsOpen());

    lib.OverrideCount = true;
    lib.CountValue = 0;
    NxCom none(0);
    EXPECT_EQ(none.Open(), NX_NO_DEVICE);
}

// One dump line: prefix (padded to 32), a hex area of 52 columns, the characters.
static std::string DumpLine(std::string prefix, const std::string& hex, const std::string& chars)
{
    if (prefix.size() < 32)
        prefix.append(32 - prefix.size(), ' ');
    std::string area = hex;
    area.append(52 - area.size(), ' ');
    std::string text = chars;
    text.append(16 - text.size(), ' ');
    return prefix + area + " [" + text + "]\n";
}

static const std::string D = "\xB7"; // non-printable bytes show as a middle dot
static const std::string T = "12:34:56.789: ";

TEST_F(PortTest, HexDumpLayout)
{
    TempFolder dir("dump");
    const auto path = dir / "log.txt";
    CP2102Com port(0);
    port.OpenTrace(path.string());
    ASSERT_TRUE(port.IsTracing());

    const uint8_t bytes19[] = {0xF0, 0x02, 0x14, 0x00, 0x52, 0x41, 0x42, 0xE9, 0x00, 0x30,
                               0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39};
    port.TraceData("SI_Read", bytes19, 19);
    port.TraceData("SI_Write", bytes19, 16);
    port.TraceData("SI_Write", bytes19, 17);
    port.TraceData("Read failed but some bytes received", bytes19, 2);
    port.TraceData("SI_Read", nullptr, 0);
    port.TraceLine("Read failed, error code = %d (%s)\n", 13, "Read timed out");
    port.CloseTrace();

    // The two lines exactly as a reader sees them.
    std::string want =
        "12:34:56.789: SI_Read:          F0 02 14 00  52 41 42 E9 | 00 30 31 32  33 34 35 36  [" +
        D + D + D + D + "RAB" + D + D + "0123456]\n" +
        "                                37 38 39                                             "
        "[789             ]\n";
    const std::string full = "F0 02 14 00  52 41 42 E9 | 00 30 31 32  33 34 35 36 ";
    const std::string chars = D + D + D + D + "RAB" + D + D + "0123456";
    want += DumpLine(T + "SI_Write: ", full, chars);
    want += DumpLine(T + "SI_Write: ", full, chars);
    want += DumpLine("", "37 ", "7");
    // A prefix of 32 or more gets no filling.
    want += DumpLine(T + "Read failed but some bytes received: ", "F0 02 ", D + D);
    want += T + "SI_Read: (no data)";
    want += T + "Read failed, error code = 13 (Read timed out)\n";
    EXPECT_EQ(ReadFile(path), want);
}

TEST_F(PortTest, ExchangeLogOfSuccessAndFailures)
{
    TempFolder dir("comlog");
    CAppCfg::Instance().SetComLog(true, dir.String());
    ASSERT_EQ(com.Open(), 0);
    ASSERT_TRUE(com.IsTracing());

    peer->Queue({0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00});
    NxCmd ok(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    EXPECT_TRUE(com.Execute(ok, 100));
    peer->Queue({0xF0, 0x00, 0x14, 0x00, 0x52, 0x00, 0x00});
    NxCmd crc(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    EXPECT_FALSE(com.Execute(crc, 100));
    peer->Queue({0xF0, 0x04, 0x14});
    NxCmd cut(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    EXPECT_FALSE(com.Execute(cut, 2500));
    dev->WriteFailures = 1;
    dev->WriteStatus = Bridge::kWriteTimedOut;
    dev->WriteAcceptBeforeFail = 3;
    NxCmd wr(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    EXPECT_FALSE(com.Execute(wr, 100));

    const std::string request =
        DumpLine(T + "SI_Write: ", "F0 00 14 00  52 66 00 ", D + D + D + D + "Rf" + D);
    const std::string head = DumpLine(T + "SI_Read: ", "F0 00 14 00  52 ", D + D + D + D + "R");
    std::string want;
    want += T + "--- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n";
    want += T + "Writing...\n" + request;
    want += T + "Reading...\n" + head;
    want += T + "Reading...\n" + DumpLine(T + "SI_Read: ", "66 00 ", "f" + D);
    want += T + "--- RESP: OK: CmdNr=20\n";
    // Checksum error: the reply is logged, then ERROR1.
    want += T + "--- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n";
    want += T + "Writing...\n" + request;
    want += T + "Reading...\n" + head;
    want += T + "Reading...\n" + DumpLine(T + "SI_Read: ", "00 00 ", D + D);
    want += T + "--- RESP: ERROR1: Msg=Frame CRC error\n";
    // Cut short: the partial bytes and the failure, no RESP line.
    want += T + "--- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=2500\n";
    want += T + "Writing...\n" + request;
    want += T + "Reading...\n" +
            DumpLine(T + "Read failed but some bytes received: ", "F0 04 14 ", D + D + D);
    want += T + "Read failed, error code = 13 (Read timed out)\n";
    // Write failure: unsent count, then the code.
    want += T + "--- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n";
    want += T + "Writing...\n";
    want += T + "Write failed, 4 bytes were not written\n";
    want += T + "Write failed, error code = 14\n";
    EXPECT_EQ(ReadFile(dir / "NxComLog_0.txt"), want);
}

// In wire-time mode the bytes' line time is what passes in all, on any clock:
// what a pause overran (a real timer's slack) is taken off the next one.
TEST_F(PortTest, WireTimeTakesAPausesOverrunOffTheNext)
{
    struct SlackClock : VirtualClock
    {
        explicit SlackClock(uint64_t slackNs) : SlackNs(slackNs) {}
        void SleepMs(uint32_t ms) override
        {
            VirtualClock::SleepMs(ms);
            Slept += SlackNs;
        }
        uint64_t NowNs() override { return NowMs() * 1'000'000 + Slept; }
        uint64_t SlackNs, Slept = 0;
    };
    lib.SetWireTime(true);
    OpenLink();
    for (const uint64_t slackNs : {0, 600'000}) {
        SCOPED_TRACE(slackNs);
        SlackClock c(slackNs);
        ScopedClock use(c);
        const Bytes chunk(16, 0x55);
        for (int i = 0; i < 360; ++i) // 5760 bytes: one second at 57600 bit/s
            ASSERT_EQ(com.Write(chunk.data(), 16), 0);
        EXPECT_NEAR(static_cast<double>(c.NowNs()), 1e9, 1e6);
        EXPECT_GT(c.Sleeps().size(), 300u);
    }
}

// The log's name is predictable and its folder may be shared: a planted
// symlink or FIFO is never written through, a new log is private, a second
// program writes beside the first, and a log that cannot be written is told
// once while the link goes on without it.
TEST_F(PortTest, ComLogIsOpenedSafely)
{
    const TempFolder dir("comlogsafe");
    const auto log = [&](const char* name) { return (dir / name).string(); };
    dir.Write("victim.txt", "keep");
    std::filesystem::create_symlink(dir / "victim.txt", dir / "NxComLog_0.txt");
    ASSERT_EQ(::mkfifo(log("NxComLog_1.txt").c_str(), 0600), 0);
    sink.Shown.clear();
    // What the message sink was told since the last call, one per line.
    const auto told = [this](INxMessageSink::Icon icon = INxMessageSink::Icon::Warning) {
        std::string text;
        for (const ShownMessage& m : sink.Shown) {
            EXPECT_EQ(m.Caption, "");
            EXPECT_EQ(m.Icon, icon) << m.Text;
            text += (text.empty() ? "" : "\n") + m.Text;
        }
        sink.Shown.clear();
        return text;
    };

    CP2102Com planted(0), fifo(1), fresh(2), second(2), gone(3);
    EXPECT_EQ(planted.OpenTrace(log("NxComLog_0.txt")), "");
    EXPECT_EQ(fifo.OpenTrace(log("NxComLog_1.txt")), "");
    EXPECT_EQ(planted.OpenTrace(log("NxComLog_0.txt")), ""); // told once only
    EXPECT_EQ(gone.OpenTrace(log("no/such/NxComLog_3.txt")), "");
    EXPECT_FALSE(planted.IsTracing() || fifo.IsTracing() || gone.IsTracing());
    EXPECT_EQ(ReadFile(dir / "victim.txt"), "keep");
    EXPECT_EQ(told(), "The communication log " + log("NxComLog_0.txt") +
                          " cannot be written: it is a symbolic link. The program goes on without "
                          "it.\nThe communication log " +
                          log("NxComLog_1.txt") +
                          " cannot be written: it is not a regular file. The program goes on "
                          "without it.\nThe communication log " +
                          log("no/such/NxComLog_3.txt") +
                          " cannot be written: No such file or directory. The program goes on "
                          "without it.");

    EXPECT_EQ(fresh.OpenTrace(log("NxComLog_2.txt")), log("NxComLog_2.txt"));
    EXPECT_EQ(std::filesystem::status(dir / "NxComLog_2.txt").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string beside = log("NxComLog_2-") + std::to_string(::getpid()) + ".txt";
    EXPECT_EQ(second.OpenTrace(log("NxComLog_2.txt")), beside);
    EXPECT_EQ(told(INxMessageSink::Icon::Information),
              "The communication log " + log("NxComLog_2.txt") +
                  " is in use by another program; this one writes " + beside + ".");
    fresh.TraceLine("first\n");
    second.TraceLine("second\n");
    EXPECT_EQ(ReadFile(dir / "NxComLog_2.txt").find("second"), std::string::npos);
    EXPECT_NE(ReadFile(beside).find("second"), std::string::npos);

    // A log that is not this user's own file with one name is left as it is:
    // a hard link planted there, another user's file in a shared folder.
    dir.Write("linked.txt", "keep");
    std::filesystem::create_hard_link(dir / "linked.txt", dir / "NxComLog_4.txt");
    CP2102Com linked(4);
    EXPECT_EQ(linked.OpenTrace(log("NxComLog_4.txt")),
              log("NxComLog_4-") + std::to_string(::getpid()) + ".txt");
    EXPECT_EQ(ReadFile(dir / "linked.txt"), "keep");
    told(INxMessageSink::Icon::Information);
    if (::geteuid() == 0) {
        const TempFolder shared("sticky");
        ::chmod(shared.String().c_str(), 01777);
        const std::string foreign = shared.Write("NxComLog_5.txt", "theirs");
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        ::chmod(foreign.c_str(), 0666);
        CP2102Com other(5);
        EXPECT_EQ(other.OpenTrace(foreign),
                  (shared / "NxComLog_5-").string() + std::to_string(::getpid()) + ".txt");
        EXPECT_EQ(ReadFile(foreign), "theirs");
        told(INxMessageSink::Icon::Information);
    }

    // Disk full, made with a file size limit: the log ends, told once.
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = std::filesystem::file_size(dir / "NxComLog_2.txt") + 8;
    ::setrlimit(RLIMIT_FSIZE, &small);
    fresh.TraceLine("%s\n", std::string(64, 'x').c_str());
    fresh.TraceLine("more\n");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(fresh.IsTracing());
    EXPECT_EQ(told(), "The communication log " + log("NxComLog_2.txt") +
                          " cannot be written: File too large. The program goes "
                          "on without it.");
}
