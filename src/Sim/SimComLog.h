// Reader of the communication log that the program writes with --comlog
// (NxComLog_<n>.txt): every exchange with the request bytes the host wrote,
// the reply bytes it read, how its writes and reads failed, and when. The
// replaying device (SimReplayDevice) serves these bytes back.
//
// The reader shares no code with the host's log writer, so that a fault in
// either shows up against the other. It trusts nothing in the file: a line
// it cannot read or lines out of the host's order raise NxException with
// "<file> line <n>: <what>"; sizes are bounded. A log that ends inside an
// exchange (a program that was killed, a file cut in two) is read up to the
// exchange before, and says where it was cut.
#pragma once

#include "Bridge/BridgeLib.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Sim {

// One exchange as the host logged it.
struct SimLogExchange
{
    unsigned Number = 0; // 1 for the first exchange of the log
    int Line = 0;        // line of its "--- SEND" line
    std::string Stamp;   // time stamp of that line as written (12:34:56.789)
    int CmdNr = 0;
    std::string CmdName;
    uint32_t TimeoutMs = 0;
    // The stuffed request as written to the bridge. Unknown when the write
    // failed or the log ends before the request's dump.
    bool RequestKnown = false;
    std::vector<uint8_t> Request;
    Bridge::Status WriteStatus = Bridge::kSuccess; // the write failed with it
    std::vector<uint8_t> Reply;                    // every byte the host read, in order
    Bridge::Status ReadStatus = Bridge::kSuccess;  // the last read failed with it (13: timeout)
    // From the written request to the first read that got all it asked for;
    // at most TimeoutMs. 0 when no read succeeded.
    uint32_t ReplyDelayMs = 0;
};

struct SimComLog
{
    std::string Name; // as given to the reader, for messages
    // The complete exchanges: an exchange the log ends inside is left out.
    std::vector<SimLogExchange> Exchanges;
    // Where the log was cut: "inside exchange 16 ('ProgFlashPage' at
    // 12:00:01.234, line 230), in the hex dump of its request", or "inside
    // line 233" (after a complete exchange). Empty for a log that ends with a
    // complete exchange.
    std::string CutShort;
};

// Bounds: larger files, lines, dumps or timeouts are refused as not ours.
constexpr size_t kMaxComLogBytes = size_t{256} << 20;
constexpr size_t kMaxComLogLine = 64 * 1024;
constexpr size_t kMaxLoggedRequest = 523; // the longest stuffed frame
constexpr size_t kMaxLoggedReply = 64 * 1024;
constexpr uint32_t kMaxLoggedTimeoutMs = 60000;

// Parses the text of a log; name goes into the messages.
SimComLog ParseComLog(std::string_view text, const std::string& name);
// Reads and parses a log file (a regular file of at most kMaxComLogBytes).
SimComLog LoadComLog(const std::string& path);

// True for a folder and for a file whose text is not a scenario (a JSON
// object), also an empty one (the log reader says it is empty). False for a
// file that cannot be read: the scenario reader says why.
bool IsComLogSource(const std::string& path);
// The log files of a folder, NxComLog_<n>.txt and NxComLog_<n>-<pid>.txt, in
// the order of n and then pid; other files are left out.
std::vector<std::string> ComLogFilesIn(const std::string& dir);
// "<n>" or "<n>-<pid>" of such a file name (without folder); empty for other names.
std::string ComLogIndex(const std::string& fileName);

} // namespace Sim
