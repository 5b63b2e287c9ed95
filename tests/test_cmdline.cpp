// The desktop program's command line: option splitting, names, values and
// the channel number.
#include "CmdLine.h"

#include <gtest/gtest.h>

namespace {

const char* const kNames[] = {"file", "path", "channel", ""};

CmdLineArgs Parse(const char* text, const char* const* names = kNames)
{
    CmdLineArgs args;
    ParseCommandLine(args, names, text);
    return args;
}

struct Expected
{
    int Index;
    std::string Value;
};

void ExpectArgs(const char* text, const std::vector<Expected>& want)
{
    SCOPED_TRACE(std::string("command line: [") + (text ? text : "(null)") + "]");
    CmdLineArgs got = Parse(text);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].OptionIndex, want[i].Index) << "option " << i;
        EXPECT_EQ(got[i].Value, want[i].Value) << "option " << i;
    }
}

TEST(ParseCommandLine, SplitsOptionsAndValues)
{
    ExpectArgs(nullptr, {});
    ExpectArgs("", {});
    ExpectArgs("   ", {});
    ExpectArgs("file=a.hex -file=b.hex", {});
    ExpectArgs("--file=C:\\fw\\new image.hex --channel=2",
               {{0, "C:\\fw\\new image.hex"}, {2, "2"}});
    ExpectArgs("x --file=a.dat", {{0, "a.dat"}});
    ExpectArgs("--file", {{0, ""}});
    ExpectArgs("--file=", {{0, ""}});
    // Spaces in front of the value are skipped; later "=" stay in the value.
    ExpectArgs("--path=   D:\\a=b", {{1, "D:\\a=b"}});
    // Trailing spaces belong to the last option only.
    ExpectArgs("--file=a.hex   ", {{0, "a.hex   "}});
    ExpectArgs("--file=a.hex   --channel=1", {{0, "a.hex"}, {2, "1"}});
    // Quotes have no meaning; a tab is no separator.
    ExpectArgs("--file=\"a b.hex\"", {{0, "\"a b.hex\""}});
    ExpectArgs("--file=a\t--channel=1", {{0, "a\t--channel=1"}});
    // "--" inside a value without a space in front does not start an option.
    ExpectArgs("--file=a--channel=1", {{0, "a--channel=1"}});
}

TEST(ParseCommandLine, MatchesNamesIgnoringCaseOnly)
{
    ExpectArgs("--FILE=x --Channel=3", {{0, "x"}, {2, "3"}});
    ExpectArgs("--PATH = D:\\files", {}); // "PATH " is no option name
    ExpectArgs("--files=x --fil=y --=z --", {});
    ExpectArgs("--unknown=1 --path=p", {{1, "p"}});
    // Every occurrence is recorded, in order.
    ExpectArgs("--file=a --file=b", {{0, "a"}, {0, "b"}});
    // Empty options between separators are skipped.
    ExpectArgs("-- --file=a", {{0, "a"}});
}

TEST(ParseCommandLine, KeepsTheTextAndStopsAtTheEmptyName)
{
    char text[] = "--file=a --path=b";
    const char* const shortTable[] = {"file", "", "path"}; // "path" lies after the end
    CmdLineArgs args = Parse(text, shortTable);
    ASSERT_EQ(args.size(), 1u);
    EXPECT_EQ(args[0].Value, "a");
    EXPECT_STREQ(text, "--file=a --path=b");

    const char* const nullEnded[] = {"file", "path", nullptr};
    EXPECT_EQ(Parse("--path=b", nullEnded).size(), 1u);
}

TEST(ParseCommandLine, DesktopTableHasItsOrder)
{
    CmdLineArgs args;
    ParseCommandLine(args, kNxOptionNames, "--comlog --simulate=demo.json --channel=1");
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[0].OptionIndex, static_cast<int>(ENxOption::ComLog));
    EXPECT_EQ(args[1].OptionIndex, static_cast<int>(ENxOption::Simulate));
    EXPECT_EQ(args[1].Value, "demo.json");
    EXPECT_EQ(args[2].OptionIndex, static_cast<int>(ENxOption::Channel));
}

TEST(ParseChannelValue, TakesSignedDecimalsOnly)
{
    EXPECT_EQ(ParseChannelValue("2"), 2);
    EXPECT_EQ(ParseChannelValue("+7"), 7);
    EXPECT_EQ(ParseChannelValue("-1"), -1);
    EXPECT_EQ(ParseChannelValue("12  "), 12);
    EXPECT_EQ(ParseChannelValue("abc"), 0);
    EXPECT_EQ(ParseChannelValue("1a"), 0);
    EXPECT_EQ(ParseChannelValue("0x10"), 0);
    EXPECT_EQ(ParseChannelValue(""), 0);
    EXPECT_EQ(ParseChannelValue("+-3"), 0);
    EXPECT_EQ(ParseChannelValue("1 2"), 0);
    EXPECT_EQ(ParseChannelValue("99999999999"), 0);
}

TEST(JoinArguments, JoinsWithSingleSpaces)
{
    const char* argv[] = {"nxupdate", "--file=a b.hex", "--channel=1"};
    EXPECT_EQ(JoinArguments(3, argv), "--file=a b.hex --channel=1");
    EXPECT_EQ(JoinArguments(1, argv), "");
}

} // namespace
