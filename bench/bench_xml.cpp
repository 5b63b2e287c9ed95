// Parse and decode throughput on the two shapes the tool meets: a packed
// download file (one large Base64 text) and a document of many small elements.
#include "Xmlutils.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

namespace {

std::string Base64Of(size_t bytes)
{
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 rng(1);
    std::string out;
    out.reserve(bytes * 4 / 3 + bytes / 40);
    for (size_t i = 0; i < bytes; i += 3) {
        const unsigned v = rng() & 0xFFFFFF;
        for (int k = 18; k >= 0; k -= 6)
            out += a[(v >> k) & 63];
        if (i % 57 == 54)
            out += "\r\n"; // 76-character lines
    }
    return out;
}

// ~20 MB: a packed download file with its HexFile and a small table.
const std::string& PackedDocument()
{
    static const std::string doc =
        "<Download>\n<HexFile>\n" + Base64Of(15u << 20) +
        "\n</HexFile>\n<ParameterTables><Name>B</Name></ParameterTables>\n</Download>\n";
    return doc;
}

// 200,000 small elements with attributes and texts.
const std::string& ManyElements()
{
    static const std::string doc = [] {
        std::string s = "<ParameterTables>\n";
        for (int i = 0; i < 200000; ++i)
            s += "  <param name=\"p" + std::to_string(i) + "\" unit='ms'>" + std::to_string(i * 7) +
                 " &amp; more</param>\n";
        return s + "</ParameterTables>\n";
    }();
    return doc;
}

void BM_ParsePacked(benchmark::State& state)
{
    const std::string& doc = PackedDocument();
    for (auto _ : state) {
        XmlResults r;
        XMLNode n = ParseBuffer(doc.c_str(), "HexFile", &r);
        if (r.nError != 0 || n.IsEmpty())
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(n.TextAt(0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
    state.counters["MB"] = static_cast<double>(doc.size()) / 1e6;
}
BENCHMARK(BM_ParsePacked)->Unit(benchmark::kMillisecond);

void BM_ParseManyElements(benchmark::State& state)
{
    const std::string& doc = ManyElements();
    for (auto _ : state) {
        XmlResults r;
        XMLNode n = ParseBuffer(doc.c_str(), "ParameterTables", &r);
        if (r.nError != 0 || n.CountChildren() != 200000)
            state.SkipWithError("parse failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
    state.counters["MB"] = static_cast<double>(doc.size()) / 1e6;
}
BENCHMARK(BM_ParseManyElements)->Unit(benchmark::kMillisecond);

void BM_DecodeBase64(benchmark::State& state)
{
    const XMLNode n = ParseBuffer(PackedDocument().c_str(), "HexFile");
    const char* text = n.TextAt(0);
    const size_t len = std::char_traits<char>::length(text);
    XMLParserBase64Tool tool;
    for (auto _ : state) {
        size_t size = 0;
        int error = 0;
        benchmark::DoNotOptimize(tool.Decode(text, &size, &error));
        if (error != 0)
            state.SkipWithError("decode failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    state.counters["MB"] = static_cast<double>(len) / 1e6;
}
BENCHMARK(BM_DecodeBase64)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
