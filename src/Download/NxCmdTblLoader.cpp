#include "Download/NxCmdTblLoader.h"

#include "NxClock.h"
#include "NxCmdDL.h"
#include "NxCmdSts.h"
#include "NxCmdTbl.h"
#include "NxCmdVer.h"
#include "NxCom/TNxDev.h"
#include "NxException.h"
#include "Sim/SimController.h"
#include "Xmlutils.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <strings.h>

namespace {

// The tables were made on a system with a 32-bit long, where strtol clamps
// at the 32-bit limits; keep that result on a 64-bit long.
int32_t ClampToInt32(long long v)
{
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

int32_t ToInt32(const char* s)
{
    return ClampToInt32(std::strtoll(s, nullptr, 0));
}

// strtoul with a 32-bit unsigned long: a magnitude beyond 32 bits gives the
// maximum, a negative number wraps.
uint32_t ToUInt32(const char* s)
{
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    if (*s == '+' || *s == '-' || std::isspace(static_cast<unsigned char>(*s)))
        return 0; // strtoul takes one sign directly before the digits
    errno = 0;
    const unsigned long long v = std::strtoull(s, nullptr, 0);
    if (errno == ERANGE || v > UINT32_MAX)
        return UINT32_MAX;
    const auto u = static_cast<uint32_t>(v);
    return negative ? static_cast<uint32_t>(0u - u) : u;
}

// The text of the first "param" child whose "name" equals name, ignoring
// case (tables write "B0-MUL" as well as "b0-mul"); null when there is none.
const char* ParamText(const XMLNode& node, const char* name)
{
    int pos = 0;
    for (XMLNode p = node.FindChild("param", &pos); !p.IsEmpty();
         p = node.FindChild("param", &pos)) {
        // Every "name" attribute of the element counts.
        for (int a = 0; a < p.CountAttributes(); ++a) {
            const char* v = p.AttributeValueAt(a);
            if (v && strcasecmp(p.AttributeNameAt(a), "name") == 0 && strcasecmp(v, name) == 0)
                return p.TextAt(0);
        }
    }
    return nullptr;
}

uint8_t Attr8(const XMLNode& node, const char* name)
{
    return static_cast<uint8_t>(ClampToInt32(ReadIntAttribute(node, name)));
}

uint8_t Param8(const XMLNode& node, const char* name)
{
    return static_cast<uint8_t>(ReadIntParam(node, name));
}

uint16_t Param16(const XMLNode& node, const char* name)
{
    return static_cast<uint16_t>(ReadIntParam(node, name));
}

NxCmdTblData::_PidParam ReadPidParam(const XMLNode& set, uint8_t channel)
{
    NxCmdTblData::_PidParam r{};
    r.SetNr = Attr8(set, "value");
    r.A1 = Param8(set, "a1");
    r.B0Mul = Param16(set, "b0-mul");
    r.B0Div = Param16(set, "b0-div");
    r.B1Mul = Param16(set, "b1-mul");
    r.B1Div = Param16(set, "b1-div");
    r.B2Mul = Param16(set, "b2-mul");
    r.B2Div = Param16(set, "b2-div");
    r.Sampling = Param16(set, "sampling");
    r.MovingAv = Param16(set, "moving-av");
    r.MinControl = Param16(set, "min-control");
    r.MaxControl = Param16(set, "max-control");
    r.MinSetpoint = Param16(set, "min-setpoint");
    r.MaxSetpoint = Param16(set, "max-setpoint");
    r.Channel = channel;
    return r;
}

NxCmdTblData::_CompParamSet ReadCompParamSet(const XMLNode& entry, uint8_t channel)
{
    NxCmdTblData::_CompParamSet r{};
    r.Channel = channel;
    r.Value = Attr8(entry, "value");
    const uint8_t setNr = Param8(entry, "parameterset");
    r.Identifier = static_cast<uint8_t>(ReadUIntParam(entry, "identifier"));
    const char* name = ParamText(entry, "component");
    const size_t n = name ? strnlen(name, NxCmdTblData::_CompParamSet::kMaxName) : 0;
    if (n)
        std::memcpy(r.NameAndSet, name, n);
    r.NameAndSet[n] = 0;
    r.NameAndSet[n + 1] = setNr;
    return r;
}

} // namespace

size_t NxCmdTblData::_CompParamSet::NameLength() const
{
    return strnlen(reinterpret_cast<const char*>(NameAndSet), kMaxName);
}

std::string NxCmdTblData::_CompParamSet::Name() const
{
    return std::string(reinterpret_cast<const char*>(NameAndSet), NameLength());
}

int32_t ReadIntParam(const XMLNode& node, const char* name)
{
    const char* text = ParamText(node, name);
    return text ? ToInt32(text) : 0;
}

uint32_t ReadUIntParam(const XMLNode& node, const char* name)
{
    const char* text = ParamText(node, name);
    return text ? ToUInt32(text) : 0;
}

bool LoadTblData(NxCmdTblData& data, const char* path, bool showReport, XmlResults* results)
{
    const XMLNode root = OpenDocument(path, "ParameterTables", showReport, results);
    if (root.IsEmpty())
        return false;

    data.m_szTblName = ReadChildText(root, "Name");
    data.m_szTblDate = ReadChildText(root, "Date");
    data.m_szTblVersion = ReadChildText(root, "Version");

    int tpos = 0;
    const int pidTables = root.CountChildren("Table_PID_Parameter");
    for (int t = 0; t < pidTables; ++t) {
        const XMLNode table = root.FindChild("Table_PID_Parameter", &tpos);
        const uint8_t channel = Attr8(table, "channel");
        int spos = 0;
        const int sets = table.CountChildren("Parameterset");
        for (int s = 0; s < sets; ++s)
            data.m_PidParams.push_back(
                ReadPidParam(table.FindChild("Parameterset", &spos), channel));
    }

    tpos = 0;
    const int compTables = root.CountChildren("Table_Component_Parameterset");
    for (int t = 0; t < compTables; ++t) {
        const XMLNode table = root.FindChild("Table_Component_Parameterset", &tpos);
        const uint8_t channel = Attr8(table, "channel");
        int epos = 0;
        const int entries = table.CountChildren("Entry");
        for (int e = 0; e < entries; ++e)
            data.m_CompParamSets.push_back(
                ReadCompParamSet(table.FindChild("Entry", &epos), channel));
    }
    return true;
}

bool ReadTableFile(NxCmdTblData& data, const char* path, const std::string& what, bool showReport,
                   XmlResults* results)
{
    XmlResults r;
    NxCmdTblData read;
    const bool ok = LoadTblData(read, path, showReport, &r);
    if (results)
        *results = r;
    if (!ok)
        return false;
    // Loading went on after these; what was cut off would be written as zeros.
    if (r.nError == eXmlUnmatchedEndTagWarning || r.nError == eXmlTextAfterNul)
        ThrowNx("%s are incomplete: %s", what.c_str(), XmlErrorWithPlace(r).c_str());
    CheckTblData(read);
    data = std::move(read);
    return true;
}

void CheckTblData(const NxCmdTblData& data)
{
    // One frame carries 255 payload bytes; a longer text would arrive cut short.
    const std::pair<const char*, const std::string*> texts[] = {{"name", &data.m_szTblName},
                                                                {"date", &data.m_szTblDate},
                                                                {"version", &data.m_szTblVersion}};
    for (const auto& [what, text] : texts)
        if (text->size() > NxTblLoader::kMaxTextLength)
            ThrowNx("Parameter table %s is too long for the device (%zu characters, at most %zu)",
                    what, text->size(), NxTblLoader::kMaxTextLength);
}

NxTblLoader::NxTblLoader(TNxDev* dev, const char* xmlFile, ITblLoaderEvent* events)
    : m_pDev(dev), m_szXmlFile(xmlFile ? xmlFile : ""), m_pEvents(events)
{
}

NxTblLoader::NxTblLoader(TNxDev* dev, NxCmdTblData tables, ITblLoaderEvent* events)
    : m_pDev(dev), m_pEvents(events), m_Tables(std::move(tables)), m_bHaveTables(true)
{
}

void NxTblLoader::Progress(const char* text, unsigned percent)
{
    if (m_pEvents)
        m_pEvents->OnProgress(text, percent);
}

void NxTblLoader::Failed(const std::string& text)
{
    if (m_pEvents)
        m_pEvents->OnFailed(text.c_str(), 100);
}

namespace {

// The plain failure: its text is fixed, its cause (a refused write) the detail.
class PlainFailure : public NxException
{
public:
    explicit PlainFailure(const std::string& cause = {})
        : NxException(NxTblLoader::kFailedText, cause)
    {
    }
};

} // namespace

bool NxTblLoader::Update()
{
    // Reported once here; the caller shows the same message.
    try {
        Run();
    } catch (const PlainFailure&) {
        Failed(kFailedText);
        throw;
    } catch (const NxException& e) {
        Failed(std::string(kFailedText) + ": " + e.Message());
        throw;
    }
    return true;
}

void NxTblLoader::Run()
{
    // Read and checked before the first command: a broken file sends nothing.
    if (!m_bHaveTables && !ReadFile())
        throw PlainFailure();
    EnsureApplication();

    Progress("Loading parameter tables", 0);
    CheckHardware(m_Tables);
    WriteTables(m_Tables);

    Progress("Parameter table successfully updated", 100);
}

bool NxTblLoader::Check()
{
    if (!m_bHaveTables && !ReadFile())
        throw NxException(kFailedText);
    NxCmdSts sts;
    m_pDev->ExecuteOrThrow(sts, kStatusTimeoutMs);
    CheckHardware(m_Tables);
    return sts.IsInApplication();
}

DownloadEstimate NxTblLoader::Estimate(const NxCmdTblData& data, bool applicationRuns)
{
    return MeasureOnSimulator(
        [&](Sim::SimController& ctl) {
            ctl.Bootloader = !applicationRuns;
            ctl.HwName = data.m_szTblName;
        },
        [&](TNxDev& dev) {
            NxTblLoader loader(&dev, data, nullptr);
            loader.Update();
        });
}

bool NxTblLoader::ReadFile()
{
    const std::string name = std::filesystem::path(m_szXmlFile).filename().string();
    m_bHaveTables =
        ReadTableFile(m_Tables, m_szXmlFile.c_str(), "The parameter tables in " + name, true);
    return m_bHaveTables;
}

void NxTblLoader::EnsureApplication()
{
    NxCmdSts sts;
    m_pDev->ExecuteOrThrow(sts, kStatusTimeoutMs);
    if (sts.IsInApplication())
        return;

    Progress("Reset to Application ... ", 0);
    NxCmdDL reset;
    reset.ResetToApplication();
    m_pDev->ExecuteOrThrow(reset, kCmdTimeoutMs);
    NxSleep(kRestartPauseMs);

    sts.DeviceStatus(); // the reply overwrote the request
    m_pDev->ExecuteOrThrow(sts, kRestartStatusTimeoutMs);
    // A bootloader refuses every table write; stop before the first one.
    if (!sts.IsInApplication())
        ThrowNx("Device did not start its application");
}

void NxTblLoader::CheckHardware(const NxCmdTblData& data)
{
    Progress("Check table name against hardware name", 0);
    CheckTablesHardware(*m_pDev, data.m_szTblName);
}

void CheckTablesHardware(TNxDev& dev, const std::string& tableName)
{
    NxCmdVer ver;
    ver.GetHwName();
    dev.ExecuteOrThrow(ver, NxTblLoader::kCmdTimeoutMs);
    if (ver.Text() != tableName)
        ThrowNx("Invalid parameter tables for this hardware!\r\nHardware Name: %s\r\nParamTable "
                "Name: %s",
                ver.Text().c_str(), tableName.c_str());
}

void NxTblLoader::WriteTables(const NxCmdTblData& data)
{
    const unsigned total =
        static_cast<unsigned>(3 + data.m_PidParams.size() + data.m_CompParamSets.size());
    unsigned step = 0;
    NxCmdTbl cmd;
    // A refused write ends the update as the plain failure; its own error
    // is only the detail.
    auto send = [&](const std::string& text) {
        ++step;
        Progress(text.c_str(), step * 100 / total);
        if (!m_pDev->Execute(cmd, kCmdTimeoutMs))
            throw PlainFailure(
                StrFormat("'%s' failed: %s", cmd.GetName().c_str(), cmd.GetErrMsg().c_str()));
    };

    cmd.TblName(data.m_szTblName.c_str());
    send("Write table name");
    cmd.TblDate(data.m_szTblDate.c_str());
    send("Write table date");
    cmd.TblVersion(data.m_szTblVersion.c_str());
    send("Write table version");

    for (size_t i = 0; i < data.m_PidParams.size(); ++i) {
        const auto& r = data.m_PidParams[i];
        cmd.TblPidParam(r.Channel, r.Bytes());
        send(StrFormat("Write pid param table #%d", static_cast<int>(i)));
    }
    for (size_t j = 0; j < data.m_CompParamSets.size(); ++j) {
        const auto& r = data.m_CompParamSets[j];
        cmd.TblCompParamSet(r.Channel, r.Bytes());
        send(StrFormat("Write comp param set #%d", static_cast<int>(j)));
    }
}
