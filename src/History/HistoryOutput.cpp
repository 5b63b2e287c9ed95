#include "History/HistoryOutput.h"

#include "History/HistoryTime.h"
#include "NxException.h"

#include <algorithm>
#include <filesystem>
#include <map>

std::vector<HistoryRecord> ReadHistories(const std::vector<std::string>& paths,
                                         const HistoryFilter& filter,
                                         std::vector<std::string>& errors)
{
    std::vector<HistoryRecord> all;
    for (const std::string& path : paths) {
        try {
            std::vector<HistoryRecord> some = HistoryDb(path, false).Select(filter);
            all.insert(all.end(), std::make_move_iterator(some.begin()),
                       std::make_move_iterator(some.end()));
        } catch (const std::exception& e) {
            errors.push_back(e.what());
        }
    }
    // Each file is in order already; equal times keep their file's order.
    std::stable_sort(all.begin(), all.end(), [](const HistoryRecord& a, const HistoryRecord& b) {
        return a.Start < b.Start;
    });
    return all;
}

namespace {

std::string ActionText(const HistoryRecord& r)
{
    return std::string(HistoryActionName(r.Action)) + (r.DryRun ? " (dry run)" : "");
}

std::string DeviceText(const HistoryRecord& r)
{
    return r.Channel > 0 ? StrFormat("%s/%d", r.Serial.c_str(), r.Channel) : r.Serial;
}

std::string Seconds(int64_t ms)
{
    return StrFormat("%.1f s", static_cast<double>(ms) / 1000.0);
}

std::string FileName(const std::optional<std::string>& path)
{
    return path ? std::filesystem::path(*path).filename().string() : std::string();
}

std::string Text(const HistoryJson& v)
{
    if (v.is_null())
        return {};
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_boolean())
        return v.get<bool>() ? "true" : "false";
    return v.dump(-1, ' ', false, HistoryJson::error_handler_t::replace);
}

std::string CsvField(const std::string& s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string q = "\"";
    for (char c : s)
        q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string Html(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            // Control characters are not allowed in XML; line breaks become <br/>.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t')
                out += ' ';
            else
                out += c;
        }
    }
    return out;
}

// Text with its line breaks kept.
std::string HtmlLines(const std::string& s)
{
    std::string out = Html(s);
    for (size_t pos = 0; (pos = out.find('\n', pos)) != std::string::npos; pos += 5)
        out.replace(pos, 1, "<br/>");
    return out;
}

std::string Join(const std::vector<std::string>& lines, const std::string& sep)
{
    std::string out;
    for (const std::string& l : lines)
        out += (out.empty() ? "" : sep) + l;
    return out;
}

std::string Tenths(const HistoryJson& v)
{
    return v.is_number() ? StrFormat("%.1f h", v.get<double>() / 10.0) : "?";
}

constexpr const char* kStyle = R"(
@page { size: A4; margin: 14mm 12mm; }
body { font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; font-size: 9pt;
       color: #000; background: #fff; margin: 0; }
h1 { font-size: 16pt; margin: 0 0 6pt 0; }
h2 { font-size: 11.5pt; margin: 14pt 0 4pt 0; }
table { border-collapse: collapse; width: 100%; table-layout: fixed; }
th, td { border: 0.5pt solid #666; padding: 2pt 3pt; vertical-align: top; text-align: left;
         overflow-wrap: anywhere; }
th { background: #e8e8e8; }
thead { display: table-header-group; }
tr { break-inside: avoid; page-break-inside: avoid; }
table.facts td, table.facts th { border: none; padding: 1pt 6pt 1pt 0; }
table.facts th { background: none; width: 28mm; }
.mono { font-family: "DejaVu Sans Mono", "Liberation Mono", monospace; font-size: 7pt;
        word-break: break-all; }
.bad { font-weight: bold; }
.small { font-size: 7.5pt; }
table.sign { margin-top: 10pt; }
table.sign td { border: none; border-top: 0.75pt solid #000; padding-top: 3pt; height: 34pt;
                vertical-align: bottom; }
table.sign td.gap { border-top: none; width: 8%; }
)";

} // namespace

std::vector<std::string> VersionLines(const HistoryJson& v)
{
    std::vector<std::string> lines;
    if (!v.is_object())
        return lines;
    if (v.contains("state") && v["state"] == "bootloader")
        lines.push_back("in its bootloader");
    if (v.contains("identifier"))
        lines.push_back("identifier " + Text(v["identifier"]));
    static const std::pair<const char*, const char*> kParts[] = {{"hardware", "hardware"},
                                                                 {"bootloader", "bootloader"},
                                                                 {"application", "application"},
                                                                 {"paramTables", "tables"}};
    for (const auto& [key, label] : kParts) {
        if (!v.contains(key) || !v[key].is_object())
            continue;
        std::string line = label;
        for (const char* field : {"name", "version", "date"})
            if (v[key].contains(field) && !Text(v[key][field]).empty())
                line += " " + Text(v[key][field]);
        lines.push_back(line);
    }
    if (v.contains("filter") && v["filter"].is_object()) {
        const HistoryJson& f = v["filter"];
        std::vector<std::string> parts;
        if (f.contains("lastChange"))
            parts.push_back("last change " + Tenths(f["lastChange"]));
        if (f.contains("interval"))
            parts.push_back("interval " + Tenths(f["interval"]));
        if (f.contains("runtime"))
            parts.push_back("runtime " + Tenths(f["runtime"]));
        lines.push_back("filter: " + Join(parts, ", "));
    }
    return lines;
}

std::string RecordCount(size_t n)
{
    return std::to_string(n) + (n == 1 ? " record" : " records");
}

std::string HistoryTable(const std::vector<HistoryRecord>& records)
{
    std::string out = StrFormat("%-26s  %-14s  %-30s  %-11s  %8s  %s\n", "Start", "Device",
                                "Action", "Result", "Time", "File");
    for (const HistoryRecord& r : records) {
        std::string line =
            StrFormat("%-26s  %-14s  %-30s  %-11s  %8s  %s", LocalText(r.Start).c_str(),
                      DeviceText(r).c_str(), ActionText(r).c_str(), HistoryResultName(r.Result),
                      Seconds(r.DurationMs).c_str(), FileName(r.File).c_str());
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
        if (r.Failure) {
            // The failure's first line, below its record.
            out += "    " + r.Failure->substr(0, r.Failure->find('\n')) + "\n";
        }
    }
    return out;
}

HistoryJson HistoryArray(const std::vector<HistoryRecord>& records)
{
    HistoryJson doc = HistoryJson::array();
    for (const HistoryRecord& r : records)
        doc.push_back(r.ToJson());
    return doc;
}

std::string HistoryCsv(const std::vector<HistoryRecord>& records)
{
    std::string out;
    for (const std::string& name : HistoryFieldNames())
        out += (out.empty() ? "" : ",") + CsvField(name);
    out += "\r\n";
    for (const HistoryRecord& r : records) {
        const HistoryJson j = r.ToJson();
        std::string line;
        for (auto it = j.begin(); it != j.end(); ++it)
            line += (it == j.begin() ? "" : ",") + CsvField(Text(*it));
        out += line + "\r\n";
    }
    return out;
}

std::string HistoryReportHtml(const std::vector<HistoryRecord>& records,
                              const HistoryReportInfo& info)
{
    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n";
    h += "<title>Service report " + Html(info.Host) + " " + Html(LocalText(info.From)) +
         "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    h += "<h1>Service report</h1>\n<table class=\"facts\">\n";
    auto fact = [&](const char* name, const std::string& value) {
        h += std::string("<tr><th>") + name + "</th><td>" + value + "</td></tr>\n";
    };
    fact("PC", Html(info.Host));
    fact("Period", Html(LocalText(info.From)) + " to " + Html(LocalText(info.To)));
    fact("Made", Html(LocalText(info.Printed)) + " by " + Html(info.Program));
    fact("Records", std::to_string(records.size()));
    h += "</table>\n";

    // The devices, each controller with the channels that were worked on.
    struct Device
    {
        std::string Port;
        std::map<int, std::string> Channels;
        size_t Actions = 0, Done = 0;
    };
    std::map<std::string, Device> devices;
    for (const HistoryRecord& r : records) {
        Device& d = devices[r.Serial];
        if (r.Port)
            d.Port = *r.Port;
        ++d.Actions;
        d.Done += r.Result == HistoryResult::Done;
        if (r.Channel > 0) {
            std::string what = r.Model.value_or("");
            if (r.ComponentSerial)
                what += (what.empty() ? "serial " : " serial ") + *r.ComponentSerial;
            std::string& c = d.Channels[r.Channel];
            if (c.empty())
                c = what;
        }
    }
    h += "<h2>Devices</h2>\n<table>\n<thead><tr><th style=\"width:22%\">Controller</th>"
         "<th style=\"width:18%\">Port</th><th>Components worked on</th>"
         "<th style=\"width:16%\">Actions</th></tr></thead>\n<tbody>\n";
    for (const auto& [serial, d] : devices) {
        std::vector<std::string> channels;
        for (const auto& [ch, what] : d.Channels)
            channels.push_back(
                Html(StrFormat("channel %d", ch) + (what.empty() ? "" : ": " + what)));
        h += "<tr><td>" + Html(serial) + "</td><td>" + Html(d.Port) + "</td><td>" +
             Join(channels, "<br/>") + "</td><td>" + StrFormat("%zu, %zu done", d.Actions, d.Done) +
             "</td></tr>\n";
    }
    h += "</tbody>\n</table>\n";

    h += "<h2>Actions</h2>\n<table>\n<thead><tr><th style=\"width:13%\">Time</th>"
         "<th style=\"width:13%\">Device</th><th style=\"width:12%\">Action</th>"
         "<th style=\"width:20%\">Versions before / after</th>"
         "<th style=\"width:20%\">File</th><th>Result</th></tr></thead>\n<tbody>\n";
    for (const HistoryRecord& r : records) {
        std::string device = Html(r.Serial);
        if (r.Channel > 0)
            device += Html(StrFormat(", channel %d", r.Channel));
        if (r.Model)
            device += "<br/>" + Html(*r.Model);
        if (r.ComponentSerial)
            device += "<br/>serial " + Html(*r.ComponentSerial);
        std::vector<std::string> before, after;
        for (const std::string& l : VersionLines(r.Before))
            before.push_back(Html(l));
        for (const std::string& l : VersionLines(r.After))
            after.push_back(Html(l));
        std::string versions = "<b>before:</b> " + (before.empty() ? "-" : Join(before, "; "));
        if (!r.DryRun && r.Result == HistoryResult::Done)
            versions += "<br/><b>after:</b> " + (after.empty() ? "-" : Join(after, "; "));
        std::string file;
        if (r.File) {
            file = Html(FileName(r.File));
            if (r.FileSize)
                file += Html(StrFormat(", %lld bytes", static_cast<long long>(*r.FileSize)));
            if (r.Sha256)
                file += "<br/><span class=\"mono\">SHA-256 " + Html(*r.Sha256) + "</span>";
            if (r.Checksum)
                file += "<br/>checksum sent " + Html(*r.Checksum);
        }
        std::string result = std::string("<span") +
                             (r.Result == HistoryResult::Done ? "" : " class=\"bad\"") + ">" +
                             HistoryResultName(r.Result) + "</span>";
        if (r.Failure)
            result += "<br/><span class=\"small\">" + HtmlLines(*r.Failure) + "</span>";
        if (r.Bootloader)
            result += "<br/><b>left in its bootloader</b>";
        h += "<tr><td>" + Html(LocalText(r.Start)) + "<br/>" + Html(Seconds(r.DurationMs)) +
             "<br/><span class=\"small\">" + Html(r.User) + "</span></td><td>" + device +
             "</td><td>" + Html(ActionText(r)) + "</td><td class=\"small\">" + versions +
             "</td><td>" + file + "</td><td>" + result + "</td></tr>\n";
    }
    h += "</tbody>\n</table>\n";

    h += "<h2>Service record</h2>\n";
    for (const auto& f : info.Files) {
        h +=
            "<p>" + Html(f.Path) + ": " + RecordCount(f.Chain.Records) + ", " +
            (f.Chain.Problem.empty() ? std::string("the chain holds")
                                     : "<span class=\"bad\">" + Html(f.Chain.Problem) + "</span>") +
            ".<br/>Head hash <span class=\"mono\">" + Html(f.Chain.Head) + "</span></p>\n";
    }
    h += "<p class=\"small\">A later change to the record shows as another head hash than the "
         "one printed here.</p>\n";

    h += "<table class=\"sign\">\n<tr><td>Technician: name, date, signature</td>"
         "<td class=\"gap\"></td><td>Laboratory: name, date, signature</td></tr>\n</table>\n";
    h += "</body>\n</html>\n";
    return h;
}
