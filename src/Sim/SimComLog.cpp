#include "Sim/SimComLog.h"

#include "NxException.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace Sim {

namespace {

constexpr uint32_t kDayMs = 24 * 3600 * 1000;
constexpr size_t kStampLen = 14; // "12:34:56.789: "
constexpr uint8_t kSof = 0xF0;
// The host gives up after this many stale replies in one exchange.
constexpr int kHostStaleReplies = 8;
// The longest reply frame the host takes (its buffer, less a terminating zero).
constexpr size_t kHostFrameLimit = 525;

bool StartsWith(std::string_view s, std::string_view head)
{
    return s.substr(0, head.size()) == head;
}

// A piece of the file for a message: printable ASCII, the rest as \xHH.
std::string Quote(std::string_view s, size_t most = 40)
{
    std::string out;
    for (size_t i = 0; i < s.size() && i < most; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c))
                                     : StrFormat("\\x%02X", static_cast<unsigned>(c));
    }
    return s.size() > most ? out + "..." : out;
}

// A whole decimal number in [lo, hi]; false for anything else.
bool ParseInt(std::string_view s, long lo, long hi, long& out)
{
    const char* end = s.data() + s.size();
    const auto r = std::from_chars(s.data(), end, out);
    return r.ec == std::errc() && r.ptr == end && out >= lo && out <= hi;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Where the reader stands within the host's order of lines for one exchange.
enum class Phase
{
    Idle,      // before the first "--- SEND"
    Sent,      // "--- SEND" read
    Writing,   // "Writing..." read
    WriteFail, // "Write failed, %d bytes were not written" read
    Written,   // the request's dump read
    Reading,   // "Reading..." read
    ReadFail,  // the dump of a failed read's bytes read
    Read,      // a read's dump read
    Done,      // the write or the last read failed
};

// The dump that continuation lines extend.
enum class Dump
{
    None,
    Request,
    Reply,
};

class Reader
{
public:
    Reader(std::string_view text, const std::string& name) : m_Text(text) { m_Log.Name = name; }

    SimComLog Run()
    {
        if (m_Text.find_first_not_of(" \t\r\n") == std::string_view::npos)
            ThrowNx("%s is empty: neither a communication log nor a scenario", m_Log.Name.c_str());
        size_t pos = 0;
        while (pos < m_Text.size()) {
            ++m_nLine;
            size_t end = m_Text.find('\n', pos);
            const bool ended = end != std::string_view::npos;
            if (!ended)
                end = m_Text.size();
            std::string_view line = m_Text.substr(pos, end - pos);
            pos = ended ? end + 1 : end;
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1); // a log that went through a Windows mail client
            if (line.size() > kMaxComLogLine)
                Fail("the line is longer than %zu characters", kMaxComLogLine);
            // A dump of no bytes is written without a line end; any other
            // line without one was cut (what a file that is no log at all
            // holds, Line says).
            const bool noData = line.size() >= 9 && line.substr(line.size() - 9) == "(no data)";
            if (!ended && !noData &&
                (m_bAnyEntry || line.empty() || line[0] == ' ' || StampShaped(line))) {
                m_nCutLine = m_nLine;
                break;
            }
            Line(line);
        }
        if (m_Log.Exchanges.empty())
            Fail("no exchange (\"--- SEND\" line) in the log");
        DropCutExchange();
        return std::move(m_Log);
    }

private:
    [[noreturn]] void Fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, fmt);
        char buf[512];
        std::vsnprintf(buf, sizeof buf, fmt, args);
        va_end(args);
        ThrowNx("%s line %d: %s", m_Log.Name.c_str(), m_nLine, buf);
    }

    SimLogExchange& Current() { return m_Log.Exchanges.back(); }

    [[noreturn]] void FailNeither(std::string_view line)
    {
        ThrowNx("%s is neither a communication log nor a scenario: line %d is not a time stamp "
                "and the file is not a JSON object (it begins '%s')",
                m_Log.Name.c_str(), m_nLine, Quote(line).c_str());
    }

    // "12:34:56.789: " in shape, cut or not.
    static bool StampShaped(std::string_view line)
    {
        const std::string_view shape = "00:00:00.000: ";
        for (size_t i = 0; i < line.size() && i < shape.size(); ++i)
            if ((shape[i] == '0') != (line[i] >= '0' && line[i] <= '9') ||
                (shape[i] != '0' && line[i] != shape[i]))
                return false;
        return !line.empty();
    }

    // Milliseconds since midnight of a "12:34:56.789: " stamp; false if the
    // line does not start with one.
    static bool Stamp(std::string_view line, uint32_t& ms)
    {
        if (line.size() < kStampLen || line[2] != ':' || line[5] != ':' || line[8] != '.' ||
            line.substr(12, 2) != ": ")
            return false;
        long h = 0, m = 0, s = 0, f = 0;
        if (!ParseInt(line.substr(0, 2), 0, 23, h) || !ParseInt(line.substr(3, 2), 0, 59, m) ||
            !ParseInt(line.substr(6, 2), 0, 60, s) || !ParseInt(line.substr(9, 3), 0, 999, f))
            return false;
        ms = static_cast<uint32_t>(((h * 60 + m) * 60 + s) * 1000 + f);
        return true;
    }

    void Line(std::string_view line)
    {
        if (!line.empty() && line[0] == ' ') {
            if (!m_bAnyEntry)
                FailNeither(line);
            if (m_Dump == Dump::None)
                Fail("a hex dump continues here, but no dump came before");
            HexRow(line);
            return;
        }
        m_Dump = Dump::None;
        // "(no data)" ends without a line end, so one line may hold several entries.
        while (!line.empty()) {
            uint32_t ms = 0;
            if (!Stamp(line, ms)) {
                if (!m_bAnyEntry)
                    FailNeither(line);
                Fail("expected a time stamp (hh:mm:ss.mmm: ), found '%s'", Quote(line).c_str());
            }
            m_bAnyEntry = true;
            line = Entry(line.substr(0, 12), ms, line.substr(kStampLen));
        }
    }

    // One time-stamped entry; returns what follows a "(no data)" on the line.
    std::string_view Entry(std::string_view stamp, uint32_t ms, std::string_view text)
    {
        if (StartsWith(text, "--- SEND: ")) {
            Send(stamp, text.substr(10));
            return {};
        }
        if (StartsWith(text, "--- RESP: ")) {
            if (m_Phase != Phase::Idle)
                m_bEnded = true;
            return {};
        }
        if (StartsWith(text, "--- DROP: ")) {
            // A stale reply: the host reads anew for its own, or gives up.
            if (m_Phase != Phase::Idle) {
                m_nReceiveStart = Current().Reply.size();
                m_ReadStarts.clear();
                m_bEnded = ++m_nDrops >= kHostStaleReplies;
            }
            return {};
        }
        if (StartsWith(text, "--- ")) // other notes: the bytes say it all
            return {};
        if (text == "Writing...") {
            Expect(m_Phase == Phase::Sent, "'Writing...' without a \"--- SEND\" line before it");
            m_Phase = Phase::Writing;
            return {};
        }
        if (text == "Reading...") {
            Expect(m_Phase == Phase::Written || m_Phase == Phase::Read,
                   "'Reading...' where no request was written or no read succeeded before it");
            m_Phase = Phase::Reading;
            return {};
        }
        if (StartsWith(text, "SI_Write: ")) {
            Expect(m_Phase == Phase::Writing, "an 'SI_Write' dump without 'Writing...' before it");
            m_Phase = Phase::Written;
            Current().RequestKnown = true;
            m_nWriteMs = ms;
            return DumpStart(text.substr(10), Dump::Request);
        }
        if (StartsWith(text, "SI_Read: ")) {
            Expect(m_Phase == Phase::Reading, "an 'SI_Read' dump without 'Reading...' before it");
            m_Phase = Phase::Read;
            SimLogExchange& e = Current();
            m_ReadStarts.push_back(e.Reply.size());
            if (!m_bReplyTimed) {
                m_bReplyTimed = true;
                e.ReplyDelayMs = std::min((ms + kDayMs - m_nWriteMs) % kDayMs, e.TimeoutMs);
            }
            return DumpStart(text.substr(9), Dump::Reply);
        }
        if (StartsWith(text, "Read failed but some bytes received: ")) {
            Expect(m_Phase == Phase::Reading,
                   "a failed read's dump without 'Reading...' before it");
            m_Phase = Phase::ReadFail;
            return DumpStart(text.substr(37), Dump::Reply);
        }
        if (StartsWith(text, "Read failed, error code = ")) {
            Expect(m_Phase == Phase::Reading || m_Phase == Phase::ReadFail,
                   "'Read failed' without 'Reading...' before it");
            std::string_view code = text.substr(26);
            code = code.substr(0, code.find(' '));
            Current().ReadStatus = Code(code);
            m_Phase = Phase::Done;
            m_bEnded = true;
            return {};
        }
        if (StartsWith(text, "Write failed, error code = ")) {
            Expect(m_Phase == Phase::Writing || m_Phase == Phase::WriteFail,
                   "'Write failed' without 'Writing...' before it");
            Current().WriteStatus = Code(text.substr(27));
            m_Phase = Phase::Done;
            m_bEnded = true;
            return {};
        }
        if (StartsWith(text, "Write failed, ")) {
            Expect(m_Phase == Phase::Writing, "'Write failed' without 'Writing...' before it");
            const std::string_view rest = text.substr(14);
            const size_t sp = rest.find(' ');
            long n = 0;
            if (sp == std::string_view::npos || rest.substr(sp) != " bytes were not written" ||
                !ParseInt(rest.substr(0, sp), 1, static_cast<long>(kMaxLoggedRequest), n))
                Fail("unknown line '%s'", Quote(text).c_str());
            m_Phase = Phase::WriteFail;
            return {};
        }
        Fail("unknown line '%s'", Quote(text).c_str());
    }

    void Expect(bool ok, const char* what)
    {
        if (!ok)
            Fail("%s", what);
    }

    Bridge::Status Code(std::string_view text)
    {
        long code = 0;
        if (!ParseInt(text, -100000, 100000, code) || code == 0)
            Fail("'%s' is not an error code", Quote(text).c_str());
        return static_cast<Bridge::Status>(code);
    }

    // "--- SEND: CmdNr=%d; CmdName='%s'; Timeout=%d"
    void Send(std::string_view stamp, std::string_view text)
    {
        constexpr std::string_view kName = "; CmdName='", kTimeout = "'; Timeout=";
        const size_t name = text.find(kName);
        const size_t timeout = text.rfind(kTimeout);
        long nr = 0, ms = 0;
        if (!StartsWith(text, "CmdNr=") || name == std::string_view::npos ||
            timeout == std::string_view::npos || timeout < name + kName.size() ||
            !ParseInt(text.substr(6, name - 6), 0, 255, nr) ||
            !ParseInt(text.substr(timeout + kTimeout.size()), 0, kMaxLoggedTimeoutMs, ms))
            Fail("a \"--- SEND\" line that is not 'CmdNr=<0..255>; CmdName='<name>'; "
                 "Timeout=<0..%u>': '%s'",
                 kMaxLoggedTimeoutMs, Quote(text, 80).c_str());
        SimLogExchange e;
        e.Number = static_cast<unsigned>(m_Log.Exchanges.size() + 1);
        e.Line = m_nLine;
        e.Stamp = std::string(stamp);
        e.CmdNr = static_cast<int>(nr);
        e.CmdName = std::string(text.substr(name + kName.size(), timeout - name - kName.size()));
        e.TimeoutMs = static_cast<uint32_t>(ms);
        m_Log.Exchanges.push_back(std::move(e));
        m_Phase = Phase::Sent;
        m_bReplyTimed = false;
        m_bEnded = false;
        m_nDrops = 0;
        m_nReceiveStart = 0;
        m_ReadStarts.clear();
    }

    // The first line of a dump: "(no data)" or a row of hex bytes.
    std::string_view DumpStart(std::string_view text, Dump kind)
    {
        if (StartsWith(text, "(no data)"))
            return text.substr(9);
        m_Dump = kind;
        HexRow(text);
        return {};
    }

    // "F0 02 14 00  52 41 42 E9 | 00 30 ...  [chars]": up to 16 bytes, then the
    // character column, which must be complete.
    void HexRow(std::string_view row)
    {
        const bool request = m_Dump == Dump::Request;
        std::vector<uint8_t>& into = request ? Current().Request : Current().Reply;
        const size_t limit = request ? kMaxLoggedRequest : kMaxLoggedReply;
        size_t i = 0, count = 0;
        for (;;) {
            while (i < row.size() && row[i] == ' ')
                ++i;
            if (i == row.size())
                Fail("a hex dump line without its character column '[...]' (cut short?)");
            if (row[i] == '[')
                break;
            if (row[i] == '|') {
                ++i;
                continue;
            }
            if (i + 2 >= row.size())
                Fail("a hex dump line without its character column '[...]' (cut short?)");
            const int hi = HexDigit(row[i]);
            const int lo = HexDigit(row[i + 1]);
            if (hi < 0 || lo < 0 || row[i + 2] != ' ')
                Fail("'%s' in a hex dump is not a byte in hex",
                     Quote(row.substr(i, row.find(' ', i) - i), 12).c_str());
            if (++count > 16)
                Fail("more than 16 bytes on one hex dump line");
            if (into.size() >= limit)
                Fail("more than %zu bytes in one %s", limit,
                     request ? "request" : "exchange's reply");
            into.push_back(static_cast<uint8_t>(hi << 4 | lo));
            i += 3;
        }
        if (count == 0)
            Fail("a hex dump line without any byte");
        if (row.back() != ']')
            Fail("a hex dump line whose character column does not end with ']' (cut short?)");
    }

    // The host's view of the reply it was reading when the log ends.
    enum class ReplyState
    {
        Whole,   // a whole frame (its "--- RESP" line follows)
        Broken,  // the host stopped on it (no start byte, a lone 0xF0, too long)
        CutRead, // a read's dump holds fewer bytes than the host asked for
        Waiting, // the host still waited for bytes
    };

    // Replays the host's reading of a reply: a read of 5 bytes, then reads
    // of what the length byte and the stuffed pairs so far leave.
    ReplyState LastReply() const
    {
        const std::vector<uint8_t>& r = m_Log.Exchanges.back().Reply;
        const uint8_t* b = r.data() + m_nReceiveStart;
        size_t want = 5, total = 0, extra = 0;
        bool pending = false;
        for (size_t k = 0; k < m_ReadStarts.size(); ++k) {
            const size_t end = k + 1 < m_ReadStarts.size() ? m_ReadStarts[k + 1] : r.size();
            const size_t len = end - m_ReadStarts[k];
            if (len < want)
                return ReplyState::CutRead;
            size_t i = total;
            total += len;
            if (i == 0) {
                if (b[0] != kSof)
                    return ReplyState::Broken;
                i = 1;
            }
            for (; i < total; ++i) {
                if (pending) {
                    pending = false;
                    if (b[i] != kSof)
                        return ReplyState::Broken;
                } else if (b[i] == kSof && i + 1 == total) {
                    pending = true;
                    ++extra;
                } else if (b[i] == kSof && b[i + 1] == kSof) {
                    ++extra;
                    ++i;
                }
            }
            const size_t frame = static_cast<size_t>(b[1]) + 7 + extra;
            if (frame <= total)
                return ReplyState::Whole;
            if (frame > kHostFrameLimit)
                return ReplyState::Broken;
            want = frame - total;
        }
        return ReplyState::Waiting;
    }

    // True when the stuffed request holds its whole frame.
    static bool WholeRequest(const std::vector<uint8_t>& w)
    {
        if (w.empty())
            return true; // "(no data)": nothing to count
        size_t logical = 0;
        for (size_t i = 1; i < w.size(); ++i, ++logical)
            if (w[i] == kSof && i + 1 < w.size() && w[i + 1] == kSof)
                ++i;
        return w.size() > 1 && logical >= static_cast<size_t>(w[1]) + 6;
    }

    // Where the last exchange was cut; empty when it ended.
    std::string CutInside() const
    {
        if (m_bEnded)
            return {};
        switch (m_Phase) {
        case Phase::Idle:
        case Phase::Done:
            return {};
        case Phase::Sent:
            return "before its request was written";
        case Phase::Writing:
        case Phase::WriteFail:
            return "while its request was written";
        case Phase::Written:
            return WholeRequest(m_Log.Exchanges.back().Request) ? "after its request was written"
                                                                : "in the hex dump of its request";
        case Phase::Reading:
            return "while its reply was read";
        case Phase::ReadFail:
            return "after a failed read of its reply";
        case Phase::Read:
            switch (LastReply()) {
            case ReplyState::Broken:
            case ReplyState::Whole: // only the verdict line is missing: nothing to replay
                return {};
            case ReplyState::CutRead:
                return "in the hex dump of its reply";
            case ReplyState::Waiting:
                return "between two reads of its reply";
            }
        }
        return {};
    }

    // A log that ends inside an exchange is replayed up to the exchange
    // before; what it lost is said in CutShort.
    void DropCutExchange()
    {
        const std::string inside = CutInside();
        const std::string line = m_nCutLine ? StrFormat("inside line %d", m_nCutLine) : "";
        if (inside.empty()) {
            m_Log.CutShort = line;
            return;
        }
        const SimLogExchange& e = m_Log.Exchanges.back();
        m_Log.CutShort = StrFormat("inside exchange %u ('%s' at %s, line %d), %s%s", e.Number,
                                   e.CmdName.c_str(), e.Stamp.c_str(), e.Line, inside.c_str(),
                                   line.empty() ? "" : (", " + line).c_str());
        m_Log.Exchanges.pop_back();
        if (m_Log.Exchanges.empty())
            ThrowNx("%s is cut short %s: it holds no complete exchange", m_Log.Name.c_str(),
                    m_Log.CutShort.c_str());
    }

    std::string_view m_Text;
    SimComLog m_Log;
    bool m_bAnyEntry = false; // a time-stamped line was read
    int m_nCutLine = 0;       // the last line, which the file ends inside
    bool m_bEnded = false;    // the exchange's last line was read
    int m_nDrops = 0;
    size_t m_nReceiveStart = 0;       // where the reply the host reads now starts
    std::vector<size_t> m_ReadStarts; // where each read of it starts
    int m_nLine = 0;
    Phase m_Phase = Phase::Idle;
    Dump m_Dump = Dump::None;
    uint32_t m_nWriteMs = 0;
    bool m_bReplyTimed = false;
};

} // namespace

SimComLog ParseComLog(std::string_view text, const std::string& name)
{
    return Reader(text, name).Run();
}

SimComLog LoadComLog(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        ThrowNx("Cannot open communication log '%s': %s", path.c_str(), std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        ThrowNx("Communication log '%s' is not a regular file", path.c_str());
    if (static_cast<unsigned long long>(st.st_size) > kMaxComLogBytes)
        ThrowNx("Communication log '%s' is larger than %zu MiB", path.c_str(),
                kMaxComLogBytes >> 20);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        ThrowNx("Cannot open communication log '%s'", path.c_str());
    std::string text(static_cast<size_t>(st.st_size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return ParseComLog(text, path);
}

bool IsComLogSource(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return true;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    // The first character that is not blank decides; a file without one is
    // left to the log reader, which calls it empty.
    char chunk[4096];
    for (bool first = true; in.read(chunk, sizeof chunk) || in.gcount() > 0; first = false) {
        std::string_view s(chunk, static_cast<size_t>(in.gcount()));
        if (first && StartsWith(s, "\xEF\xBB\xBF"))
            s.remove_prefix(3);
        const size_t at = s.find_first_not_of(" \t\r\n");
        if (at != std::string_view::npos)
            return s[at] != '{';
    }
    return true;
}

std::string ComLogIndex(const std::string& fileName)
{
    constexpr std::string_view kHead = "NxComLog_", kTail = ".txt";
    const std::string_view s = fileName;
    if (s.size() <= kHead.size() + kTail.size() || !StartsWith(s, kHead) ||
        s.substr(s.size() - kTail.size()) != kTail)
        return {};
    const std::string_view index = s.substr(kHead.size(), s.size() - kHead.size() - kTail.size());
    const size_t dash = index.find('-');
    const auto digits = [](std::string_view d) {
        return !d.empty() && d.size() <= 9 && d.find_first_not_of("0123456789") == d.npos;
    };
    if (!digits(index.substr(0, dash)) ||
        (dash != std::string_view::npos && !digits(index.substr(dash + 1))))
        return {};
    return std::string(index);
}

std::vector<std::string> ComLogFilesIn(const std::string& dir)
{
    struct Entry
    {
        long Index, Pid;
        std::string Path;
    };
    std::vector<Entry> found;
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(dir, ec)) {
        const std::string index = ComLogIndex(f.path().filename().string());
        if (index.empty())
            continue;
        const size_t dash = index.find('-');
        const long pid = dash == std::string::npos ? -1 : std::stol(index.substr(dash + 1));
        found.push_back({std::stol(index.substr(0, dash)), pid, f.path().string()});
    }
    std::sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) {
        return a.Index != b.Index ? a.Index < b.Index : a.Pid < b.Pid;
    });
    std::vector<std::string> out;
    for (Entry& e : found)
        out.push_back(std::move(e.Path));
    return out;
}

} // namespace Sim
