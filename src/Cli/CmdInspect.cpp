#include "Cli/CmdInspect.h"

#include "Download/DownloadEstimate.h"
#include "Download/FileInspection.h"
#include "Download/NxProgrammer.h"
#include "NxException.h"

CmdInspect::CmdInspect()
    : Command("inspect", "--file=PATH [--channel=N]",
              "what a download file holds and what its download would do; no device needed")
{
}

void CmdInspect::Validate(const CliOptions& opts) const
{
    if (!opts.File)
        throw CliUsageError("inspect needs --file=PATH");
}

int CmdInspect::Execute(CliSession& /*session*/) const
{
    return 0; // runs offline
}

namespace {

const char* KindName(EDownloadKind kind)
{
    switch (kind) {
    case kKindHex:
        return "hex";
    case kKindXml:
        return "xml";
    default:
        return "dat";
    }
}

const char* TargetName(ImageTarget t)
{
    switch (t) {
    case ImageTarget::Controller:
        return "controller";
    case ImageTarget::Component:
        return "component";
    default:
        return "unknown";
    }
}

std::string RangesText(const FirmwareFacts& f)
{
    std::string text;
    for (const auto& [first, end] : f.Ranges)
        text += StrFormat("%s0x%06X-0x%06X", text.empty() ? "" : ", ", first, end - 1);
    return text;
}

CliJson EstimateJson(const DownloadEstimate& e)
{
    return {{"leastMs", e.LeastMs()},
            {"exchanges", e.Exchanges},
            {"requestBytes", e.RequestBytes},
            {"replyBytes", e.ReplyBytes},
            {"pauseMs", e.PauseMs}};
}

CliJson FirmwareJson(const FirmwareFacts& f)
{
    CliJson target = {{"kind", TargetName(f.Target)}};
    if (f.Target != ImageTarget::Unknown) {
        target["name"] = f.Name;
        target["nameAddress"] = f.NameAddress;
    }
    if (f.Profile) {
        target["erase"] = (f.Profile->Flags & kProfileErase) != 0;
        target["pageBase"] = f.Profile->PageBase;
        target["retryDelayMs"] = f.Profile->RetryDelay;
    }
    CliJson ranges = CliJson::array();
    for (const auto& [first, end] : f.Ranges)
        ranges.push_back({{"first", first}, {"last", end - 1}});
    CliJson doc = {{"target", target}, {"blockSize", f.BlockSize}, {"blocks", f.Blocks},
                   {"pages", f.Pages}, {"pageSize", f.PageSize},   {"ranges", ranges},
                   {"bytes", f.Bytes}, {"checksum", nullptr}};
    if (f.Checksum)
        doc["checksum"] = *f.Checksum;
    doc["inApplication"] = f.InApplication ? EstimateJson(*f.InApplication) : CliJson();
    doc["inBootloader"] = EstimateJson(f.InBootloader);
    return doc;
}

CliJson TablesJson(const NxCmdTblData& t)
{
    CliJson pid = CliJson::array();
    for (const auto& r : t.m_PidParams)
        pid.push_back({{"channel", r.Channel},
                       {"set", r.SetNr},
                       {"a1", r.A1},
                       {"b0-mul", r.B0Mul},
                       {"b0-div", r.B0Div},
                       {"b1-mul", r.B1Mul},
                       {"b1-div", r.B1Div},
                       {"b2-mul", r.B2Mul},
                       {"b2-div", r.B2Div},
                       {"sampling", r.Sampling},
                       {"moving-av", r.MovingAv},
                       {"min-control", r.MinControl},
                       {"max-control", r.MaxControl},
                       {"min-setpoint", r.MinSetpoint},
                       {"max-setpoint", r.MaxSetpoint}});
    CliJson comp = CliJson::array();
    for (const auto& r : t.m_CompParamSets)
        comp.push_back({{"channel", r.Channel},
                        {"entry", r.Value},
                        {"identifier", r.Identifier},
                        {"component", r.Name()},
                        {"parameterset", r.SetNr()}});
    return {{"name", t.m_szTblName},
            {"date", t.m_szTblDate},
            {"version", t.m_szTblVersion},
            {"pidParameterSets", pid},
            {"componentParameterSets", comp}};
}

CliJson InspectionJson(const FileInspection& insp)
{
    const DownloadParts& p = insp.Parts;
    CliJson doc = {{"file", insp.File}, {"kind", KindName(p.Kind)}};
    if (p.Kind == kKindDat)
        doc["dat"] = {{"compressed", p.Compressed},
                      {"fileBytes", p.FileBytes},
                      {"unpackedBytes", p.UnpackedBytes},
                      {"hexBytes", p.HexBytes}};
    doc["target"] = InspectionTargetText(insp);
    if (insp.Firmware)
        doc["firmware"] = FirmwareJson(*insp.Firmware);
    if (p.Tables) {
        doc["tables"] = TablesJson(*p.Tables);
        doc["tables"]["inApplication"] = EstimateJson(insp.TablesInApplication);
        doc["tables"]["inBootloader"] = EstimateJson(insp.TablesInBootloader);
    }
    doc["leastTime"] = {{"inApplicationMs", insp.LeastMs(true)},
                        {"inBootloaderMs", insp.LeastMs(false)},
                        {"bitsPerSecond", DownloadEstimate::kBitsPerSecond},
                        {"blockDelayMs", BlockDelayMs()},
                        {"text", InspectionTimeText(insp)}};
    return doc;
}

std::string FirmwareText(const FirmwareFacts& f)
{
    std::string t;
    t += StrFormat("  Block size:  %u bytes\n", f.BlockSize);
    t += StrFormat("  Blocks:      %zu, sent as %zu pages of %u bytes\n", f.Blocks, f.Pages,
                   f.PageSize);
    t += "  Addresses:   " + RangesText(f) + "\n";
    t += StrFormat("  Bytes:       %llu (whole blocks, gaps as zeros)\n",
                   static_cast<unsigned long long>(f.Bytes));
    if (f.Checksum)
        t += StrFormat("  Checksum:    0x%08X (sent with ProgCheckSum)\n", *f.Checksum);
    else
        t += "  Checksum:    none (a component is sent none)\n";
    if (f.Profile && (f.Profile->Flags & kProfileErase))
        t += "  Erase:       the component's flash is erased first\n";
    return t;
}

std::string TablesText(const NxCmdTblData& t)
{
    std::string s;
    s += "  Hardware:    " + t.m_szTblName + "\n";
    s += "  Date:        " + t.m_szTblDate + "\n";
    s += "  Version:     " + t.m_szTblVersion + "\n";
    s += StrFormat("  PID parameter sets: %zu\n", t.m_PidParams.size());
    for (const auto& r : t.m_PidParams)
        s += StrFormat("    channel %u set %u: a1=%u b0=%u/%u b1=%u/%u b2=%u/%u sampling=%u "
                       "moving-av=%u control=%u..%u setpoint=%u..%u\n",
                       r.Channel, r.SetNr, r.A1, r.B0Mul, r.B0Div, r.B1Mul, r.B1Div, r.B2Mul,
                       r.B2Div, r.Sampling, r.MovingAv, r.MinControl, r.MaxControl, r.MinSetpoint,
                       r.MaxSetpoint);
    s += StrFormat("  Component parameter sets: %zu\n", t.m_CompParamSets.size());
    for (const auto& r : t.m_CompParamSets)
        s += StrFormat("    channel %u entry %u: identifier=0x%02X component='%s' "
                       "parameterset=%u\n",
                       r.Channel, r.Value, r.Identifier, r.Name().c_str(), r.SetNr());
    return s;
}

std::string InspectionText(const FileInspection& insp)
{
    const DownloadParts& p = insp.Parts;
    std::string t = "File:          " + insp.File + "\n";
    switch (p.Kind) {
    case kKindHex:
        t += "Kind:          Intel HEX firmware\n";
        break;
    case kKindXml:
        t += "Kind:          parameter tables\n";
        break;
    default:
        t += StrFormat("Kind:          download file, %s, %llu bytes; unpacks to %llu bytes, "
                       "its HexFile to %llu bytes of Intel HEX\n",
                       p.Compressed ? "gzip-compressed" : "plain XML",
                       static_cast<unsigned long long>(p.FileBytes),
                       static_cast<unsigned long long>(p.UnpackedBytes),
                       static_cast<unsigned long long>(p.HexBytes));
        break;
    }
    t += "For:           " + InspectionTargetText(insp) + "\n";
    if (insp.Firmware)
        t += "Firmware:\n" + FirmwareText(*insp.Firmware);
    if (p.Tables)
        t += "Parameter tables:\n" + TablesText(*p.Tables);
    t += "Download time: " + InspectionTimeText(insp) + "\n";
    t += StrFormat("               (frames at %u bit/s and the fixed pauses%s; the device's own "
                   "processing time comes on top)\n",
                   DownloadEstimate::kBitsPerSecond,
                   BlockDelayMs() ? StrFormat(", BLKDELAY %u ms", BlockDelayMs()).c_str() : "");
    return t;
}

} // namespace

int CmdInspect::ExecuteOffline(const CliOptions& opts) const
{
    const FileInspection insp = InspectFile(*opts.File, opts.Channel.value_or(-1));
    if (opts.Json)
        PrintJson(InspectionJson(insp));
    else
        PrintText(InspectionText(insp));
    return 0;
}
