// The simulator's reader of communication logs against cut, edited and
// hostile text (test_replay reads back what the host's log writer writes).
#include "Sim/SimComLog.h"
#include "support/LinkFixture.h"

#include "NxException.h"

#include <filesystem>

namespace fs = std::filesystem;
using Sim::ParseComLog;

namespace {

// The message of the NxException that parsing raises, or "" when it parses.
std::string ParseError(std::string_view text)
{
    try {
        ParseComLog(text, "log.txt");
    } catch (const NxException& e) {
        return e.what();
    }
    return {};
}

const char* const kSend = "12:00:00.000: --- SEND: CmdNr=20; CmdName='DeviceStatus'; Timeout=100\n";
const char* const kWrite = "12:00:00.000: Writing...\n"
                           "12:00:00.001: SI_Write:         F0 00 14 00  52 66 00"
                           "                                [\xB7\xB7\xB7\xB7Rf\xB7         ]\n";
const char* const kRead5 = "12:00:00.001: Reading...\n"
                           "12:00:00.013: SI_Read:          F0 01 14 00  52"
                           "                                      [\xB7\xB7\xB7\xB7R           ]\n";

} // namespace

// Lines that logs of other versions and other places carry.
TEST(ComLogReader, AcceptsWhatOtherVersionsAndMailersMakeOfALog)
{
    const std::string one = std::string(kSend) + kWrite + kRead5 +
                            "12:00:00.013: Reading...\n"
                            "12:00:00.014: SI_Read:          00 66 00 [\xC2\xB7"
                            "f\xC2\xB7]\n"
                            "12:00:00.014: --- RESP: OK: CmdNr=20\n";
    // A stale reply dropped before the request's own (and a note of a kind not known yet).
    const std::string drop = std::string(kSend) + kWrite + kRead5 +
                             "12:00:00.013: Reading...\n"
                             "12:00:00.014: SI_Read:          00 66 00 [...]\n"
                             "12:00:00.014: --- DROP: stale reply CmdNr=129\n"
                             "12:00:00.015: --- NOTE: something new\n" +
                             kRead5 +
                             "12:00:00.013: Reading...\n"
                             "12:00:00.014: SI_Read:          00 66 00 [...]\n";
    auto parsed = ParseComLog(drop, "x");
    ASSERT_EQ(parsed.Exchanges.size(), 1u);
    EXPECT_EQ(parsed.Exchanges[0].Reply.size(), 16u);

    // Windows line ends, as a mail client may leave them.
    std::string crlf;
    for (char c : one)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(ParseComLog(crlf, "x").Exchanges[0].Reply, ParseComLog(one, "x").Exchanges[0].Reply);

    // An empty dump has no line end: the next entry follows on the same line.
    parsed = ParseComLog(std::string(kSend) + "12:00:00.000: Writing...\n"
                                              "12:00:00.000: SI_Write: (no data)"
                                              "12:00:00.000: Reading...\n"
                                              "12:00:00.100: Read failed, error code = 13\n",
                         "x");
    EXPECT_TRUE(parsed.Exchanges[0].RequestKnown);
    EXPECT_TRUE(parsed.Exchanges[0].Request.empty());
}

// Edited and hostile text: a clear error naming the line, never a crash.
TEST(ComLogReader, RefusesWhatItCannotReadNamingTheLine)
{
    const std::string head = std::string(kSend) + "12:00:00.000: Writing...\n";
    struct Row
    {
        std::string Text;
        const char* Error;
    } rows[] = {
        {" \r\n\t\n", "log.txt is empty: neither a communication log nor a scenario"},
        {"12:00:00.000: --- RESP: OK: CmdNr=20\n", "log.txt line 1: no exchange"},
        {"\nhello\n", "log.txt is neither a communication log nor a scenario: line 2 is not a "
                      "time stamp and the file is not a JSON object (it begins 'hello')"},
        {"24:00:00.000: Writing...\n", "line 1 is not a time stamp"},
        {head + "hello\n", "log.txt line 3: expected a time stamp (hh:mm:ss.mmm: ), found"},
        {std::string("12:00:00.000: \x01\xFF\n"), "line 1: unknown line '\\x01\\xFF'"},
        {"12:00:00.000: Writing...\n", "line 1: 'Writing...' without a \"--- SEND\""},
        {"12:00:00.000: --- SEND: CmdNr=300; CmdName='X'; Timeout=100\n",
         "line 1: a \"--- SEND\" line that is not"},
        {"12:00:00.000: --- SEND: CmdNr=20; CmdName='X'; Timeout=999999\n",
         "line 1: a \"--- SEND\" line that is not"},
        {"12:00:00.000: --- SEND: CmdNr=20 CmdName=X\n", "line 1: a \"--- SEND\" line"},
        {std::string(kSend) + "12:00:00.000: SI_Write:  F0 00 [.]\n",
         "line 2: an 'SI_Write' dump without 'Writing...'"},
        {std::string(kSend) + "12:00:00.000: Reading...\n", "line 2: 'Reading...' where no"},
        {head + "12:00:00.000: SI_Read:  F0 [.]\n", "line 3: an 'SI_Read' dump without"},
        {head + "                F0 [.]\n", "line 3: a hex dump continues here, but no dump"},
        {head + "12:00:00.000: SI_Write:  F0 0G [.]\n", "line 3: '0G' in a hex dump is not"},
        {head + "12:00:00.000: SI_Write:  F0 00 14\n", "line 3: a hex dump line without its"},
        {head + "12:00:00.000: SI_Write:  F0 00 [..",
         "log.txt is cut short inside exchange 1 ('DeviceStatus' at 12:00:00.000, line 1), while "
         "its request was written, inside line 3: it holds no complete exchange"},
        {head + "12:00:00.000: SI_Write:  F0 00 [..\n", "line 3: a hex dump line whose char"},
        {head + "12:00:00.000: SI_Write:  [....]\n", "line 3: a hex dump line without any byte"},
        {head + "12:00:00.000: SI_Write:  " + std::string(17 * 3, '0') + " [.]\n",
         "line 3: '000000000000...' in a hex dump is not a byte"},
        {head + "12:00:00.000: SI_Write:  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 [.]\n",
         "line 3: more than 16 bytes on one hex dump line"},
        {head + "12:00:00.000: Write failed, error code = 0\n", "line 3: '0' is not an error code"},
        {head + "12:00:00.000: Write failed, lots of bytes were not written\n",
         "line 3: unknown line 'Write failed, lots"},
        {head + "12:00:00.000: Read failed, error code = 13 (Read timed out)\n",
         "line 3: 'Read failed' without 'Reading...'"},
        {std::string(kSend) + std::string(70000, 'x') + "\n", "line 2: the line is longer than"},
    };
    for (const Row& r : rows) {
        const std::string error = ParseError(r.Text);
        EXPECT_NE(error.find(r.Error), std::string::npos)
            << "text: " << r.Text.substr(0, 200) << "\nerror: " << error;
    }

    // A request longer than any frame, and a reply without end.
    std::string text = head + "12:00:00.000: SI_Write:  00 [.]\n";
    for (int i = 0; i < 40; ++i)
        text += "                00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 [.]\n";
    EXPECT_NE(ParseError(text).find("line 36: more than 523 bytes in one request"),
              std::string::npos)
        << ParseError(text);
}

// Cut at every length: a log holds the exchanges that end before the cut,
// says where it was cut, and without a complete exchange it is refused.
TEST(ComLogReader, TruncatedAtEveryLength)
{
    const std::string first = std::string(kSend) + kWrite + kRead5 +
                              "12:00:00.013: Reading...\n"
                              "12:00:00.014: SI_Read:          00 66 00 [...]\n"
                              "12:00:00.014: --- RESP: OK: CmdNr=20\n";
    const std::string full = first + kSend + kWrite +
                             "12:00:00.013: Reading...\n"
                             "12:00:00.115: Read failed, error code = 13 (Read timed out)\n";
    // The first exchange is whole with its reply; only its verdict line follows.
    const size_t whole = first.rfind("12:00:00.014: ---");
    for (size_t len = 0; len <= full.size(); ++len) {
        const std::string cut = full.substr(0, len);
        if (len < whole) {
            EXPECT_NE(ParseError(cut), "") << "cut at " << len;
            continue;
        }
        const Sim::SimComLog log = ParseComLog(cut, "log.txt");
        EXPECT_EQ(log.Exchanges.size(), len == full.size() ? 2u : 1u) << "cut at " << len;
        EXPECT_EQ(log.CutShort.empty(), len == whole || len == first.size() || len == full.size())
            << "cut at " << len << ": " << log.CutShort;
    }
}

TEST(ComLogFiles, NamesOfLogFilesAndTheirOrderInAFolder)
{
    const std::pair<const char*, const char*> names[] = {
        {"NxComLog_0.txt", "0"},    {"NxComLog_12-4711.txt", "12-4711"},
        {"NxComLog_.txt", ""},      {"NxComLog_1-.txt", ""},
        {"NxComLog_x.txt", ""},     {"nxcomlog_0.txt", ""},
        {"NxComLog_0.txt.bak", ""}, {"NxComLog_1234567890.txt", ""},
    };
    for (auto [name, index] : names)
        EXPECT_EQ(Sim::ComLogIndex(name), index) << name;

    TempFolder dir("comlog_files");
    for (const char* f : {"NxComLog_10.txt", "NxComLog_2-99.txt", "NxComLog_2.txt", "notes.txt",
                          "NxComLog_2-100.txt", "scenario.json"})
        dir.Write(f, "{}");
    std::vector<std::string> names2;
    for (const std::string& p : Sim::ComLogFilesIn(dir.String()))
        names2.push_back(fs::path(p).filename().string());
    EXPECT_EQ(names2, (std::vector<std::string>{"NxComLog_2.txt", "NxComLog_2-99.txt",
                                                "NxComLog_2-100.txt", "NxComLog_10.txt"}));
    // Scenario or log, by content; a folder holds logs.
    EXPECT_TRUE(Sim::IsComLogSource(dir.String()));
    EXPECT_FALSE(Sim::IsComLogSource((dir / "scenario.json").string()));
    dir.Write("bom.json", "\xEF\xBB\xBF \n {\"bridges\": []}");
    EXPECT_FALSE(Sim::IsComLogSource((dir / "bom.json").string()));
    dir.Write("NxComLog_3.txt", kSend);
    EXPECT_TRUE(Sim::IsComLogSource((dir / "NxComLog_3.txt").string()));
    EXPECT_FALSE(Sim::IsComLogSource((dir / "missing.txt").string()));
    EXPECT_THROW(Sim::LoadComLog(dir.String()), NxException); // not a regular file
}
