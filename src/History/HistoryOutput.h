// The service record read back: records of one or several files merged by
// time, and written as a terminal table, JSON, CSV (RFC 4180) or a printable
// report of a visit.
#pragma once

#include "History/HistoryDb.h"

#include <string>
#include <vector>

// The records of every file, merged by start time (files in the order
// given). A file that cannot be read adds its sentence to errors and
// nothing else.
std::vector<HistoryRecord> ReadHistories(const std::vector<std::string>& paths,
                                         const HistoryFilter& filter,
                                         std::vector<std::string>& errors);

// One line per record, times local, newest last; a header line first.
// "1 record", "2 records": a chain's size as the reports say it.
std::string RecordCount(size_t n);

std::string HistoryTable(const std::vector<HistoryRecord>& records);
// One JSON array of one object per record (HistoryRecord::ToJson).
HistoryJson HistoryArray(const std::vector<HistoryRecord>& records);
// A header line of the field names, then one line per record; fields with a
// comma, quote or line break are quoted, lines end with CR LF.
std::string HistoryCsv(const std::vector<HistoryRecord>& records);

// What a report of a visit shows beside its records.
struct HistoryReportInfo
{
    std::string Host, Program;
    std::string From, To; // the period, UTC texts; To excluded
    std::string Printed;  // UTC text of the moment the report was made
    struct File
    {
        std::string Path;
        HistoryChain Chain;
    };
    std::vector<File> Files; // each history with the check of its chain
};
// One self-contained page (no script, no external resource), well-formed
// XML, that prints on A4: the devices, what was done to them, versions
// before and after, results, the files' SHA-256, the chain's head hash of
// each history and lines for the signatures.
std::string HistoryReportHtml(const std::vector<HistoryRecord>& records,
                              const HistoryReportInfo& info);

// Versions as short lines, "application IncuControlApp 4.2.0 2024-05-02".
std::vector<std::string> VersionLines(const HistoryJson& versions);
