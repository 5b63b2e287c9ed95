// Loading time of Intel HEX images of 1, 4 and 16 MiB into 128-byte blocks,
// records in address order and shuffled. Time per MiB should stay flat.
#include "HexGen.h"
#include "MemoryImage.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>

namespace {

std::string MakeFile(size_t mib, bool shuffled)
{
    const std::string path =
        (std::filesystem::temp_directory_path() /
         ("bench_hex_" + std::to_string(mib) + (shuffled ? "s" : "q") + ".hex"))
            .string();
    BenchHex::WriteImage(path, {{0, static_cast<uint32_t>(mib << 20)}}, shuffled);
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
            MemoryImage image;
            int line = 0;
            if (image.LoadFile(path.c_str(), line) != 0 ||
                image.GetBlockCount() != (mib << 20) / 128)
                state.SkipWithError("load failed");
            benchmark::DoNotOptimize(image.FirstBlock());
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
