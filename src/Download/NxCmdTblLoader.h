// Parameter tables: one XML table file in memory (NxCmdTblData), its reader
// (LoadTblData) and the sequence that writes it into a controller
// (NxTblLoader).
#pragma once

#include "Download/DownloadEstimate.h"
#include "XmlParser/XMLNode.h"
#include "XmlParser/XmlParser.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TNxDev;

// The records below are sent to the device byte for byte as they lie in
// memory, and the device expects little-endian words.
static_assert(std::endian::native == std::endian::little,
              "parameter-table records are laid out for a little-endian host");

class NxCmdTblData
{
public:
    // One PID parameter set: the 26-byte "TblPidParam" payload, then the
    // channel and a zero byte. Values are stored as read, cut to their width.
    struct _PidParam
    {
        uint8_t SetNr;        // "value" of the Parameterset element
        uint8_t A1;           // "a1"
        uint16_t B0Mul;       // "b0-mul"
        uint16_t B0Div;       // "b0-div"
        uint16_t B1Mul;       // "b1-mul"
        uint16_t B1Div;       // "b1-div"
        uint16_t B2Mul;       // "b2-mul"
        uint16_t B2Div;       // "b2-div"
        uint16_t Sampling;    // "sampling"
        uint16_t MovingAv;    // "moving-av"
        uint16_t MinControl;  // "min-control"
        uint16_t MaxControl;  // "max-control"
        uint16_t MinSetpoint; // "min-setpoint"
        uint16_t MaxSetpoint; // "max-setpoint"
        uint8_t Channel;      // "channel" of the enclosing Table_PID_Parameter
        uint8_t Reserved;     // always 0

        const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(this); }
    };

    // One component parameter entry. Byte 2 on holds the name (0 to 11
    // characters) and its zero byte, directly followed by the parameter-set
    // number, so the set number moves with the name's length.
    struct _CompParamSet
    {
        static constexpr size_t kMaxName = 11;

        uint8_t Value;          // "value" of the Entry element
        uint8_t Identifier;     // "identifier"
        uint8_t NameAndSet[13]; // name, zero byte, set number, zero fill
        uint8_t Channel;        // "channel" of the enclosing Table_Component_Parameterset

        const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(this); }
        size_t NameLength() const;
        std::string Name() const;
        uint8_t SetNr() const { return NameAndSet[NameLength() + 1]; }
        // Bytes 0 .. 3 + n: what "TblCompParamSet" sends.
        size_t PayloadLength() const { return NameLength() + 4; }
    };

    std::string m_szTblName;
    std::string m_szTblDate;
    std::string m_szTblVersion;
    std::vector<_PidParam> m_PidParams;         // document order
    std::vector<_CompParamSet> m_CompParamSets; // document order
};

static_assert(sizeof(NxCmdTblData::_PidParam) == 28);
static_assert(offsetof(NxCmdTblData::_PidParam, A1) == 1);
static_assert(offsetof(NxCmdTblData::_PidParam, B0Mul) == 2);
static_assert(offsetof(NxCmdTblData::_PidParam, B2Div) == 12);
static_assert(offsetof(NxCmdTblData::_PidParam, Sampling) == 14);
static_assert(offsetof(NxCmdTblData::_PidParam, MaxSetpoint) == 24);
static_assert(offsetof(NxCmdTblData::_PidParam, Channel) == 26);
static_assert(offsetof(NxCmdTblData::_PidParam, Reserved) == 27);
static_assert(sizeof(NxCmdTblData::_CompParamSet) == 16);
static_assert(offsetof(NxCmdTblData::_CompParamSet, Identifier) == 1);
static_assert(offsetof(NxCmdTblData::_CompParamSet, NameAndSet) == 2);
static_assert(offsetof(NxCmdTblData::_CompParamSet, Channel) == 15);

// Reads the table file at path (its ParameterTables element may be the
// document element or a direct child of it). Overwrites the three texts and
// appends to the two arrays. Returns false, changing nothing, when the file
// yields no ParameterTables element; the XML reader has then sent its report
// to NxMessages(). Missing elements and values read as empty or 0; nothing in
// the content is rejected. results (optional) receives the reader's results;
// without showReport the report goes nowhere.
bool LoadTblData(NxCmdTblData& data, const char* path, bool showReport = true,
                 XmlResults* results = nullptr);

// Reads and checks a table file without a device, so that a file that cannot
// be written whole is refused before the first command; a front end may run
// it alone to check a file. what names the file at the start of a sentence
// ("The parameter tables in t.xml"). Returns false, with data unchanged and
// the reader's results in *results, when the file yields no ParameterTables
// element. Raises NxException when the parse stopped short of the file's end
// (unmatched or missing end tags, text after a zero byte: "<what> are
// incomplete: <reader's text> at line L, column C") or a text does not fit a
// frame (CheckTblData).
bool ReadTableFile(NxCmdTblData& data, const char* path, const std::string& what, bool showReport,
                   XmlResults* results = nullptr);
// Raises NxException when a table text is longer than one frame carries.
void CheckTblData(const NxCmdTblData& data);

// The number held by node's first "param" child whose "name" attribute equals
// name without regard to case: strtol in base 0, clamped to 32 bits, for the
// caller to cut to its field. 0 without such a child or without text.
int32_t ReadIntParam(const XMLNode& node, const char* name);
// As ReadIntParam, converted with strtoul (used for "identifier").
uint32_t ReadUIntParam(const XMLNode& node, const char* name);

// Reads the controller's hardware name ("GetHwName", both states answer it)
// and raises "Invalid parameter tables for this hardware!..." when it is not
// tableName, byte for byte.
void CheckTablesHardware(TNxDev& dev, const std::string& tableName);

// Writes one parameter-table file into a controller's application.
class NxTblLoader
{
public:
    class ITblLoaderEvent
    {
    public:
        virtual ~ITblLoaderEvent() = default;
        // text is valid for the call only; percent runs from 0 to 100.
        virtual void OnProgress(const char* text, unsigned percent) = 0;
        // The update failed; text is its report ("Parameter table update
        // failed..."), percent 100. Shown as progress unless overridden.
        virtual void OnFailed(const char* text, unsigned percent) { OnProgress(text, percent); }
    };

    // dev and xmlFile must be set; events may be null. Nothing is owned (the
    // path is copied). Sends nothing.
    NxTblLoader(TNxDev* dev, const char* xmlFile, ITblLoaderEvent* events);
    // Tables already read and checked with ReadTableFile (a .dat's part).
    NxTblLoader(TNxDev* dev, NxCmdTblData tables, ITblLoaderEvent* events);
    NxTblLoader(const NxTblLoader&) = delete;
    NxTblLoader& operator=(const NxTblLoader&) = delete;

    // Reads and checks the file (ReadTableFile) before the first command,
    // brings the controller into its application, checks the table name
    // against its hardware name and writes name, date, version and every
    // record. Returns true on success and never false: a failure is reported
    // once through OnProgress (percent 100) and raised as NxException, either
    // "Parameter table update failed" (unreadable file or a refused write;
    // the writes before it stay in place) or the original message of a
    // failed query, a hardware mismatch or a controller that stays in its
    // bootloader ("Device did not start its application").
    bool Update();

    // The checks Update makes before its first write, sending only reads:
    // the file is read as Update reads it, the controller's state is asked
    // and its hardware name compared with the table name. Returns whether the
    // application runs (if not, Update resets it first). Raises what Update
    // would raise, in the same words; reports nothing.
    bool Check();
    // The tables read by the constructor or by Check and Update.
    const NxCmdTblData& Tables() const { return m_Tables; }
    // The least time of Update for these tables (DownloadEstimate): Update
    // itself against a simulated controller of the tables' hardware that runs
    // its application or must be reset into it.
    static DownloadEstimate Estimate(const NxCmdTblData& data, bool applicationRuns);

    // The plain failure's text; after a refused write the exception's
    // Detail() names the exchange and its error.
    static constexpr const char* kFailedText = "Parameter table update failed";
    static constexpr uint32_t kStatusTimeoutMs = 7500;
    static constexpr uint32_t kCmdTimeoutMs = 2500;
    static constexpr size_t kMaxTextLength = 254; // and its zero: one full frame
    static constexpr uint32_t kRestartStatusTimeoutMs = 5000;
    static constexpr uint32_t kRestartPauseMs = 2000;

private:
    // The sequence; raises PlainFailure for the plain failure.
    void Run();
    void EnsureApplication();
    void CheckHardware(const NxCmdTblData& data);
    void WriteTables(const NxCmdTblData& data);
    bool ReadFile();
    void Progress(const char* text, unsigned percent);
    void Failed(const std::string& text);

    TNxDev* m_pDev;
    std::string m_szXmlFile;
    ITblLoaderEvent* m_pEvents;
    NxCmdTblData m_Tables;
    bool m_bHaveTables = false;
};
