// The simulated controllers, driven with raw frames through a simulated
// bridge port. Frames are written out by hand (or by the small stuffing
// helper below), never by the host's frame code, so the two sides check
// each other.
#include "Bridge/SimBridge.h"
#include "NxClock.h"
#include "NxException.h"
#include "Sim/SimController.h"
#include "Sim/SimScenario.h"
#include "support/SimRig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;
using namespace Sim;

namespace {

// Wire form of a request: start byte, then every 0xF0 doubled.
Bytes Wire(uint8_t cmd, uint8_t ch, uint8_t acc, const Bytes& payload)
{
    Bytes logical{static_cast<uint8_t>(payload.size()), cmd, ch, acc};
    logical.insert(logical.end(), payload.begin(), payload.end());
    unsigned sum = 0;
    for (size_t i = 1; i < logical.size(); ++i)
        sum += logical[i];
    logical.push_back(static_cast<uint8_t>(sum));
    logical.push_back(static_cast<uint8_t>(sum >> 8));
    Bytes w{0xF0};
    for (uint8_t b : logical) {
        w.push_back(b);
        if (b == 0xF0)
            w.push_back(b);
    }
    return w;
}

Bytes RelayWire(uint8_t ch, uint8_t sub, const Bytes& args = {})
{
    Bytes p{static_cast<uint8_t>(args.size()), sub};
    p.insert(p.end(), args.begin(), args.end());
    return Wire(143, ch, 'W', p);
}

Bytes FlashWire(uint32_t addr, const Bytes& data)
{
    Bytes p{static_cast<uint8_t>(addr), static_cast<uint8_t>(addr >> 8),
            static_cast<uint8_t>(addr >> 16), static_cast<uint8_t>(addr >> 24)};
    p.insert(p.end(), data.begin(), data.end());
    return Wire(3, 0, 'W', p);
}

Bytes ChecksumWire(uint32_t sum)
{
    Bytes data(128, 0);
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<uint8_t>(sum >> (8 * i));
    return FlashWire(kChecksumAddress, data);
}

// Expected reply to a relayed request: value length, sub-command, value.
Bytes RelayReply(uint8_t ch, uint8_t sub, const Bytes& value)
{
    Bytes p{static_cast<uint8_t>(value.size()), sub};
    p.insert(p.end(), value.begin(), value.end());
    return Wire(143, ch, 'W', p);
}

Bytes Rejected(uint8_t ch, uint8_t acc, uint8_t err)
{
    return Wire(0, ch, acc, {err});
}

const Bytes kAck{0xF0, 0x00, 0x01, 0x00, 0x57, 0x58, 0x00}; // reset accepted

class SimTest : public ::testing::Test, protected SimRig
{
protected:
    void Install(const SimScenario& s)
    {
        handles = InstallScenario(lib, s);
        ASSERT_FALSE(handles.empty());
        dev = handles[0].Device;
        ctl = handles[0].Controller;
        ASSERT_EQ(lib.Open(0, port), Bridge::kSuccess);
    }
    void SetUp() override { Install(DemoScenario()); }

    // One exchange: flush, write, and everything the device answered.
    Bytes Send(const Bytes& req)
    {
        EXPECT_EQ(port->Flush(true, true), Bridge::kSuccess);
        uint32_t written = 0;
        EXPECT_EQ(port->Write(req.data(), static_cast<uint32_t>(req.size()), written),
                  Bridge::kSuccess);
        return ReadAll();
    }
    Bytes ReadAll()
    {
        Bytes out(dev->Pending());
        uint32_t got = 0;
        if (!out.empty()) {
            EXPECT_EQ(port->Read(out.data(), static_cast<uint32_t>(out.size()), got),
                      Bridge::kSuccess);
        }
        return out;
    }
    Bytes Text(const std::string& s)
    {
        Bytes v(s.begin(), s.end());
        v.push_back(0);
        return v;
    }

    std::vector<SimHandle> handles;
    std::shared_ptr<Bridge::SimDevice> dev;
    std::shared_ptr<SimController> ctl;
    std::unique_ptr<Bridge::IPort> port;
};

TEST_F(SimTest, GoldenControllerFrames)
{
    ctl->HwName = "HW";
    // DeviceStatus in the application, then in the bootloader.
    EXPECT_EQ(Send({0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00}),
              (Bytes{0xF0, 0x01, 0x14, 0x00, 0x52, 0x00, 0x66, 0x00}));
    ctl->Bootloader = true;
    EXPECT_EQ(Send({0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00}),
              (Bytes{0xF0, 0x01, 0x14, 0x00, 0x52, 0x80, 0xE6, 0x00}));
    // GetHwName answers "HW" with its zero.
    EXPECT_EQ(Send({0xF0, 0x00, 0x04, 0x00, 0x52, 0x56, 0x00}),
              (Bytes{0xF0, 0x03, 0x04, 0x00, 0x52, 0x48, 0x57, 0x00, 0xF5, 0x00}));
    // GetAppName is refused in the bootloader: command byte 0, error byte 02.
    EXPECT_EQ(Send({0xF0, 0x00, 0x09, 0x00, 0x52, 0x5B, 0x00}),
              (Bytes{0xF0, 0x01, 0x00, 0x00, 0x52, 0x02, 0x54, 0x00}));
    // ProbeChannel 1 is echoed; channel 4 does not exist and stays silent.
    EXPECT_EQ(Send({0xF0, 0x00, 0x81, 0x01, 0x52, 0xD4, 0x00}),
              (Bytes{0xF0, 0x00, 0x81, 0x01, 0x52, 0xD4, 0x00}));
    EXPECT_TRUE(Send({0xF0, 0x00, 0x81, 0x04, 0x52, 0xD7, 0x00}).empty());
    // SerialComGetCapabilityFlag on channel 1: count 2, echo 03, value 0001.
    EXPECT_EQ(Send({0xF0, 0x02, 0x8F, 0x01, 0x57, 0x00, 0x03, 0xEA, 0x00}),
              (Bytes{0xF0, 0x04, 0x8F, 0x01, 0x57, 0x02, 0x03, 0x01, 0x00, 0xED, 0x00}));
}

TEST_F(SimTest, StuffingBothWays)
{
    // TblName whose text is the single byte 0xF0, stored and read back.
    EXPECT_EQ(Send({0xF0, 0x02, 0x0C, 0x00, 0x57, 0xF0, 0xF0, 0x00, 0x53, 0x01}),
              (Bytes{0xF0, 0x00, 0x0C, 0x00, 0x57, 0x63, 0x00}));
    EXPECT_EQ(ctl->TblName, "\xF0");
    EXPECT_EQ(Send({0xF0, 0x00, 0x0C, 0x00, 0x52, 0x5E, 0x00}),
              (Bytes{0xF0, 0x02, 0x0C, 0x00, 0x52, 0xF0, 0xF0, 0x00, 0x4E, 0x01}));
    // A reply checksum whose low byte is 0xF0 is stuffed too.
    ctl->Channel(1)->Identifier = 0x07;
    EXPECT_EQ(Send({0xF0, 0x02, 0x8F, 0x01, 0x57, 0x00, 0x01, 0xE8, 0x00}),
              (Bytes{0xF0, 0x03, 0x8F, 0x01, 0x57, 0x01, 0x01, 0x07, 0xF0, 0xF0, 0x00}));
    // A length of 240 arrives as F0 F0 right after the start byte.
    ctl->Bootloader = true;
    Bytes data(236, 0xF0);
    Bytes req = FlashWire(0x1000, data);
    ASSERT_EQ((Bytes{req.begin(), req.begin() + 3}), (Bytes{0xF0, 0xF0, 0xF0}));
    EXPECT_EQ(Send(req), (Bytes{0xF0, 0x00, 0x03, 0x00, 0x57, 0x5A, 0x00}));
    EXPECT_EQ(ctl->FlashBytes(0x1000, 236), data);
}

TEST_F(SimTest, ReceiverDropsBadFramesAndResynchronises)
{
    const Bytes status{0xF0, 0x00, 0x14, 0x00, 0x52, 0x66, 0x00};
    const Bytes answer{0xF0, 0x01, 0x14, 0x00, 0x52, 0x00, 0x66, 0x00};
    // Wrong checksum: no answer at all, as from a real device.
    EXPECT_TRUE(Send({0xF0, 0x00, 0x14, 0x00, 0x52, 0x67, 0x00}).empty());
    EXPECT_EQ(ctl->BadFrames(), 1u);
    EXPECT_TRUE(ctl->Log().empty());
    // Line noise before the start byte is skipped.
    Bytes noisy{0x11, 0x22};
    noisy.insert(noisy.end(), status.begin(), status.end());
    EXPECT_EQ(Send(noisy), answer);
    EXPECT_EQ(ctl->StrayBytes(), 2u);
    // A frame cut short by a new start byte is dropped; the new one counts.
    Bytes cut{0xF0, 0x05, 0x14};
    cut.insert(cut.end(), status.begin(), status.end());
    EXPECT_EQ(Send(cut), answer);
    EXPECT_EQ(ctl->BadFrames(), 2u);
    // A frame that arrives in two writes, split inside a stuffed pair.
    const Bytes tbl{0xF0, 0x02, 0x0C, 0x00, 0x57, 0xF0, 0xF0, 0x00, 0x53, 0x01};
    uint32_t w = 0;
    ASSERT_EQ(port->Write(tbl.data(), 6, w), Bridge::kSuccess);
    EXPECT_EQ(dev->Pending(), 0u);
    ASSERT_EQ(port->Write(tbl.data() + 6, 4, w), Bridge::kSuccess);
    EXPECT_EQ(ReadAll(), (Bytes{0xF0, 0x00, 0x0C, 0x00, 0x57, 0x63, 0x00}));
    // A half frame before a flush is forgotten, even one that ends in the
    // first byte of a stuffed pair (it would swallow the next start byte).
    ASSERT_EQ(port->Write(tbl.data(), 6, w), Bridge::kSuccess);
    EXPECT_EQ(Send(status), answer);
    EXPECT_EQ(ctl->CountOf(20), 3u);
}

TEST_F(SimTest, ControllerRejectsWhatItsStateDoesNotTake)
{
    // Application: no erase, flash or checksum.
    EXPECT_EQ(Send(Wire(2, 0, 'W', {0x04})), Rejected(0, 'W', kSimErrWrongState));
    EXPECT_EQ(Send(FlashWire(0x100, Bytes(128, 1))), Rejected(0, 'W', kSimErrWrongState));
    EXPECT_TRUE(ctl->Flash().empty());
    // Unknown command, wrong access, stray channel byte, malformed payloads.
    EXPECT_EQ(Send(Wire(77, 0, 'W', {})), Rejected(0, 'W', kSimErrUnknownCommand));
    EXPECT_EQ(Send(Wire(20, 0, 'W', {})), Rejected(0, 'W', kSimErrUnknownCommand));
    EXPECT_EQ(Send(Wire(20, 2, 'R', {})), Rejected(2, 'R', kSimErrBadRequest));
    EXPECT_EQ(Send(Wire(1, 0, 'W', {0x03})), Rejected(0, 'W', kSimErrBadRequest));
    EXPECT_EQ(Send(Wire(12, 0, 'W', {'A', 'B'})), Rejected(0, 'W', kSimErrBadRequest));
    EXPECT_EQ(Send(Wire(138, 1, 'W', Bytes(25, 0))), Rejected(1, 'W', kSimErrBadRequest));
    // TblCompParamSet: entry, identifier, name, zero, set number and nothing else.
    EXPECT_EQ(Send(Wire(139, 2, 'W', {1, 2, 'A', 'B', 0, 3, 9})),
              Rejected(2, 'W', kSimErrBadRequest));
    EXPECT_EQ(Send(Wire(139, 2, 'W', {1, 2, 'A', 'B', 0, 3})),
              (Bytes{0xF0, 0x00, 0x8B, 0x02, 0x57, 0xE4, 0x00}));
    EXPECT_EQ(Send(Wire(138, 5, 'W', Bytes(26, 0xF0))), Wire(138, 5, 'W', {}));
    ASSERT_EQ(ctl->TableRecords().size(), 2u);
    EXPECT_EQ(ctl->TableRecords()[0].Cmd, 139);
    EXPECT_EQ(ctl->TableRecords()[0].Payload, (Bytes{1, 2, 'A', 'B', 0, 3}));
    EXPECT_EQ(ctl->TableRecords()[1].Channel, 5);
    EXPECT_EQ(ctl->TableRecords()[1].Payload, Bytes(26, 0xF0));

    // Bootloader: no table writes and no application or table reads, but the
    // hardware and bootloader texts.
    EXPECT_EQ(Send(Wire(1, 0, 'W', {0x02})), kAck);
    EXPECT_TRUE(ctl->Bootloader);
    EXPECT_EQ(Send(Wire(12, 0, 'W', {0})), Rejected(0, 'W', kSimErrWrongState));
    EXPECT_EQ(Send(Wire(138, 1, 'W', Bytes(26, 0))), Rejected(1, 'W', kSimErrWrongState));
    for (uint8_t cmd = 9; cmd <= 14; ++cmd)
        EXPECT_EQ(Send(Wire(cmd, 0, 'R', {})), Rejected(0, 'R', kSimErrWrongState)) << +cmd;
    EXPECT_EQ(Send(Wire(8, 0, 'R', {})), Wire(8, 0, 'R', Text("2019-03-12")));
    EXPECT_EQ(ctl->TableRecords().size(), 2u);
}

TEST_F(SimTest, FirmwareDownloadAndImageChecksum)
{
    ASSERT_EQ(Send(Wire(1, 0, 'W', {0x02})), kAck);
    ASSERT_EQ(Send(Wire(2, 0, 'W', {0x04})), Wire(2, 0, 'W', {}));
    EXPECT_EQ(ctl->EraseCount(), 1u);
    EXPECT_FALSE(ctl->ImageValid());

    // Block 1 carries the application name; block 2 starts with 01 02 FF FF.
    Bytes b1(128, 0), b2(128, 0);
    const std::string name = "NewControlApp";
    std::copy(name.begin(), name.end(), b1.begin());
    b2[0] = 0x01, b2[1] = 0x02, b2[2] = 0xFF, b2[3] = 0xFF;
    uint32_t sum = 0;
    for (const Bytes* b : {&b1, &b2})
        for (size_t i = 0; i < b->size(); i += 2)
            sum += (*b)[i] | ((*b)[i + 1] << 8);
    const Bytes ok = Wire(3, 0, 'W', {});
    EXPECT_EQ(Send(FlashWire(kAppNameAddress, b1)), ok);
    EXPECT_EQ(Send(FlashWire(0xC08080, b2)), ok);
    // A block sent again (its acknowledgement was lost) counts once.
    EXPECT_EQ(Send(FlashWire(0xC08080, b2)), ok);
    EXPECT_EQ(ctl->FlashSum(), sum);
    EXPECT_EQ(ctl->FlashBytes(0xC08080, 4), (Bytes{0x01, 0x02, 0xFF, 0xFF}));

    EXPECT_EQ(Send(ChecksumWire(sum + 1)), Rejected(0, 'W', kSimErrChecksum));
    EXPECT_FALSE(ctl->ImageValid());
    EXPECT_EQ(Send(ChecksumWire(sum)), ok);
    EXPECT_TRUE(ctl->ImageValid());
    EXPECT_EQ(ctl->LastChecksum(), sum);

    // Back in the application, the name comes from the new image.
    EXPECT_EQ(Send(Wire(1, 0, 'W', {0x01})), kAck);
    EXPECT_FALSE(ctl->Bootloader);
    EXPECT_EQ(Send(Wire(9, 0, 'R', {})), Wire(9, 0, 'R', Text(name)));
}

TEST_F(SimTest, ResetsThatDoNotTakeEffect)
{
    ctl->IgnoreResets = true;
    EXPECT_EQ(Send(Wire(1, 0, 'W', {0x02})), kAck);
    EXPECT_FALSE(ctl->Bootloader);

    // A device left without an image after an erase stays in its bootloader.
    ctl->IgnoreResets = false;
    ctl->StayWithoutImage = true;
    ASSERT_EQ(Send(Wire(1, 0, 'W', {0x02})), kAck);
    ASSERT_EQ(Send(Wire(2, 0, 'W', {0x04})), Wire(2, 0, 'W', {}));
    EXPECT_EQ(Send(Wire(1, 0, 'W', {0x01})), kAck);
    EXPECT_TRUE(ctl->Bootloader);
    // An empty image (sum 0) is still a valid one.
    ASSERT_EQ(Send(ChecksumWire(0)), Wire(3, 0, 'W', {}));
    EXPECT_EQ(Send(Wire(1, 0, 'W', {0x01})), kAck);
    EXPECT_FALSE(ctl->Bootloader);
}

TEST_F(SimTest, RelayedReadsOfTheDemoComponents)
{
    struct Row
    {
        uint8_t ch, sub;
        Bytes value;
    };
    const Row rows[] = {
        {1, 0x01, {0x21}},
        {1, 0x03, {0x01, 0x00}},
        {1, 0x04, Text("GasProbe")},
        {1, 0x05, Text("3.10")},
        {1, 0x06, Text("2022-05-17")},
        {1, 0x07, {0x00, 0x00}},
        {1, 0x32, Text("B")},
        {1, 0x33, Text("ProbeBoot")},
        {1, 0x34, Text("1.2")},
        {1, 0x35, Text("2018-11-06")},
        {1, 0x37, Text("1330427")},
        {1, 0x39, {0x39, 0x30, 0x00, 0x00}},             // 12345
        {1, 0x43, {0x10, 0x27, 0x00, 0x00, 0x88, 0x13}}, // 10000, 5000
        {2, 0x03, {0x01, 0x00}},
        {2, 0x04, Text("Meridian")},
        {3, 0x03, {0x00, 0x00}},
        {3, 0x37, {0xFF, 0x00}}, // no serial number: an erased field
    };
    for (const Row& r : rows)
        EXPECT_EQ(Send(RelayWire(r.ch, r.sub)), RelayReply(r.ch, r.sub, r.value))
            << "channel " << +r.ch << " sub 0x" << std::hex << +r.sub;
    // Unknown sub-command and an argument count that does not fit the payload.
    EXPECT_EQ(Send(RelayWire(1, 0x99)), Rejected(1, 'W', kSimErrUnknownCommand));
    EXPECT_EQ(Send(Wire(143, 1, 'W', {0x02, 0x30, 0x01})), Rejected(1, 'W', kSimErrBadRequest));
    // Nothing answers for a channel that does not exist.
    EXPECT_TRUE(Send(RelayWire(4, 0x07)).empty());
}

TEST_F(SimTest, RelayedDownloadAndFilterReset)
{
    SimComponent& gas = *ctl->Channel(1);
    // Pages and erase need the component's bootloader.
    Bytes page{0x05, 0x00};
    page.resize(66, 0xA5);
    EXPECT_EQ(Send(RelayWire(1, 0x31, page)), Rejected(1, 'W', kSimErrWrongState));
    EXPECT_EQ(Send(RelayWire(1, 0x30, {0x02})), RelayReply(1, 0x30, {}));
    EXPECT_EQ(Send(RelayWire(1, 0x07)), RelayReply(1, 0x07, {0x00, 0x80}));
    EXPECT_EQ(Send(RelayWire(1, 0x04)), Rejected(1, 'W', kSimErrWrongState));
    EXPECT_EQ(Send(RelayWire(1, 0x3C, {0x00})), RelayReply(1, 0x3C, {}));
    EXPECT_EQ(Send(RelayWire(1, 0x31, page)), RelayReply(1, 0x31, {}));
    page[0] = 0xBF, page[1] = 0x01; // page 447
    EXPECT_EQ(Send(RelayWire(1, 0x31, page)), RelayReply(1, 0x31, {}));
    EXPECT_EQ(Send(RelayWire(1, 0x31, Bytes(65, 0))), Rejected(1, 'W', kSimErrBadRequest));
    EXPECT_EQ(gas.EraseCount, 1u);
    ASSERT_EQ(gas.Pages.size(), 2u);
    EXPECT_EQ(gas.Pages.at(5), Bytes(64, 0xA5));
    EXPECT_EQ(gas.Pages.count(447), 1u);
    EXPECT_EQ(Send(RelayWire(1, 0x30, {0x01})), RelayReply(1, 0x30, {}));
    EXPECT_FALSE(gas.Bootloader);

    // Filter change: the last change becomes the running time.
    EXPECT_EQ(Send(RelayWire(1, 0x42)), RelayReply(1, 0x42, {0x39, 0x30, 0x00, 0x00, 0x88, 0x13}));
    EXPECT_EQ(gas.LastFilterChange, 12345u);
    EXPECT_EQ(Send(RelayWire(1, 0x43)), RelayReply(1, 0x43, {0x39, 0x30, 0x00, 0x00, 0x88, 0x13}));
}

TEST_F(SimTest, SilentComponents)
{
    ctl->Channel(2)->Silent = true;
    ctl->Channel(3)->SilentStatus = 2;
    // The channel answers its probe, its component nothing.
    EXPECT_EQ(Send(Wire(129, 2, 'R', {})), Wire(129, 2, 'R', {}));
    EXPECT_TRUE(Send(RelayWire(2, 0x07)).empty());
    // Silent to the first two status requests only; other requests are answered.
    EXPECT_TRUE(Send(RelayWire(3, 0x07)).empty());
    EXPECT_EQ(Send(RelayWire(3, 0x01)), RelayReply(3, 0x01, {0x40}));
    EXPECT_TRUE(Send(RelayWire(3, 0x07)).empty());
    EXPECT_EQ(Send(RelayWire(3, 0x07)), RelayReply(3, 0x07, {0x00, 0x00}));
    EXPECT_EQ(ctl->CountOf(143, 0x07), 4u);
    // A read that finds nothing fails at once with a timeout.
    Bytes buf(7);
    uint32_t got = 0;
    EXPECT_TRUE(Send(RelayWire(2, 0x07)).empty());
    EXPECT_EQ(port->Read(buf.data(), 5, got), Bridge::kReadTimedOut);
    EXPECT_EQ(got, 0u);
}

TEST_F(SimTest, FaultSwitches)
{
    const Bytes status = Wire(20, 0, 'R', {});
    const Bytes answer = Wire(20, 0, 'R', {0x00});
    // No reply to the second status request only.
    SimFault lose;
    lose.Cmd = 20;
    lose.From = 2;
    ctl->AddFault(lose);
    EXPECT_EQ(Send(status), answer);
    EXPECT_TRUE(Send(status).empty());
    EXPECT_EQ(Send(status), answer);
    ctl->ClearFaults();

    // The first two identifier requests of channel 1 go unanswered.
    SimFault first;
    first.Cmd = 143;
    first.Channel = 1;
    first.Sub = 0x01;
    first.Count = 2;
    ctl->AddFault(first);
    EXPECT_TRUE(Send(RelayWire(1, 0x01)).empty());
    EXPECT_EQ(Send(RelayWire(2, 0x01)), RelayReply(2, 0x01, {0x32})); // other channel
    EXPECT_TRUE(Send(RelayWire(1, 0x01)).empty());
    EXPECT_EQ(Send(RelayWire(1, 0x01)), RelayReply(1, 0x01, {0x21}));
    ctl->ClearFaults();

    // The reply is lost but the command was carried out.
    SimFault done;
    done.Cmd = 143;
    done.Sub = 0x42;
    done.Execute = true;
    ctl->AddFault(done);
    EXPECT_TRUE(Send(RelayWire(1, 0x42)).empty());
    EXPECT_EQ(ctl->Channel(1)->LastFilterChange, 12345u);
    ctl->ClearFaults();

    // A corrupted checksum: same frame, checksum one higher.
    SimFault crc;
    crc.Kind = SimFaultKind::BadChecksum;
    crc.Cmd = 20;
    ctl->AddFault(crc);
    EXPECT_EQ(Send(status), (Bytes{0xF0, 0x01, 0x14, 0x00, 0x52, 0x00, 0x67, 0x00}));
    ctl->ClearFaults();

    // A rejection with a chosen error byte; the command is not carried out.
    SimFault rej;
    rej.Kind = SimFaultKind::Reject;
    rej.Cmd = 1;
    rej.ErrorByte = 0x05;
    ctl->AddFault(rej);
    EXPECT_EQ(Send(Wire(1, 0, 'W', {0x02})),
              (Bytes{0xF0, 0x01, 0x00, 0x00, 0x57, 0x05, 0x5C, 0x00}));
    EXPECT_FALSE(ctl->Bootloader);
    ctl->ClearFaults();

    // Garbage instead of a reply.
    SimFault junk;
    junk.Kind = SimFaultKind::Garbage;
    junk.Garbage = {0x12, 0xF0, 0x34};
    ctl->AddFault(junk);
    EXPECT_EQ(Send(status), (Bytes{0x12, 0xF0, 0x34}));
    ctl->ClearFaults();

    // Unplugged in the middle of a download: reads then fail as on a lost bridge.
    SimFault pull;
    pull.Kind = SimFaultKind::Unplug;
    pull.Cmd = 143;
    pull.Sub = 0x30;
    ctl->AddFault(pull);
    uint32_t w = 0;
    const Bytes enter = RelayWire(1, 0x30, {0x02});
    ASSERT_EQ(port->Write(enter.data(), static_cast<uint32_t>(enter.size()), w), Bridge::kSuccess);
    EXPECT_FALSE(dev->IsPlugged());
    EXPECT_FALSE(ctl->Channel(1)->Bootloader);
    Bytes buf(5);
    EXPECT_EQ(port->Read(buf.data(), 5, w), Bridge::kDeviceIoFailed);
    uint32_t count = 9;
    lib.GetNumDevices(count);
    EXPECT_EQ(count, 0u);

    // Every request was logged, the faulty ones included.
    const SimLogEntry& last = ctl->Log().back();
    EXPECT_EQ(last.Cmd, 143);
    EXPECT_EQ(last.Channel, 1);
    EXPECT_EQ(last.Sub, 0x30);
    EXPECT_EQ(last.Payload, (Bytes{0x01, 0x30, 0x02}));
}

TEST_F(SimTest, LateReplyArrivesAfterItsDelay)
{
    // A late reply: carried out at once, answered 1100 ms later; a flush
    // before it arrives does not lose it, a read waits for it.
    clock.Clear();
    SimFault late;
    late.Kind = SimFaultKind::Late;
    late.Cmd = 1;
    late.DelayMs = 1100;
    ctl->AddFault(late);
    const Bytes ack = Wire(1, 0, 'W', {});
    EXPECT_TRUE(Send(Wire(1, 0, 'W', {0x02})).empty());
    EXPECT_TRUE(ctl->Bootloader);
    EXPECT_EQ(dev->InFlight(), ack.size());
    EXPECT_EQ(port->Flush(true, true), Bridge::kSuccess);
    Bytes buf(ack.size());
    uint32_t got = 0;
    lib.SetTimeouts(1000, 250);
    EXPECT_EQ(port->Read(buf.data(), 1, got), Bridge::kReadTimedOut);
    EXPECT_EQ(port->Read(buf.data(), static_cast<uint32_t>(buf.size()), got), Bridge::kSuccess);
    EXPECT_EQ(buf, ack);
    EXPECT_EQ(clock.Events(), (std::vector<VirtualClock::Event>{{VirtualClock::Kind::Timeout, 1000},
                                                                {VirtualClock::Kind::Wait, 100}}));
}

TEST_F(SimTest, DemoScenarioShape)
{
    EXPECT_EQ(dev->Serial, "0001");
    EXPECT_EQ(dev->Description, "Controller");
    EXPECT_FALSE(ctl->Bootloader);
    ASSERT_EQ(ctl->Channels.size(), 3u);
    EXPECT_EQ(ctl->Channel(1)->SerialNumber.rfind("133", 0), 0u);
    EXPECT_EQ(ctl->Channel(1)->Capability & 1, 1);
    EXPECT_EQ(ctl->Channel(2)->Capability & 1, 1);
    EXPECT_EQ(ctl->Channel(3)->Capability & 1, 0);
    EXPECT_TRUE(ctl->Channel(3)->SerialNumber.empty());
    // Each installation gets its own controller.
    Bridge::SimBridgeLib other;
    auto again = InstallScenario(other, DemoScenario());
    again[0].Controller->Bootloader = true;
    EXPECT_FALSE(ctl->Bootloader);
}

TEST_F(SimTest, ScenarioFile)
{
    const SimScenario s = LoadScenario(NX_TEST_DATA "/sim/lab.json");
    Bridge::SimBridgeLib lab;
    auto h = InstallScenario(lab, s);
    ASSERT_EQ(h.size(), 2u);
    uint32_t count = 0;
    lab.GetNumDevices(count);
    EXPECT_EQ(count, 1u); // the second bridge starts unplugged
    std::string text;
    ASSERT_EQ(lab.GetProductString(0, text, Bridge::kVendorId), Bridge::kSuccess);
    EXPECT_EQ(text, "10C4");
    ASSERT_EQ(lab.GetProductString(0, text, Bridge::kProductId), Bridge::kSuccess);
    EXPECT_EQ(text, "EA61");

    dev = h[0].Device;
    ctl = h[0].Controller;
    ASSERT_EQ(lab.Open(0, port), Bridge::kSuccess);
    EXPECT_EQ(Send(Wire(20, 0, 'R', {})), Wire(20, 0, 'R', {0x80}));
    EXPECT_EQ(Send(Wire(4, 0, 'R', {})), Wire(4, 0, 'R', Text("LabCtrl")));
    // Channels 1, 2 and 4: the probe of channel 3 goes unanswered.
    EXPECT_FALSE(Send(Wire(129, 2, 'R', {})).empty());
    EXPECT_TRUE(Send(Wire(129, 3, 'R', {})).empty());
    EXPECT_FALSE(Send(Wire(129, 4, 'R', {})).empty());
    EXPECT_TRUE(ctl->Channel(2)->Silent);
    const SimComponent& probe = *ctl->Channel(1);
    EXPECT_TRUE(probe.Bootloader);
    EXPECT_EQ(probe.SerialNumber, "1420007");
    EXPECT_EQ(probe.FilterInterval, 0x1388);
    // The fault from the file: the first flash page goes unanswered.
    EXPECT_TRUE(Send(FlashWire(0x100, Bytes(128, 0))).empty());
    EXPECT_EQ(Send(FlashWire(0x100, Bytes(128, 0))), Wire(3, 0, 'W', {}));
    ASSERT_EQ(ctl->Faults().size(), 2u);
    EXPECT_EQ(ctl->Faults()[1].Kind, SimFaultKind::Late);
    EXPECT_EQ(ctl->Faults()[1].DelayMs, 1500u);
    EXPECT_TRUE(h[1].Controller->IgnoreResets);
    port.reset(); // it refers to the local library
}

TEST(SimScenarioParse, MistakesAreNamed)
{
    const std::pair<const char*, const char*> bad[] = {
        {"{\"bridges\": [{\"serial\": \"1\", \"colour\": 1}]}", "unknown key 'colour'"},
        {"{\"bridges\": [{\"description\": \"x\"}]}", "needs a 'serial'"},
        {"{\"bridges\": [{\"serial\": \"1\"}, {\"serial\": \"1\"}]}", "given twice"},
        {"{\"bridges\": [{\"serial\": \"1\", \"controller\": {\"state\": \"sleeping\"}}]}",
         "'state'"},
        {"{\"bridges\": [{\"serial\": \"1\", \"controller\": {\"channels\": [{\"channel\": 0}]}}]}",
         "1 to 255"},
        {"{\"bridges\": [{\"serial\": \"1\", \"controller\": {\"channels\": [{\"channel\": 1, "
         "\"capability\": 70000}]}}]}",
         "'capability'"},
        {"{\"bridges\": [{\"serial\": \"1\", \"vid\": \"XYZ\"}]}", "'vid'"},
        {"{\"bridges\": [{\"serial\": \"1\", \"controller\": {\"faults\": [{\"kind\": "
         "\"explode\"}]}}]}",
         "'kind'"},
        {"{\"bridges\": [", "Scenario:"},
    };
    for (const auto& [text, what] : bad) {
        try {
            ParseScenario(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const NxException& e) {
            EXPECT_NE(e.Message().find(what), std::string::npos) << e.Message();
        }
    }
    EXPECT_THROW(LoadScenario(NX_TEST_DATA "/sim/no-such-file.json"), NxException);

    // 100,000 levels overflowed the stack when the document was copied.
    const std::string deep =
        "{\"bridges\": [" + std::string(100000, '[') + std::string(100000, ']') + "]}";
    try {
        ParseScenario(deep);
        ADD_FAILURE() << "accepted";
    } catch (const NxException& e) {
        EXPECT_EQ(e.Message(), "Scenario: nested deeper than 64 levels");
    }
}

} // namespace
