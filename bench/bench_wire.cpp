// The line's pace through nxsim --wire-time on a pseudo-terminal, as a
// technician rehearsing a download sees it, for bench/run:
//
//   bench_wire files DIR          images of the controller and of every
//                                 device profile, and the scenarios that
//                                 serve them (one bridge; eight bridges)
//   bench_wire frames PORT [N]    N exchanges of frames of 7, 139 and 262
//                                 bytes, plain and stuffed, written raw to
//                                 the port: the median exchange's time
//                                 (request and reply) against the line's
//   bench_wire download PORT CHANNEL HEX
//                                 a download through the serial backend:
//                                 its whole time, and the page phase's
//                                 bytes per second against the line's limit
//
// Every figure is a key=value pair on one line.
#include "Bridge/SerialBridge.h"
#include "Download/NxProgrammer.h"
#include "HexGen.h"
#include "NxCom/NxCmd.h"
#include "NxCom/TNxDevList.h"
#include "NxException.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kLineBytesPerSecond = 5760.0; // 57600 bit/s, 10 bits a byte

[[noreturn]] void Fail(const std::string& text)
{
    std::fprintf(stderr, "bench_wire: %s\n", text.c_str());
    std::exit(1);
}

double Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- Files ----

struct Target
{
    const char* Name; // for the row
    int Channel;
    const char* Model; // the component's model; nullptr: the controller
    std::vector<BenchHex::Range> Ranges;
    BenchHex::Overlay Identity;
};

// At least 32 KiB each, with the model or application name where the
// download looks for it.
std::vector<Target> Targets()
{
    const auto named = [](uint32_t at, const char* name) {
        return BenchHex::Overlay{{at, std::string(name) + '\0'}};
    };
    return {
        {"controller",
         0,
         nullptr,
         {{0, 0x8000}, {0xC08000, 16}},
         named(0xC08000, "IncuControlApp")},
        {"GasProbe", 1, "GasProbe", {{0, 0x8000}}, named(0x6FD0, "GasProbe")},
        {"WarmCase5000XL", 2, "WarmCase5000XL", {{0, 0x8000}}, named(0x6FD0, "WarmCase5000XL")},
        {"Meridian", 3, "Meridian", {{0, 0x8000}, {0xEF00, 0x100}}, named(0xEFD0, "Meridian")},
        {"ClimaCore QX",
         4,
         "ClimaCore QX",
         {{0, 0x8000}, {0xEF00, 0x100}},
         named(0xEFD0, "ClimaCore QX")},
        {"GasProbe5000", 5, "GasProbe5000", {{0x7E8000, 0x8000}}, named(0x7E8020, "GasProbe5000")},
    };
}

const char* const kController =
    R"("state": "application", "hwName": "IncuControl", "hwVersion": "2.1",
       "blName": "IncuBoot", "blVersion": "1.04", "blDate": "2019-03-12",
       "appName": "IncuControlApp", "appVersion": "4.2.0", "appDate": "2023-09-28",
       "tblName": "IncuControl", "tblVersion": "17", "tblDate": "2023-10-02")";

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        Fail("cannot write " + path);
}

// One image per target ("<name>.hex", spaces as '_'), a scenario with a
// component of every profile on channels 1 to 5, and one of eight bridges.
int Files(const std::string& dir)
{
    std::string channels;
    for (const Target& t : Targets()) {
        std::string file = dir + "/" + t.Name + ".hex";
        std::replace(file.begin() + static_cast<long>(dir.size()), file.end(), ' ', '_');
        if (!BenchHex::WriteImage(file, t.Ranges, false, t.Identity))
            Fail("cannot write " + file);
        if (t.Model)
            channels += StrFormat(R"(%s{"channel": %d, "identifier": "0x21", "capability": 1,
                                  "appName": "%s", "appVersion": "1.0", "serialNumber": "%d"})",
                                  channels.empty() ? "" : ", ", t.Channel, t.Model, t.Channel);
    }
    WriteText(
        dir + "/profiles.json",
        StrFormat(R"({"bridges": [{"serial": "0001", "controller": {%s, "channels": [%s]}}]})",
                  kController, channels.c_str()));
    std::string eight;
    for (int i = 1; i <= 8; ++i)
        eight += StrFormat(R"(%s{"serial": "000%d", "controller": {%s}})", i > 1 ? ", " : "", i,
                           kController);
    WriteText(dir + "/eight.json", R"({"bridges": [)" + eight + "]}");
    return 0;
}

// ---- Frames written raw ----

int OpenRaw(const std::string& port)
{
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0)
        Fail("cannot open " + port);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Reads one stuffed frame; returns its bytes on the wire.
size_t ReadFrame(int fd)
{
    std::vector<uint8_t> wire;
    size_t logical = 0, need = 0; // after the start byte
    bool pair = false;
    while (need == 0 || logical < need) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            Fail("no reply within 5 s");
        uint8_t buf[600];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
            const uint8_t b = buf[i];
            wire.push_back(b);
            if (wire.size() == 1)
                continue;
            if (b == 0xF0 && !pair) {
                pair = true; // the first of a pair: the second is the byte
                continue;
            }
            pair = false;
            if (++logical == 1)
                need = static_cast<size_t>(b) + 6;
        }
    }
    return wire.size();
}

int Frames(const std::string& port, int count)
{
    const int fd = OpenRaw(port);
    struct Kind
    {
        int Bytes;
        bool Stuffed;
        uint8_t Cmd, Channel;
        size_t Payload;
    } kinds[] = {
        {7, false, 20, 0, 0},   {7, true, 20, 0xF0, 0},  {139, false, 3, 0, 132},
        {139, true, 3, 0, 132}, {262, false, 3, 0, 255}, {262, true, 3, 0, 255},
    };
    for (const Kind& k : kinds) {
        // Every payload byte a start byte, sent twice, in the stuffed frames.
        std::vector<uint8_t> payload(k.Payload, k.Stuffed ? 0xF0 : 0x5A);
        NxCmd cmd(k.Cmd, "Bench", k.Channel, k.Cmd == 20 ? NX_ACCESS_READ : NX_ACCESS_WRITE,
                  payload.data(), payload.size());
        cmd.Encode();
        const std::vector<uint8_t> request(cmd.GetBuffer(), cmd.GetBuffer() + cmd.GetFrameLength());
        size_t wire = 0;
        std::vector<double> times;
        for (int i = -1; i < count; ++i) { // one round to settle
            const double t0 = Seconds();
            if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
                Fail("cannot write to " + port);
            const size_t reply = ReadFrame(fd);
            const double t = Seconds() - t0;
            wire = request.size() + reply;
            if (i >= 0)
                times.push_back(t);
        }
        std::sort(times.begin(), times.end());
        const double line = static_cast<double>(wire) / kLineBytesPerSecond;
        double mean = 0;
        for (double t : times)
            mean += t / static_cast<double>(times.size());
        const double median = times[times.size() / 2];
        std::printf("frame=%d stuffed=%d wire_bytes=%zu line_ms=%.3f median_ms=%.3f ratio=%.4f "
                    "mean_ratio=%.4f worst_ratio=%.4f\n",
                    k.Bytes, k.Stuffed ? 1 : 0, wire, line * 1000, median * 1000, median / line,
                    mean / line, times.back() / line);
        std::fflush(stdout);
    }
    ::close(fd);
    return 0;
}

// ---- A download through the serial backend ----

// The serial backend, with the bytes of every write and read counted while
// asked to, and the time split into exchanges (from a request's write to the
// last read of its reply) and the host's own time between them.
class CountingLib : public Bridge::IBridgeLib
{
public:
    bool Counting = false;
    uint64_t Bytes = 0;
    size_t Exchanges = 0;
    double InExchanges = 0, OnTheLine = 0, Between = 0;

    // Closes the exchange under way.
    void EndExchange()
    {
        if (m_Start > 0 && m_LastRead > m_Start) {
            ++Exchanges;
            InExchanges += m_LastRead - m_Start;
            OnTheLine += static_cast<double>(m_Bytes) / kLineBytesPerSecond;
        }
        m_Start = 0;
    }

    Bridge::Status GetNumDevices(uint32_t& count) override { return m_Serial.GetNumDevices(count); }
    Bridge::Status GetProductString(uint32_t index, std::string& out, int selector) override
    {
        return m_Serial.GetProductString(index, out, selector);
    }
    Bridge::Status Open(uint32_t index, std::unique_ptr<Bridge::IPort>& port,
                        Bridge::OpenProblem* problem = nullptr) override
    {
        std::unique_ptr<Bridge::IPort> inner;
        const Bridge::Status st = m_Serial.Open(index, inner, problem);
        if (st == Bridge::kSuccess)
            port = std::make_unique<Port>(std::move(inner), *this);
        return st;
    }
    Bridge::Status SetTimeouts(uint32_t readMs, uint32_t writeMs) override
    {
        return m_Serial.SetTimeouts(readMs, writeMs);
    }
    uint32_t ReadTimeout() const override { return m_Serial.ReadTimeout(); }
    uint32_t WriteTimeout() const override { return m_Serial.WriteTimeout(); }

private:
    class Port : public Bridge::IPort
    {
    public:
        Port(std::unique_ptr<Bridge::IPort> inner, CountingLib& lib)
            : m_pInner(std::move(inner)), m_Lib(lib)
        {
        }
        Bridge::Status Close() override { return m_pInner->Close(); }
        Bridge::Status Read(uint8_t* buf, uint32_t count, uint32_t& got) override
        {
            const Bridge::Status st = m_pInner->Read(buf, count, got);
            Count(got, false);
            return st;
        }
        Bridge::Status Write(const uint8_t* buf, uint32_t count, uint32_t& written) override
        {
            const Bridge::Status st = m_pInner->Write(buf, count, written);
            Count(written, true);
            return st;
        }
        Bridge::Status SetBaudRate(uint32_t baud) override { return m_pInner->SetBaudRate(baud); }
        Bridge::Status Flush(bool tx, bool rx) override { return m_pInner->Flush(tx, rx); }

    private:
        void Count(uint32_t n, bool write)
        {
            if (!m_Lib.Counting) {
                m_Lib.m_Start = m_Lib.m_LastRead = 0;
                return;
            }
            m_Lib.Bytes += n;
            const double now = Seconds();
            if (write) {
                m_Lib.EndExchange();
                if (m_Lib.m_LastRead > 0)
                    m_Lib.Between += now - m_Lib.m_LastRead;
                m_Lib.m_Start = now;
                m_Lib.m_Bytes = 0;
            } else if (n > 0) {
                m_Lib.m_LastRead = now;
            }
            m_Lib.m_Bytes += n;
        }
        std::unique_ptr<Bridge::IPort> m_pInner;
        CountingLib& m_Lib;
    };

    Bridge::SerialBridgeLib m_Serial;
    double m_Start = 0, m_LastRead = 0; // of the exchange under way
    uint64_t m_Bytes = 0;
};

// The page phase: from the first page's progress event to the next event of
// another kind (the checksum, or the reset into the application).
class PagePhase : public IProg
{
public:
    explicit PagePhase(CountingLib& lib) : m_Lib(lib) {}
    void OnEraseStart() override { End(); }
    void OnBlockProgress(const ProgBlock&, uint32_t, uint32_t) override
    {
        if (m_bStarted)
            return;
        m_bStarted = true;
        m_Lib.Counting = true;
        m_Start = Seconds();
    }
    void OnChecksum(uint32_t) override { End(); }
    void OnFailure(const char* text) override { Failure = text ? text : "?"; }
    void OnReset(bool) override { End(); }

    double Spent = 0;
    bool Ended = false;
    std::string Failure;

private:
    void End()
    {
        if (!m_bStarted || Ended)
            return;
        Ended = true;
        m_Lib.EndExchange();
        m_Lib.Counting = false;
        Spent = Seconds() - m_Start;
    }
    CountingLib& m_Lib;
    bool m_bStarted = false;
    double m_Start = 0;
};

int Download(const std::string& port, int channel, const std::string& hex)
{
    ::setenv(Bridge::SerialBridgeLib::kPortsVariable, port.c_str(), 1);
    CountingLib lib;
    Bridge::SetLib(&lib);
    {
        TNxDevList list;
        TNxDev* dev = nullptr;
        if (!list.Update() || !(dev = list.FindBySerial(port)))
            Fail("no controller on " + port);
        NxProgrammer prog(channel);
        int line = 0;
        if (prog.LoadFile(hex.c_str(), line) != 0)
            Fail("cannot load " + hex);
        PagePhase phase(lib);
        // What a dry run checks comes before the download, as in the front ends.
        if (!prog.CheckTarget(dev, &phase))
            Fail("check failed: " + phase.Failure);
        const double t0 = Seconds();
        const bool ok = prog.Download(dev, &phase);
        const double spent = Seconds() - t0;
        if (!ok || !phase.Ended)
            Fail("download failed: " + phase.Failure);
        const double rate = static_cast<double>(lib.Bytes) / phase.Spent;
        const double n = static_cast<double>(std::max<size_t>(lib.Exchanges, 1));
        // Per page: what an exchange took beyond its bytes' line time, and
        // the host's own time from a reply's last read to the next request.
        std::printf("download_s=%.3f page_bytes=%llu page_s=%.3f page_rate=%.1f "
                    "line_share=%.4f pages=%zu over_line_us=%.0f host_us=%.0f\n",
                    spent, static_cast<unsigned long long>(lib.Bytes), phase.Spent, rate,
                    rate / kLineBytesPerSecond, lib.Exchanges,
                    (lib.InExchanges - lib.OnTheLine) / n * 1e6, lib.Between / n * 1e6);
    }
    Bridge::SetLib(nullptr);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::string cmd = argc > 1 ? argv[1] : "";
        if (cmd == "files" && argc == 3)
            return Files(argv[2]);
        if (cmd == "frames" && (argc == 3 || argc == 4))
            return Frames(argv[2], argc == 4 ? std::max(1, std::atoi(argv[3])) : 40);
        if (cmd == "download" && argc == 5)
            return Download(argv[2], std::atoi(argv[3]), argv[4]);
    } catch (const NxException& e) {
        Fail(e.what());
    }
    std::fprintf(stderr, "usage: see the head of bench/bench_wire.cpp\n");
    return 2;
}
