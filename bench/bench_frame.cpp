// Frame encoding and decoding for the largest frames: a 255-byte payload of
// ordinary bytes, and the worst case where every byte is the start byte and
// has to be doubled. Either costs far less than one byte's time on the line.
#include "NxCom/NxCmd.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr size_t kMaxPayload = 255;

std::vector<uint8_t> Payload(bool allSof)
{
    std::vector<uint8_t> p(kMaxPayload);
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = allSof ? NX_SOF : static_cast<uint8_t>(i * 37 + 11);
    return p;
}

// Build and stuff a request, as every exchange does before writing it.
void BM_Encode(benchmark::State& state)
{
    const std::vector<uint8_t> payload = Payload(state.range(0) != 0);
    NxCmd cmd;
    for (auto _ : state) {
        cmd.Setup(143, "SerialComProgPage", 2, NX_ACCESS_WRITE, payload.data(), payload.size());
        cmd.Encode();
        benchmark::DoNotOptimize(cmd.GetBuffer());
    }
    state.counters["wire_bytes"] = cmd.GetFrameLength();
    state.SetLabel(state.range(0) ? "all start bytes" : "ordinary bytes");
}
BENCHMARK(BM_Encode)->Arg(0)->Arg(1)->ArgName("stuffed");

// Unstuff and verify a reply of the same size, as every exchange does after reading it.
void BM_Decode(benchmark::State& state)
{
    const std::vector<uint8_t> payload = Payload(state.range(0) != 0);
    NxCmd wire(143, "SerialComProgPage", 2, NX_ACCESS_WRITE, payload.data(), payload.size());
    wire.Encode();
    const uint16_t len = wire.GetFrameLength();
    NxCmd cmd;
    for (auto _ : state) {
        std::copy_n(wire.GetBuffer(), len, cmd.GetBuffer());
        cmd.SetFrameLength(len);
        cmd.Decode();
        if (cmd.IsError())
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(cmd.GetBuffer());
    }
    state.counters["wire_bytes"] = len;
    state.SetLabel(state.range(0) ? "all start bytes" : "ordinary bytes");
}
BENCHMARK(BM_Decode)->Arg(0)->Arg(1)->ArgName("stuffed");

} // namespace

BENCHMARK_MAIN();
