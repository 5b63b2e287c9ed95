// Arbitrary text into the command-line splitter and the channel value.
#include "CmdLine.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CmdLineArgs args;
    ParseCommandLine(args, kNxOptionNames, text.c_str());
    size_t total = 0;
    for (const CmdLineArg& a : args) {
        if (a.OptionIndex < 0 || a.OptionIndex > static_cast<int>(ENxOption::ComLog))
            __builtin_trap();
        total += a.Value.size();
        ParseChannelValue(a.Value);
    }
    // Every option starts with "--" in the text, so values cannot outgrow it.
    if (total > size)
        __builtin_trap();
    const char* argv[] = {"nxupdate", text.c_str(), text.c_str() + size / 2};
    JoinArguments(3, argv);
    ParseChannelValue(text);
    return 0;
}
