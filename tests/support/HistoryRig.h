// A service record of the test's own: the actions of this process write into
// it for one scope, and the test reads or alters it with plain SQL.
#pragma once

#include "History/ActionRecord.h"
#include "History/HistoryDb.h"
#include "support/TempFolder.h"

#include <sqlite3.h>

#include <string>
#include <vector>

struct HistoryRig
{
    TempFolder Dir{"history"};
    std::string Path = (Dir / "history.db").string();

    explicit HistoryRig(const char* frontend = "cli") { SetHistory(Path, frontend); }
    ~HistoryRig() { SetHistory("", "cli"); }
    HistoryRig(const HistoryRig&) = delete;
    HistoryRig& operator=(const HistoryRig&) = delete;

    std::vector<HistoryRecord> Records() const { return HistoryDb(Path, false).Select(); }
};

// Runs sql on the database at path; "" or sqlite's message.
inline std::string Sql(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    std::string error;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        char* msg = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK)
            error = msg ? msg : "failed";
        sqlite3_free(msg);
    } else {
        error = sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    return error;
}

// A record as an action would write it, with its own start time.
inline HistoryRecord SampleRecord(const std::string& start, const std::string& serial = "0001")
{
    HistoryRecord r;
    r.Start = r.End = start;
    r.Host = "bench";
    r.User = "tech";
    r.Program = "0.5.3";
    r.Frontend = "cli";
    r.Serial = serial;
    r.File = "/srv/fw/app.hex";
    r.DurationMs = 1234;
    return r;
}
