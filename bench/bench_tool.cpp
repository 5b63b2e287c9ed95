// Whole-process measurements for bench/run: makes the test files, loads and
// unpacks them the way a download does (so their run time can be set against
// objcopy, xmllint and base64), reports peak memory, and times downloads
// against the simulated controller with the line's real speed.
//
//   bench_tool hex OUT MIB shuffled|sequential   Intel HEX image of MIB MiB
//   bench_tool dat HEX OUT.dat OUT.b64           download file carrying HEX
//   bench_tool load HEX [OUT.bin]                load; write the flat image
//   bench_tool unpack DAT [temp]                 gzip, XML, Base64 as a .dat download
//   bench_tool noop                              the program's baseline
//   bench_tool download DIR                      page-phase efficiency, CPU share,
//                                                least-time estimate against the whole time
//   bench_tool download DIR images               only write the images into DIR
// Every command ends with "peak_kib=N", the process's peak resident size.
#include "Bridge/SimBridge.h"
#include "Download/NxProgrammer.h"
#include "HexGen.h"
#include "MemoryImage.h"
#include "NxCom/TNxDevList.h"
#include "NxException.h"
#include "Sim/SimScenario.h"
#include "XmlParser/XMLParserBase64Tool.h"
#include "XmlParser/XmlParser.h"
#include "zlibutils.h"

#include <sys/resource.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kLineBytesPerSecond = 5760.0; // 57600 bit/s, 10 bits a byte

[[noreturn]] void Fail(const std::string& text)
{
    std::fprintf(stderr, "bench_tool: %s\n", text.c_str());
    std::exit(1);
}

long PeakKib()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- Files ----

int MakeHex(const std::string& out, uint32_t mib, bool shuffled)
{
    if (!BenchHex::WriteImage(out, {{0, mib << 20}}, shuffled))
        Fail("cannot write " + out);
    return 0;
}

// Base64 in 76-character lines, as packing tools write it.
std::string Base64Lines(const std::string& bytes)
{
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(bytes.size() / 3 * 4 + bytes.size() / 57 * 2 + 8);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                           static_cast<uint8_t>(bytes[i + 1]) << 8 |
                           static_cast<uint8_t>(bytes[i + 2]);
        out += a[v >> 18];
        out += a[(v >> 12) & 63];
        out += a[(v >> 6) & 63];
        out += a[v & 63];
        if (i % 57 == 54)
            out += '\n';
    }
    if (i < bytes.size()) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        out += a[v >> 18];
        out += a[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? a[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out + '\n';
}

int MakeDat(const std::string& hexPath, const std::string& datPath, const std::string& b64Path)
{
    std::ifstream in(hexPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    if (!in)
        Fail("cannot read " + hexPath);
    const std::string b64 = Base64Lines(ss.str());
    std::ofstream(b64Path, std::ios::binary) << b64;

    // The layout of real download files: no declaration, HexFile and the
    // tables directly under the document element.
    const std::string doc = "<NxDownloadFile>\n  <HexFile>\n" + b64 +
                            "  </HexFile>\n  <ParameterTables>\n  </ParameterTables>\n"
                            "</NxDownloadFile>\n";
    gzFile gz = gzopen(datPath.c_str(), "wb6");
    if (!gz ||
        gzwrite(gz, doc.data(), static_cast<unsigned>(doc.size())) !=
            static_cast<int>(doc.size()) ||
        gzclose(gz) != Z_OK)
        Fail("cannot write " + datPath);
    std::printf("document_bytes=%zu\n", doc.size());
    return 0;
}

// ---- Loading and unpacking ----

int Load(const char* path, const char* binPath)
{
    MemoryImage image;
    int line = 0;
    const int rc = image.LoadFile(path, line);
    if (rc != 0)
        Fail(StrFormat("%s: line %d: %s", path, line, IntelHexErrorText(rc)));
    if (binPath) {
        // The flat image from the lowest address, gaps as zeros, as objcopy writes it.
        uint32_t lo = UINT32_MAX, hi = 0;
        for (const ProgBlock* b = image.FirstBlock(); b; b = b->Next) {
            lo = std::min(lo, b->Address());
            hi = std::max(hi, b->Address() + b->DataLength);
        }
        std::vector<uint8_t> flat(hi > lo ? hi - lo : 0);
        for (const ProgBlock* b = image.FirstBlock(); b; b = b->Next)
            std::memcpy(flat.data() + (b->Address() - lo), b->Data(), b->DataLength);
        FILE* f = std::fopen(binPath, "wb");
        if (!f || std::fwrite(flat.data(), 1, flat.size(), f) != flat.size() || std::fclose(f))
            Fail(std::string("cannot write ") + binPath);
    }
    std::printf("blocks=%zu\n", image.GetBlockCount());
    return 0;
}

// The steps of a .dat download before the programmer. With tempFiles the
// document and the decoded HEX text also go to files, as the download
// action writes them; the peers write nothing, so the comparison leaves
// that out.
int Unpack(const char* path, bool tempFiles)
{
    TScopedMallocBuffer<char> text;
    const long n = ReadGzipFile(path, text);
    if (n < 0)
        Fail(GzipErrorText(n));
    const std::string xmlTemp = std::string(path) + ".xml.tmp";
    const std::string hexTemp = std::string(path) + ".hex.tmp";
    if (tempFiles)
        std::ofstream(xmlTemp, std::ios::binary).write(text.get(), n);
    XmlResults res;
    XMLNode hex = ParseBuffer(text.get(), "HexFile", &res);
    if (res.nError != 0 || hex.IsEmpty() || !hex.TextAt(0))
        Fail(StrFormat("parse failed: code %d at line %d", res.nError, res.nLine));
    XMLParserBase64Tool base64;
    size_t size = 0;
    int err = 0;
    const unsigned char* bytes = base64.Decode(hex.TextAt(0), &size, &err);
    if (err != 0)
        Fail("decode failed");
    if (tempFiles) {
        std::ofstream(hexTemp, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        std::remove(xmlTemp.c_str());
        std::remove(hexTemp.c_str());
    }
    std::printf("document_bytes=%ld hex_bytes=%zu\n", n, size);
    return 0;
}

// ---- Downloads against the simulator ----

// Sits between the bridge and the simulated controller and counts the bytes
// on the line while asked to: the host's requests and the device's replies.
class CountingPeer : public Bridge::ISimPeer
{
public:
    explicit CountingPeer(std::shared_ptr<Bridge::ISimPeer> inner) : m_pInner(std::move(inner)) {}
    void OnHostWrite(Bridge::SimDevice& dev, const uint8_t* data, size_t n) override
    {
        const size_t before = dev.Pending();
        m_pInner->OnHostWrite(dev, data, n);
        if (Counting) {
            Requests += n;
            Replies += dev.Pending() - before;
            ++Exchanges;
        }
    }
    void OnFlush(Bridge::SimDevice& dev) override { m_pInner->OnFlush(dev); }

    bool Counting = false;
    size_t Requests = 0, Replies = 0, Exchanges = 0;

private:
    std::shared_ptr<Bridge::ISimPeer> m_pInner;
};

// The page phase runs from the first page's progress event to the next
// event of another kind (the checksum or the reset into the application).
class PhaseClock : public IProg
{
public:
    explicit PhaseClock(CountingPeer& counter) : m_Counter(counter) {}
    void OnEraseStart() override { End(); }
    void OnBlockProgress(const ProgBlock&, uint32_t, uint32_t) override
    {
        if (Started)
            return;
        Started = true;
        m_Counter.Counting = true;
        Wall0 = WallSeconds();
        Cpu0 = CpuSeconds();
    }
    void OnChecksum(uint32_t) override { End(); }
    void OnFailure(const char* text) override { Failure = text ? text : "?"; }
    void OnReset(bool) override { End(); }

    bool Started = false, Ended = false;
    double Wall0 = 0, Cpu0 = 0, Wall = 0, Cpu = 0;
    std::string Failure;

private:
    void End()
    {
        if (!Started || Ended)
            return;
        Ended = true;
        m_Counter.Counting = false;
        Wall = WallSeconds() - Wall0;
        Cpu = CpuSeconds() - Cpu0;
    }
    CountingPeer& m_Counter;
};

void RunDownload(const char* what, int channel, const std::string& hexPath)
{
    Bridge::SimBridgeLib lib;
    Bridge::ScopedLib useLib(lib);
    lib.SetWireTime(true);
    Sim::SimHandle h = Sim::InstallScenario(lib, Sim::DemoScenario()).front();
    auto counter = std::make_shared<CountingPeer>(h.Controller);
    h.Device->SetPeer(counter);

    TNxDevList list;
    TNxDev* dev = nullptr;
    if (!list.Update() || !(dev = list.GetDev(0)))
        Fail("the simulated controller was not listed");

    NxProgrammer prog(channel);
    int line = 0;
    if (prog.LoadFile(hexPath.c_str(), line) != 0)
        Fail("cannot load " + hexPath);
    PhaseClock phase(*counter);
    // The dry run's estimate: the checks before the first write, then the
    // least time for the state they found.
    if (!prog.CheckTarget(dev, &phase))
        Fail(std::string(what) + " check failed: " + phase.Failure);
    const DownloadEstimate est = prog.Estimate(prog.ApplicationRan());
    const double wall0 = WallSeconds(), cpu0 = CpuSeconds();
    const bool ok = prog.Download(dev, &phase);
    const double wall = WallSeconds() - wall0, cpu = CpuSeconds() - cpu0;
    if (!ok || !phase.Ended)
        Fail(std::string(what) + " download failed: " + phase.Failure);

    const size_t bytes = counter->Requests + counter->Replies;
    const double wire = static_cast<double>(bytes) / kLineBytesPerSecond;
    std::printf("download=%s exchanges=%zu request_bytes=%zu reply_bytes=%zu wire_s=%.3f "
                "page_s=%.3f efficiency=%.4f page_cpu_share=%.4f total_s=%.3f "
                "total_cpu_share=%.4f estimate_s=%.3f estimate_ratio=%.4f\n",
                what, counter->Exchanges, counter->Requests, counter->Replies, wire, phase.Wall,
                wire / phase.Wall, phase.Cpu / phase.Wall, wall, cpu / wall,
                static_cast<double>(est.LeastMs()) / 1000.0,
                static_cast<double>(est.LeastMs()) / 1000.0 / wall);
    std::fflush(stdout);
}

int Downloads(const std::string& dir, const std::string& which)
{
    // 256 KiB of code and the application name in its own block.
    const std::string controller = dir + "/controller-256k.hex";
    if (!BenchHex::WriteImage(controller, {{0, 256u << 10}, {0xC08000, 16}}, false,
                              {{0xC08000, std::string("IncuControlApp") + '\0'}}))
        Fail("cannot write " + controller);
    // A whole "Meridian" image: 60 KiB with the model name at its identity address.
    const std::string meridian = dir + "/meridian-60k.hex";
    if (!BenchHex::WriteImage(meridian, {{0, 0xF000}}, false,
                              {{0xEFD0, std::string("Meridian") + '\0'}}))
        Fail("cannot write " + meridian);
    if (which.empty() || which == "controller")
        RunDownload("controller", 0, controller);
    if (which.empty() || which == "meridian")
        RunDownload("meridian", 2, meridian);
    return 0;
}

int Run(int argc, char** argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "hex" && argc == 5)
        return MakeHex(argv[2], static_cast<uint32_t>(std::atoi(argv[3])),
                       std::strcmp(argv[4], "shuffled") == 0);
    if (cmd == "dat" && argc == 5)
        return MakeDat(argv[2], argv[3], argv[4]);
    if (cmd == "load" && (argc == 3 || argc == 4))
        return Load(argv[2], argc == 4 ? argv[3] : nullptr);
    if (cmd == "unpack" && (argc == 3 || (argc == 4 && std::strcmp(argv[3], "temp") == 0)))
        return Unpack(argv[2], argc == 4);
    if (cmd == "noop" && argc == 2)
        return 0;
    if (cmd == "download" && (argc == 3 || argc == 4))
        return Downloads(argv[2], argc == 4 ? argv[3] : "");
    std::fprintf(stderr, "usage: see the head of bench/bench_tool.cpp\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const int rc = Run(argc, argv);
        std::printf("peak_kib=%ld\n", PeakKib());
        return rc;
    } catch (const NxException& e) {
        Fail(e.what());
    }
}
