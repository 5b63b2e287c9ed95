// The service record's database: one SQLite file per PC, its schema
// versioned with PRAGMA user_version and migrated forward step by step, in
// WAL mode with a busy timeout so that parallel processes all get their
// records in. Each record is chained to the one before by its hash, and the
// chain is extended inside the write's transaction.
#pragma once

#include "History/HistoryRecord.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// Why a history file cannot be used, as one sentence that names the file.
class HistoryError : public std::runtime_error
{
public:
    explicit HistoryError(const std::string& text) : std::runtime_error(text) {}
};

// The records a listing wants; empty fields select everything.
struct HistoryFilter
{
    std::string Serial;
    std::string Since, Until; // UTC texts as in HistoryRecord::Start; Until excluded
    std::optional<HistoryResult> Result;
};

// What a check of the chain found.
struct HistoryChain
{
    size_t Records = 0;
    std::string Head; // the last record's hash; kGenesisHash when there is none
    // The first record that was changed, removed before or moved, said in a
    // sentence; empty when the chain holds.
    std::string Problem;
    int64_t BadId = 0;
};

class HistoryDb
{
public:
    // The schema this program writes; a file of a later one is refused.
    static constexpr int kSchemaVersion = 2;
    // How long a write waits for another process's transaction.
    static constexpr uint32_t kBusyTimeoutMs = 5000;

    // Opens the file for writing (created when missing, its folder must
    // exist) or for reading (a missing file is an empty record). Raises
    // HistoryError; a file that is not this program's database is left as
    // it is.
    HistoryDb(const std::string& path, bool write);
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    const std::string& Path() const { return m_Path; }

    // Adds rec at the end of the chain in one transaction; sets its Id,
    // PrevHash and Hash. Raises HistoryError.
    void Append(HistoryRecord& rec);
    // Adds every record in order in one transaction (an import, a benchmark's
    // fill); the same chain as one Append each.
    void Append(std::vector<HistoryRecord>& recs);
    // The records the filter selects, by start time.
    std::vector<HistoryRecord> Select(const HistoryFilter& filter = {}) const;
    // Walks every record in the order written and checks each hash and link.
    HistoryChain Verify() const;

    class Stmt; // a prepared statement

private:
    void Insert(Stmt& ins, const HistoryRecord& rec);
    [[noreturn]] void Fail(int rc, const char* doing) const;
    void Exec(const char* sql) const;
    int Step(sqlite3_stmt* s) const;
    int UserVersion() const;
    // Raises for a file with tables but no schema version of ours.
    void RefuseForeign() const;
    void Migrate();

    std::string m_Path;
    sqlite3* m_pDb = nullptr; // null: a missing file opened for reading
    bool m_bWrite;
    mutable uint32_t m_nWaitedMs = 0; // the busy wait of the present statement
    int m_nLogFrames = 0;             // pages in the write-ahead log after the last commit
    static constexpr int kCheckpointFrames = 1000;
};

// Appends rec to the database at path, opened for this one record. Raises HistoryError.
void AppendHistory(const std::string& path, HistoryRecord& rec);
