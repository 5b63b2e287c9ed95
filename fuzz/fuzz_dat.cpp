// File bytes as a .dat download into a simulated controller: gzip or plain
// XML, the Base64 firmware inside, then the tables. Whatever the file, the
// download ends (with or without an exception) and leaves no temporary file.
#include "Download/DownloadAction.h"
#include "FuzzFile.h"
#include "NxClock.h"
#include "NxException.h"
#include "NxUi.h"
#include "Sim/SimScenario.h"

#include <cstdlib>
#include <filesystem>

namespace {

class Ui : public NxDownloadUi
{
public:
    void ShowProgress(const std::string&, std::optional<unsigned>) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    namespace fs = std::filesystem;
    static QuietSink quiet;
    static const fs::path tmp =
        fs::temp_directory_path() / ("nxfuzz_dat_" + std::to_string(::getpid()));
    // Registered after tmp is built, so it runs before tmp is destroyed.
    static const bool cleanup = (fs::create_directories(tmp), std::atexit([] {
                                                                  std::error_code ec;
                                                                  fs::remove_all(tmp, ec);
                                                              }) == 0);
    (void)cleanup;
    SetNxMessages(&quiet);
    // The input first, outside tmp: tmp must hold only what the download leaves.
    const std::string& path = FuzzFile(data, size, ".dat");
    ::setenv("TMPDIR", tmp.c_str(), 1);

    VirtualClock clock;
    ScopedClock useClock(clock);
    Bridge::SimBridgeLib lib;
    Bridge::ScopedLib useLib(lib);
    Sim::InstallScenario(lib, Sim::DemoScenario());
    TNxDevList list;
    list.Update();
    Ui ui;
    try {
        RunDownload(list, ui, "0001", 0, path);
    } catch (const NxException& e) {
        if (e.Message().empty())
            __builtin_trap();
    }
    if (!fs::is_empty(tmp))
        __builtin_trap(); // a temporary file survived
    return 0;
}
