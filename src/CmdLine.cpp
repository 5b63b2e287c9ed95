#include "CmdLine.h"

#include <charconv>
#include <cstring>

const char* const kNxOptionNames[] = {"file",   "path",    "channel", "simulate",
                                      "comlog", "history", ""};

namespace {

bool EqualsNoCase(const std::string& a, const char* b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

void AddOption(CmdLineArgs& list, const char* const* names, const std::string& option)
{
    std::string name = option, value;
    size_t eq = option.find('=');
    if (eq != std::string::npos) {
        name = option.substr(0, eq);
        size_t v = option.find_first_not_of(' ', eq + 1);
        value = v == std::string::npos ? std::string() : option.substr(v);
    }
    if (name.empty())
        return;
    for (int i = 0; names[i] && names[i][0]; ++i) {
        if (EqualsNoCase(name, names[i])) {
            list.push_back({i, value});
            return;
        }
    }
}

} // namespace

void ParseCommandLine(CmdLineArgs& list, const char* const* names, const char* text)
{
    if (!text || !names)
        return;
    const std::string line(text); // private copy; the caller's text stays as it is
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        if (pos >= line.size())
            break;
        if (line.compare(pos, 2, "--") != 0) {
            ++pos; // text outside options is skipped character by character
            continue;
        }
        size_t start = pos + 2;
        size_t next = line.find(" --", start);
        if (next == std::string::npos) {
            AddOption(list, names, line.substr(start));
            break;
        }
        // The option ends at the first space of the run in front of "--".
        size_t end = next;
        while (end > start && line[end - 1] == ' ')
            --end;
        AddOption(list, names, line.substr(start, end - start));
        pos = end;
    }
}

int ParseChannelValue(const std::string& value)
{
    size_t b = value.find_first_not_of(' ');
    if (b == std::string::npos)
        return 0;
    size_t e = value.find_last_not_of(' ') + 1;
    const char* first = value.data() + b;
    const char* last = value.data() + e;
    if (*first == '+') { // from_chars takes "-" but not "+"
        ++first;
        if (first < last && *first == '-')
            return 0;
    }
    int n = 0;
    auto [ptr, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || ptr != last || first == last)
        return 0;
    return n;
}

std::string JoinArguments(int argc, const char* const* argv)
{
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            text += ' ';
        text += argv[i];
    }
    return text;
}
