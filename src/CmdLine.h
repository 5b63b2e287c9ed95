// The command line of the desktop program: options of the form --name=value
// in one text, matched against an ordered option table.
#pragma once

#include <string>
#include <vector>

// One recognised option.
struct CmdLineArg
{
    int OptionIndex = 0; // position of the matched name in the option table
    std::string Value;   // empty when the option had no "="
};

// Recognised options in command-line order; repeated options are all kept.
using CmdLineArgs = std::vector<CmdLineArg>;

// Appends one CmdLineArg per recognised option of text to list.
// names: the option table, ending with an empty entry (or a null pointer);
// names are compared ignoring ASCII case. text: the arguments after the
// program name as one string (null gives no options); it is not changed.
// An option runs from "--" to the next " --" (the spaces before that "--"
// are not part of it) or to the end of the text, trailing spaces included;
// text outside options, unknown names and empty names are ignored.
void ParseCommandLine(CmdLineArgs& list, const char* const* names, const char* text);

// The desktop program's options in the order of kNxOptionNames, the
// OptionIndex of each.
enum class ENxOption
{
    File,
    Path,
    Channel,
    Simulate,
    ComLog,
    History, // the service record's file, or "off"
};
extern const char* const kNxOptionNames[];

// A decimal integer with optional sign, surrounded by nothing but spaces;
// anything else (letters, an empty text, a value out of range) gives 0.
int ParseChannelValue(const std::string& value);

// The argument text for ParseCommandLine: argv[1..argc-1] joined with single spaces.
std::string JoinArguments(int argc, const char* const* argv);
