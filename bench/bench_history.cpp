// The service record's speed and its parallel writers, on this machine's
// disk: one record written as an action writes it (the file opened for it),
// a listing of one device out of 100 000 records, and 8 processes writing
// 1 000 records each at once. Prints key=value lines for bench/run.
//
//   bench_history DIR [CLI]   DIR: a scratch folder; CLI: nxupdate-cli, for
//                             the listing as the user runs it
#include "History/HistoryDb.h"
#include "History/HistoryTime.h"
#include "NxException.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

HistoryRecord Sample(int device, int n)
{
    HistoryRecord r;
    r.Start = r.End = UtcText(HistoryClock::now() + std::chrono::milliseconds(n));
    r.Host = "bench";
    r.User = "tech";
    r.Program = "0.5.3";
    r.Frontend = "cli";
    r.Serial = StrFormat("%04d", device);
    r.Channel = n % 3;
    r.File = "/srv/firmware/incucontrol_app_4.2.0.hex";
    r.FileSize = 262144;
    r.Sha256 = Sha256Hex(std::to_string(n));
    r.Checksum = "0x0123ABCD";
    r.Before = {{"state", "application"}, {"application", {{"name", "IncuControlApp"}}}};
    r.After = {{"state", "application"},
               {"application", {{"name", "IncuControlApp"}, {"version", "4.2.0"}}}};
    r.DurationMs = 61234;
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_history DIR [NXUPDATE-CLI]\n");
        return 2;
    }
    const std::string dir = argv[1];

    // One record as an action writes it: open, append in a transaction, close.
    const std::string one = dir + "/write.db";
    std::vector<double> ms;
    for (int i = 0; i < 200; ++i) {
        HistoryRecord r = Sample(1, i);
        const auto t0 = Clock::now();
        AppendHistory(one, r);
        ms.push_back(MsSince(t0));
    }
    std::sort(ms.begin(), ms.end());
    std::printf("write_median_ms=%.3f write_p95_ms=%.3f\n", ms[ms.size() / 2],
                ms[ms.size() * 95 / 100]);

    // 100 000 records of 100 devices; one device's are listed.
    const std::string big = dir + "/big.db";
    {
        std::vector<HistoryRecord> all;
        for (int n = 0; n < 100000; ++n)
            all.push_back(Sample(n % 100, n));
        HistoryDb(big, true).Append(all);
    }
    auto t0 = Clock::now();
    HistoryFilter f;
    f.Serial = "0042";
    const size_t listed = HistoryDb(big, false).Select(f).size();
    std::printf("list_records=%zu list_ms=%.1f", listed, MsSince(t0));
    if (argc > 2) {
        const std::string cmd =
            std::string(argv[2]) + " history --history=" + big + " --device=0042 --json >/dev/null";
        t0 = Clock::now();
        const int rc = std::system(cmd.c_str());
        std::printf(" cli_list_ms=%.1f cli_rc=%d", MsSince(t0), rc);
    }
    std::printf("\n");

    // 8 writers at once, each record in its own opening as in 8 actions.
    const std::string shared = dir + "/parallel.db";
    constexpr int kWriters = 8, kEach = 1000;
    t0 = Clock::now();
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            int lost = 0;
            for (int i = 0; i < kEach; ++i) {
                HistoryRecord r = Sample(w, i);
                try {
                    AppendHistory(shared, r);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "writer %d: %s\n", w, e.what());
                    ++lost;
                }
            }
            ::_exit(std::min(lost, 100));
        }
        pids.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        failed += WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    }
    const double parallelMs = MsSince(t0);
    const HistoryChain chain = HistoryDb(shared, false).Verify();
    std::printf("parallel_records=%zu parallel_expected=%d parallel_failed=%d parallel_s=%.1f "
                "chain=%s\n",
                chain.Records, kWriters * kEach, failed, parallelMs / 1000,
                chain.Problem.empty() ? "ok" : "broken");
    return 0;
}
