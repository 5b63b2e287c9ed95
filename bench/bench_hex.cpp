// Loading time of Intel HEX images of 1, 4 and 16 MiB into 128-byte blocks,
// records in address order and shuffled. Time per MiB should stay flat.
#include "Download/NxProgrammer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// 16-byte data records over mib MiB from address 0, with a linear address
// record whenever the upper 16 bits change.
std::string MakeFile(size_t mib, bool shuffled)
{
    const uint32_t size = static_cast<uint32_t>(mib << 20);
    std::vector<uint32_t> addrs;
    addrs.reserve(size / 16);
    for (uint32_t a = 0; a < size; a += 16)
        addrs.push_back(a);
    if (shuffled)
        std::shuffle(addrs.begin(), addrs.end(), std::mt19937(42));

    const std::string path =
        (std::filesystem::temp_directory_path() /
         ("bench_hex_" + std::to_string(mib) + (shuffled ? "s" : "q") + ".hex"))
            .string();
    FILE* f = std::fopen(path.c_str(), "wb");
    uint32_t upper = UINT32_MAX;
    std::mt19937 rng(7);
    for (uint32_t a : addrs) {
        if ((a >> 16) != upper) {
            upper = a >> 16;
            const unsigned sum = 2 + 4 + (upper >> 8) + (upper & 0xFF);
            std::fprintf(f, ":02000004%04X%02X\n", upper, (0x100 - (sum & 0xFF)) & 0xFF);
        }
        unsigned sum = 16 + ((a >> 8) & 0xFF) + (a & 0xFF);
        std::fprintf(f, ":10%04X00", a & 0xFFFF);
        for (int i = 0; i < 16; ++i) {
            const unsigned b = rng() & 0xFF;
            sum += b;
            std::fprintf(f, "%02X", b);
        }
        std::fprintf(f, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fputs(":00000001FF\n", f);
    std::fclose(f);
    return path;
}

const std::string& FileFor(size_t mib, bool shuffled)
{
    static std::map<std::pair<size_t, bool>, std::string> files;
    auto& path = files[{mib, shuffled}];
    if (path.empty())
        path = MakeFile(mib, shuffled);
    return path;
}

void BM_LoadHex(benchmark::State& state)
{
    const size_t mib = static_cast<size_t>(state.range(0));
    const bool shuffled = state.range(1) != 0;
    const std::string& path = FileFor(mib, shuffled);
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        {
            NxProgrammer prog(0);
            int line = 0;
            if (prog.LoadFile(path.c_str(), line) != 0 || prog.GetBlockCount() != (mib << 20) / 128)
                state.SkipWithError("load failed");
            benchmark::DoNotOptimize(prog.FirstBlock());
        } // freeing the image belongs to a load's cost, so it is timed too
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["ms_per_MiB"] =
        seconds * 1000.0 / static_cast<double>(state.iterations()) / static_cast<double>(mib);
    state.SetLabel(shuffled ? "shuffled" : "sequential");
}

} // namespace

BENCHMARK(BM_LoadHex)
    ->ArgsProduct({{1, 4, 16}, {0, 1}})
    ->ArgNames({"MiB", "shuffled"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
