// Frames on the wire, replies read with the fewest reads, and every way a
// reply can be broken.
#include "NxCom/TNxDev.h"
#include "NxException.h"
#include "support/LinkFixture.h"

using Bridge::kReadTimedOut;
namespace fs = std::filesystem;

namespace {

// A command whose reply hooks can be observed.
class ProbeCmd : public NxCmd
{
public:
    using NxCmd::NxCmd;
    void OnResponse() override { ++responses; }
    void OnFrameError() override { ++frameErrors; }
    bool IsResponseValid() override { return valid; }
    int responses = 0, frameErrors = 0;
    bool valid = true;
};

NxCmd DeviceStatus()
{
    return NxCmd(20, "DeviceStatus", 0, 0x52, nullptr, 0);
}

} // namespace

using FrameTest = LinkFixture;

TEST_F(FrameTest, RequestsOnTheWire)
{
    OpenLink();
    NxCmd sts = DeviceStatus();
    com.Execute(sts, 100);
    EXPECT_EQ(dev->Written, (Bytes{0xF0,          // start
                                   0x00,          // length
                                   0x14,          // command 20
                                   0x00,          // channel
                                   0x52,          // 'R'
                                   0x66, 0x00})); // sum, low byte first

    // A payload byte F0 is doubled, the length counts it once.
    dev->Written.clear();
    const uint8_t f0 = 0xF0;
    NxCmd one(1, "X", 0, 0x57, &f0, 1);
    com.Execute(one, 100);
    EXPECT_EQ(dev->Written, (Bytes{0xF0, 0x01, 0x01, 0x00, 0x57, 0xF0, 0xF0, 0x48, 0x01}));

    // A checksum low byte of F0 is stuffed: 14 + 00 + 52 + 8A = 0xF0.
    dev->Written.clear();
    const uint8_t b8a = 0x8A;
    NxCmd lo(20, "X", 0, 0x52, &b8a, 1);
    com.Execute(lo, 100);
    EXPECT_EQ(dev->Written, (Bytes{0xF0, 0x01, 0x14, 0x00, 0x52, 0x8A, 0xF0, 0xF0, 0x00}));

    // Length 240 and a checksum high byte of F0: 0x90 + 0x60 + 240 * 0xFF = 0xF000.
    dev->Written.clear();
    const Bytes ff(240, 0xFF);
    NxCmd big(0x90, "X", 0, 0x60, ff.data(), ff.size());
    com.Execute(big, 100);
    Bytes want{0xF0, 0xF0, 0xF0, 0x90, 0x00, 0x60};
    want.reserve(256);
    want.insert(want.end(), ff.begin(), ff.end());
    for (uint8_t b : {0x00, 0xF0, 0xF0})
        want.push_back(b);
    EXPECT_EQ(dev->Written, want);
}

TEST_F(FrameTest, ShortestReplyTakesTwoReads)
{
    OpenLink();
    peer->Queue({0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00});
    ProbeCmd cmd(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    ASSERT_TRUE(com.Execute(cmd, 100));
    EXPECT_EQ(dev->ReadRequests, (std::vector<uint32_t>{5, 2}));
    EXPECT_EQ(cmd.responses, 1);
    EXPECT_EQ(cmd.GetFrameLength(), 7);
    EXPECT_EQ(cmd.GetBuffer()[7], 0); // zero after the frame
}

TEST_F(FrameTest, StuffedPairsCostOneMoreReadEach)
{
    OpenLink();
    // Payload F0 (pair in the second block): 5, then 3, then the 1 byte the pair added.
    peer->Queue({0xF0, 0x01, 0x14, 0x00, 0x52, 0xF0, 0xF0, 0x56, 0x01});
    NxCmd cmd = DeviceStatus();
    ASSERT_TRUE(com.Execute(cmd, 100)) << cmd.GetErrMsg();
    EXPECT_EQ(dev->ReadRequests, (std::vector<uint32_t>{5, 3, 1}));
    EXPECT_EQ(cmd.Payload()[0], 0xF0);

    // Pair split across the first two reads (the first ends with F0).
    dev->ReadRequests.clear();
    peer->Queue({0xF0, 0x00, 0x14, 0x00, 0xF0, 0xF0, 0x04, 0x01});
    cmd = DeviceStatus();
    ASSERT_TRUE(com.Execute(cmd, 100)) << cmd.GetErrMsg();
    EXPECT_EQ(dev->ReadRequests, (std::vector<uint32_t>{5, 3}));
    EXPECT_EQ(cmd.GetBuffer()[4], 0xF0);
}

TEST_F(FrameTest, PairAtEveryPositionAndEveryChunkSizeDecodesTheSame)
{
    OpenLink();
    for (uint32_t chunk = 0; chunk <= 7; ++chunk) {
        dev->ReadChunk = chunk;
        for (size_t pos = 0; pos < 12; ++pos) {
            Bytes payload(12, 0x11);
            payload[pos] = 0xF0;
            uint16_t sum = 0x14 + 0x52;
            for (uint8_t b : payload)
                sum = static_cast<uint16_t>(sum + b);
            Bytes raw{0xF0, 12, 0x14, 0x00, 0x52};
            for (uint8_t b : payload) {
                raw.push_back(b);
                if (b == 0xF0)
                    raw.push_back(0xF0);
            }
            raw.push_back(static_cast<uint8_t>(sum));
            raw.push_back(static_cast<uint8_t>(sum >> 8));
            peer->Queue(raw);
            NxCmd cmd = DeviceStatus();
            ASSERT_TRUE(com.Execute(cmd, 100)) << "chunk " << chunk << " pos " << pos;
            EXPECT_EQ(Bytes(cmd.Payload(), cmd.Payload() + 12), payload);
        }
    }
}

struct BrokenReply
{
    const char* what;
    Bytes reply;
    const char* message;
    bool frameErrorHook;
    std::vector<uint32_t> reads;
};

TEST_F(FrameTest, BrokenRepliesFailWithTheirMessage)
{
    const BrokenReply cases[] = {
        {"no start byte", {0x00, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00}, "SOF missing", false, {5}},
        {"lone F0 at a block end",
         {0xF0, 0x00, 0x14, 0x00, 0xF0, 0x12, 0x00, 0x00},
         "Second SOF missing",
         false,
         {5, 3}},
        {"F0 then another byte",
         {0xF0, 0x01, 0x14, 0xF0, 0x12, 0x00, 0x00, 0x00},
         "Frame format error",
         false,
         {5, 3}},
        {"bad sum", {0xF0, 0x00, 0x14, 0x00, 0x52, 0x00, 0x00}, "Frame CRC error", true, {5, 2}},
        {"rejected",
         {0xF0, 0x01, 0x00, 0x00, 0x52, 0x05, 0x57, 0x00},
         "Frame '0x05' error",
         false,
         {5, 3}},
        {"cut short", {0xF0, 0x04, 0x14, 0x00, 0x52, 0x01}, "Read timed out", false, {5, 6}},
        {"silence", {}, "Read timed out", false, {5}},
    };
    OpenLink();
    for (const BrokenReply& c : cases) {
        SCOPED_TRACE(c.what);
        dev->ReadRequests.clear();
        peer->Queue(c.reply);
        ProbeCmd cmd(20, "DeviceStatus", 0, 0x52, nullptr, 0);
        EXPECT_FALSE(com.Execute(cmd, 100));
        EXPECT_TRUE(cmd.IsError());
        EXPECT_EQ(cmd.GetErrMsg(), c.message);
        EXPECT_EQ(cmd.frameErrors, c.frameErrorHook ? 1 : 0);
        EXPECT_EQ(dev->ReadRequests, c.reads);
    }
}

TEST_F(FrameTest, RejectedReplyStillReachesOnResponse)
{
    OpenLink();
    peer->Queue({0xF0, 0x01, 0x00, 0x00, 0x52, 0x05, 0x57, 0x00});
    ProbeCmd cmd(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    EXPECT_FALSE(com.Execute(cmd, 100));
    EXPECT_EQ(cmd.responses, 1);
    try {
        cmd.ThrowIfFailed();
        FAIL();
    } catch (const NxException& e) {
        EXPECT_STREQ(e.what(), "'DeviceStatus' failed: Frame '0x05' error");
    }

    // With the reply status ignored the same frame is accepted.
    CAppCfg::Instance().SetIgnoreReplyStatus(true);
    peer->Queue({0xF0, 0x01, 0x00, 0x00, 0x52, 0x05, 0x57, 0x00});
    ProbeCmd again(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    EXPECT_TRUE(com.Execute(again, 100));
}

TEST_F(FrameTest, TimeoutCostsTheCallersTimeoutAndThrowsItsText)
{
    OpenLink();
    NxCmd cmd = DeviceStatus();
    EXPECT_FALSE(com.Execute(cmd, 1000));
    EXPECT_EQ(clock.Timeouts(), (std::vector<uint32_t>{1000}));
    EXPECT_EQ(lib.Calls.front(), "SetTimeouts 1000 250");
    EXPECT_THROW(
        {
            try {
                cmd.ThrowIfFailed();
            } catch (const NxException& e) {
                EXPECT_STREQ(e.what(), "'DeviceStatus' failed: Read timed out");
                throw;
            }
        },
        NxException);

    // Rebuilt and successful: the old message stays, the flag is clear.
    cmd = DeviceStatus();
    cmd.SetError("Read timed out");
    cmd.Setup(20, "DeviceStatus", 0, 0x52, nullptr, 0);
    peer->Queue({0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00});
    EXPECT_TRUE(com.Execute(cmd, 100));
    EXPECT_EQ(cmd.GetErrMsg(), "Read timed out");
    EXPECT_NO_THROW(cmd.ThrowIfFailed());
}

TEST_F(FrameTest, ExecuteOrThrowRaisesEveryFailedExchange)
{
    TNxDev device(0);
    ASSERT_EQ(device.Open(), 0);
    const Bytes ok = {0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00};
    const struct
    {
        const char* What;
        Bytes Reply;
        bool Valid;        // what the command class says of the reply
        const char* Error; // null: no exception
    } rows[] = {
        {"answered", ok, true, nullptr},
        {"silent", {}, true, "'DeviceStatus' failed: Read timed out"},
        {"rejected",
         {0xF0, 0x01, 0x00, 0x00, 0x52, 0x05, 0x57, 0x00},
         true,
         "'DeviceStatus' failed: Frame '0x05' error"},
        // Execute fails without setting the error flag: still no silent success.
        {"refused by its class", ok, false, "'DeviceStatus' failed: invalid reply"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.What);
        peer->Queue(r.Reply);
        ProbeCmd cmd(20, "DeviceStatus", 0, 0x52, nullptr, 0);
        cmd.valid = r.Valid;
        try {
            device.ExecuteOrThrow(cmd, 100);
            EXPECT_EQ(r.Error, nullptr);
        } catch (const NxException& e) {
            EXPECT_STREQ(e.what(), r.Error ? r.Error : "(no exception expected)");
        }
    }
}

// Replies that answer an earlier request (another command number) are read
// past; the exchange keeps to its timeout counted from the send.
TEST_F(FrameTest, StaleRepliesAreDroppedWithinTheTimeout)
{
    const Bytes own{0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00};     // DeviceStatus
    const Bytes stale{0xF0, 0x00, 0x81, 0x01, 0x52, 0xD4, 0x00};   // ProbeChannel 1
    const Bytes relayed{0xF0, 0x00, 0x8F, 0x01, 0x57, 0xE7, 0x00}; // command 143
    const Bytes rejected{0xF0, 0x01, 0x00, 0x00, 0x52, 0x05, 0x57, 0x00};
    struct Late
    {
        uint32_t Ms;
        Bytes Frame;
    };
    struct Case
    {
        const char* What;
        std::vector<Late> Replies; // arrival after the send; 0: with the send
        bool Ok;
        const char* Message;
        size_t Drops;
        uint64_t ElapsedMs; // from the send to the end of the exchange
    };
    const Case cases[] = {
        {"stale, then own", {{0, stale}, {0, own}}, true, nullptr, 1, 0},
        {"two stale, own later", {{300, stale}, {300, relayed}, {600, own}}, true, nullptr, 2, 600},
        {"own after the timeout", {{300, stale}, {1200, own}}, false, "Read timed out", 1, 1000},
        {"only stale", {{0, stale}}, false, "Read timed out", 1, 1000},
        {"rejection is no stale reply", {{0, rejected}}, false, "Frame '0x05' error", 0, 0},
        {"at most eight dropped", std::vector<Late>(9, {0, stale}), false, "Read timed out", 8, 0},
    };
    OpenLink();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Bytes atOnce;
        for (const Late& r : c.Replies) {
            if (r.Ms == 0)
                atOnce.insert(atOnce.end(), r.Frame.begin(), r.Frame.end());
            else
                dev->ReplyLater(r.Ms, r.Frame);
        }
        peer->Queue(atOnce);
        ProbeCmd cmd(20, "DeviceStatus", 0, 0x52, nullptr, 0);
        const uint64_t start = clock.NowMs();
        EXPECT_EQ(com.Execute(cmd, 1000), c.Ok);
        EXPECT_EQ(clock.NowMs() - start, c.ElapsedMs);
        if (!c.Ok) {
            EXPECT_EQ(cmd.GetErrMsg(), c.Message);
        }
        // Values of a stale reply never reach the command.
        EXPECT_EQ(cmd.responses, c.Ok || c.Drops == 0 ? 1 : 0);
        EXPECT_EQ(dev->Pending(), c.Drops == 8 ? stale.size() : 0u) << "the ninth stays unread";
        // Whatever is still on its way is gone before the next case.
        clock.SleepMs(2000);
        com.Flush();
    }
}

TEST_F(FrameTest, DroppedReplyIsLogged)
{
    const TempFolder dir("droplog");
    CAppCfg::Instance().SetComLog(true, dir.String());
    OpenLink();
    peer->Queue(
        {0xF0, 0x00, 0x81, 0x01, 0x52, 0xD4, 0x00, 0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00});
    NxCmd cmd = DeviceStatus();
    EXPECT_TRUE(com.Execute(cmd, 100));
    com.CloseTrace();
    const std::string log = ReadFile(dir / "NxComLog_0.txt");
    const size_t drop = log.find("--- DROP: stale reply CmdNr=129\n");
    EXPECT_NE(drop, std::string::npos) << log;
    EXPECT_LT(drop, log.find("--- RESP: OK: CmdNr=20\n")) << log;
}

TEST_F(FrameTest, WriteFailureSetsStatusText)
{
    OpenLink();
    dev->WriteFailures = 1;
    dev->WriteStatus = Bridge::kWriteError;
    dev->WriteAcceptBeforeFail = 3;
    NxCmd cmd = DeviceStatus();
    EXPECT_FALSE(com.Execute(cmd, 100));
    EXPECT_EQ(cmd.GetErrMsg(), "Write error");
    EXPECT_TRUE(dev->ReadRequests.empty());
}

TEST_F(FrameTest, HostileRepliesStayInsideTheBuffer)
{
    OpenLink();
    // Endless pairs after a maximal length.
    Bytes pairs{0xF0, 0xFF, 0x14, 0x00, 0x52};
    for (int i = 0; i < 700; ++i)
        pairs.insert(pairs.end(), {0xF0, 0xF0});
    // A stuffed maximal length whose frame is all pairs.
    Bytes stuffedLen{0xF0, 0xF0, 0xF0, 0xF0, 0xF0};
    for (int i = 0; i < 700; ++i)
        stuffedLen.insert(stuffedLen.end(), {0xF0, 0xF0});
    // Length says 10, only garbage follows.
    Bytes mismatch{0xF0, 0x0A, 0x14, 0x00, 0x52};
    mismatch.insert(mismatch.end(), 40, 0xAB);
    for (const Bytes& reply : {pairs, stuffedLen, mismatch}) {
        peer->Queue(reply);
        NxCmd cmd = DeviceStatus();
        EXPECT_FALSE(com.Execute(cmd, 100));
        EXPECT_TRUE(cmd.IsError());
        EXPECT_LE(cmd.GetFrameLength(), NX_FRAME_BUF);
    }
}

TEST(NxCmdFrame, EncodeDecodeRoundTripAndReset)
{
    Bytes payload;
    for (int i = 0; i < 255; ++i)
        payload.push_back(static_cast<uint8_t>(0xF0 + i % 3));
    NxCmd cmd(0xF0, "All", 0xF0, 0x57, payload.data(), payload.size());
    const uint16_t sum = cmd.Checksum();
    cmd.Encode();
    EXPECT_TRUE(cmd.IsEncoded());
    EXPECT_LE(cmd.GetFrameLength(), 523);
    cmd.Decode();
    EXPECT_FALSE(cmd.IsError()) << cmd.GetErrMsg();
    EXPECT_EQ(cmd.GetFrameLength(), 262);
    EXPECT_EQ(cmd.Checksum(), sum);
    EXPECT_EQ(Bytes(cmd.Payload(), cmd.Payload() + 255), payload);

    cmd.Reset();
    EXPECT_EQ(cmd.GetName(), "");
    EXPECT_EQ(cmd.GetFrameLength(), 0);
    EXPECT_FALSE(cmd.IsError());
}
