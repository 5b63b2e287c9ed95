#include "History/HistoryDb.h"

#include "NxClock.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sys/stat.h>

namespace {

// Each step brings a file from version i to i + 1; a new version adds a step
// and never changes an old one, so every older file can be brought forward.
const char* const kMigrations[] = {
    "CREATE TABLE record ("
    " id INTEGER PRIMARY KEY,"
    " start_utc TEXT NOT NULL, end_utc TEXT NOT NULL,"
    " host TEXT NOT NULL, user TEXT NOT NULL, program TEXT NOT NULL, frontend TEXT NOT NULL,"
    " action TEXT NOT NULL, dry_run INTEGER NOT NULL,"
    " serial TEXT NOT NULL, port TEXT, channel INTEGER NOT NULL,"
    " model TEXT, component_serial TEXT, before TEXT, after TEXT,"
    " file TEXT, file_size INTEGER, sha256 TEXT, checksum TEXT,"
    " result TEXT NOT NULL, failure TEXT, bootloader INTEGER NOT NULL,"
    " duration_ms INTEGER NOT NULL, comlog TEXT,"
    " prev_hash TEXT NOT NULL, hash TEXT NOT NULL);"
    "CREATE INDEX record_device_time ON record(serial, start_utc);"
    "CREATE INDEX record_time ON record(start_utc);",
    "ALTER TABLE record ADD COLUMN run TEXT;",
};
static_assert(std::size(kMigrations) == HistoryDb::kSchemaVersion);

constexpr const char* kColumns =
    "id, start_utc, end_utc, host, user, program, frontend, action, dry_run, serial, port, "
    "channel, model, component_serial, before, after, file, file_size, sha256, checksum, "
    "result, failure, bootloader, duration_ms, comlog, prev_hash, hash, run";

// Waits for another process's transaction on the replaceable clock, as every
// wait of the core does, up to the busy timeout.
int WaitWhileBusy(void* waited, int count)
{
    static const uint32_t kSteps[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    auto& total = *static_cast<uint32_t*>(waited);
    if (total >= HistoryDb::kBusyTimeoutMs)
        return 0;
    const uint32_t step = kSteps[std::min<size_t>(static_cast<size_t>(count), 11)];
    NxSleep(step);
    total += step;
    return 1;
}

} // namespace

class HistoryDb::Stmt
{
public:
    Stmt(sqlite3* db, const char* sql) { m_Rc = sqlite3_prepare_v2(db, sql, -1, &m_p, nullptr); }
    ~Stmt() { sqlite3_finalize(m_p); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    int PrepareResult() const { return m_Rc; }
    sqlite3_stmt* get() const { return m_p; }

    void Bind(int i, const std::string& s)
    {
        sqlite3_bind_text(m_p, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    void Bind(int i, int64_t v) { sqlite3_bind_int64(m_p, i, v); }
    void Bind(int i, const std::optional<std::string>& s)
    {
        s ? Bind(i, *s) : void(sqlite3_bind_null(m_p, i));
    }
    void Bind(int i, const std::optional<int64_t>& v)
    {
        v ? Bind(i, *v) : void(sqlite3_bind_null(m_p, i));
    }
    void Bind(int i, const HistoryJson& j)
    {
        j.is_null() ? void(sqlite3_bind_null(m_p, i))
                    : Bind(i, j.dump(-1, ' ', false, HistoryJson::error_handler_t::replace));
    }

    std::string Text(int i) const
    {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(m_p, i));
        return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(m_p, i))) : "";
    }
    std::optional<std::string> OptText(int i) const
    {
        return sqlite3_column_type(m_p, i) == SQLITE_NULL ? std::nullopt
                                                          : std::optional<std::string>(Text(i));
    }
    int64_t Int(int i) const { return sqlite3_column_int64(m_p, i); }
    std::optional<int64_t> OptInt(int i) const
    {
        return sqlite3_column_type(m_p, i) == SQLITE_NULL ? std::nullopt
                                                          : std::optional<int64_t>(Int(i));
    }
    HistoryJson Json(int i) const
    {
        const auto t = OptText(i);
        return t ? HistoryJson::parse(*t, nullptr, false) : HistoryJson(nullptr);
    }

private:
    sqlite3_stmt* m_p = nullptr;
    int m_Rc;
};

namespace {
using Stmt = HistoryDb::Stmt;

HistoryRecord ReadRow(const Stmt& s)
{
    HistoryRecord r;
    int c = 0;
    r.Id = s.Int(c++);
    r.Start = s.Text(c++);
    r.End = s.Text(c++);
    r.Host = s.Text(c++);
    r.User = s.Text(c++);
    r.Program = s.Text(c++);
    r.Frontend = s.Text(c++);
    // A name this program does not know reads as the first; the hash then tells.
    r.Action = HistoryActionFromName(s.Text(c++)).value_or(HistoryAction::ControllerFirmware);
    r.DryRun = s.Int(c++) != 0;
    r.Serial = s.Text(c++);
    r.Port = s.OptText(c++);
    r.Channel = static_cast<int>(s.Int(c++));
    r.Model = s.OptText(c++);
    r.ComponentSerial = s.OptText(c++);
    r.Before = s.Json(c++);
    r.After = s.Json(c++);
    r.File = s.OptText(c++);
    r.FileSize = s.OptInt(c++);
    r.Sha256 = s.OptText(c++);
    r.Checksum = s.OptText(c++);
    r.Result = HistoryResultFromName(s.Text(c++)).value_or(HistoryResult::Failed);
    r.Failure = s.OptText(c++);
    r.Bootloader = s.Int(c++) != 0;
    r.DurationMs = s.Int(c++);
    r.Comlog = s.OptText(c++);
    r.PrevHash = s.Text(c++);
    r.Hash = s.Text(c++);
    r.Run = s.OptText(c++);
    return r;
}

std::string Describe(const HistoryRecord& r)
{
    return "record " + std::to_string(r.Id) + " (" + r.Start + ", " + r.Serial + ", " +
           HistoryActionName(r.Action) + ")";
}

} // namespace

HistoryDb::HistoryDb(const std::string& path, bool write) : m_Path(path), m_bWrite(write)
{
    struct stat st
    {
    };
    if (!write && ::stat(path.c_str(), &st) != 0 && errno == ENOENT)
        return; // nothing recorded yet
    const int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    const int rc = sqlite3_open_v2(path.c_str(), &m_pDb, flags, nullptr);
    if (rc != SQLITE_OK) {
        // The handle still says why; it must be closed after.
        std::string why = m_pDb ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc);
        if (m_pDb && sqlite3_system_errno(m_pDb))
            why = std::strerror(sqlite3_system_errno(m_pDb));
        sqlite3_close(m_pDb);
        m_pDb = nullptr;
        throw HistoryError("The history " + path + " cannot be opened: " + why);
    }
    try {
        sqlite3_busy_handler(m_pDb, WaitWhileBusy, &m_nWaitedMs);
        // Each action opens the file for its one record: a checkpoint on every
        // close would sync each time. SQLite checkpoints as the log grows.
        sqlite3_db_config(m_pDb, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_wal_hook(
            m_pDb,
            [](void* frames, sqlite3*, const char*, int n) {
                *static_cast<int*>(frames) = n;
                return SQLITE_OK;
            },
            &m_nLogFrames);
        sqlite3_extended_result_codes(m_pDb, 1);
        const int version = UserVersion(); // the first read: a file that is no database fails here
        if (version > kSchemaVersion)
            throw HistoryError("The history " + path + " was written by a newer version of " +
                               "the program (schema " + std::to_string(version) +
                               ", this one knows " + std::to_string(kSchemaVersion) +
                               "); it is left as it is");
        if (version == 0)
            RefuseForeign(); // before anything is changed in it
        if (write) {
            // Parallel processes each write a record; WAL lets them read meanwhile.
            // In WAL mode a commit without its own sync still leaves a sound file
            // after a power loss, at worst without the last records; a sync per
            // record would cost tens of milliseconds on a slow disk.
            Exec("PRAGMA journal_mode=WAL");
            Exec("PRAGMA synchronous=NORMAL");
            // The log is cut back to this once a checkpoint has taken it all in.
            Exec("PRAGMA journal_size_limit=1048576");
            Migrate();
        }
    } catch (...) {
        sqlite3_close(m_pDb);
        m_pDb = nullptr;
        throw;
    }
}

HistoryDb::~HistoryDb()
{
    sqlite3_close(m_pDb);
}

void HistoryDb::Fail(int rc, const char* doing) const
{
    std::string why;
    switch (rc & 0xFF) {
    case SQLITE_NOTADB:
        why = "is not a database; it is left as it is for inspection";
        break;
    case SQLITE_CORRUPT:
        why = "is damaged; it is left as it is for inspection";
        break;
    case SQLITE_READONLY:
        why = "is read-only";
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        why = "is locked by another program for more than " +
              std::to_string(kBusyTimeoutMs / 1000) + " s";
        break;
    case SQLITE_FULL:
        why = "cannot grow: the disk is full";
        break;
    default: {
        const int err = m_pDb ? sqlite3_system_errno(m_pDb) : 0;
        why = std::string("cannot be ") + doing + ": " +
              (err     ? std::strerror(err)
               : m_pDb ? sqlite3_errmsg(m_pDb)
                       : sqlite3_errstr(rc));
    }
    }
    throw HistoryError("The history " + m_Path + " " + why);
}

// Some waits never reach the busy handler (the switch to WAL while another
// process makes the file, a log another process is recovering): they are
// retried here, within the same timeout.
void HistoryDb::Exec(const char* sql) const
{
    int rc = SQLITE_OK;
    for (int n = 0; (rc = sqlite3_exec(m_pDb, sql, nullptr, nullptr, nullptr)) != SQLITE_OK; ++n)
        if ((rc & 0xFF) != SQLITE_BUSY || !WaitWhileBusy(&m_nWaitedMs, n))
            Fail(rc, m_bWrite ? "written" : "read");
}

int HistoryDb::Step(sqlite3_stmt* s) const
{
    int rc = SQLITE_OK;
    for (int n = 0; (rc = sqlite3_step(s)) != SQLITE_ROW && (rc & 0xFF) == SQLITE_BUSY &&
                    WaitWhileBusy(&m_nWaitedMs, n);
         ++n)
        sqlite3_reset(s);
    return rc;
}

int HistoryDb::UserVersion() const
{
    Stmt s(m_pDb, "PRAGMA user_version");
    int rc = s.PrepareResult();
    if (rc == SQLITE_OK && (rc = Step(s.get())) == SQLITE_ROW)
        return static_cast<int>(s.Int(0));
    Fail(rc, "read");
}

void HistoryDb::RefuseForeign() const
{
    Stmt s(m_pDb, "SELECT count(*) FROM sqlite_master");
    int rc = s.PrepareResult();
    if (rc != SQLITE_OK || (rc = Step(s.get())) != SQLITE_ROW)
        Fail(rc, "read");
    // Another process of ours may have made the table since the version was read.
    if (s.Int(0) != 0 && UserVersion() == 0)
        throw HistoryError("The history " + m_Path + " is a database of another program");
}

void HistoryDb::Migrate()
{
    if (UserVersion() == kSchemaVersion)
        return;
    m_nWaitedMs = 0;
    Exec("BEGIN IMMEDIATE");
    try {
        // Another process may have done it meanwhile.
        const int version = UserVersion();
        if (version == 0)
            RefuseForeign();
        for (int v = version; v < kSchemaVersion; ++v)
            Exec(kMigrations[v]);
        Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void HistoryDb::Append(HistoryRecord& rec)
{
    std::vector<HistoryRecord> one{std::move(rec)};
    Append(one);
    rec = std::move(one.front());
}

void HistoryDb::Append(std::vector<HistoryRecord>& recs)
{
    m_nWaitedMs = 0;
    Exec("BEGIN IMMEDIATE");
    try {
        Stmt last(m_pDb, "SELECT hash FROM record ORDER BY id DESC LIMIT 1");
        int rc = last.PrepareResult();
        if (rc != SQLITE_OK || ((rc = sqlite3_step(last.get())) != SQLITE_ROW && rc != SQLITE_DONE))
            Fail(rc, "read");
        std::string prev = rc == SQLITE_ROW ? last.Text(0) : kGenesisHash;

        Stmt ins(m_pDb, "INSERT INTO record (start_utc, end_utc, host, user, program, frontend, "
                        "action, dry_run, serial, port, channel, model, component_serial, before, "
                        "after, file, file_size, sha256, checksum, result, failure, bootloader, "
                        "duration_ms, comlog, prev_hash, hash, run) VALUES "
                        "(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        if (ins.PrepareResult() != SQLITE_OK)
            Fail(ins.PrepareResult(), "written");
        for (HistoryRecord& rec : recs) {
            rec.PrevHash = prev;
            rec.Hash = rec.ComputeHash();
            Insert(ins, rec);
            rec.Id = sqlite3_last_insert_rowid(m_pDb);
            prev = rec.Hash;
        }
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // Without a checkpoint on close the log would only grow, and each first
    // opening reads all of it: it is moved into the file once it holds about
    // 4 MiB, by the writer that passes that size.
    // The log is emptied too, so that it starts small again; the record is in
    // already, so this waits for the other writers only briefly.
    if (m_nLogFrames >= kCheckpointFrames) {
        m_nWaitedMs = kBusyTimeoutMs - 200;
        sqlite3_wal_checkpoint_v2(m_pDb, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    }
}

void HistoryDb::Insert(Stmt& ins, const HistoryRecord& rec)
{
    sqlite3_reset(ins.get());
    int c = 1;
    ins.Bind(c++, rec.Start);
    ins.Bind(c++, rec.End);
    ins.Bind(c++, rec.Host);
    ins.Bind(c++, rec.User);
    ins.Bind(c++, rec.Program);
    ins.Bind(c++, rec.Frontend);
    ins.Bind(c++, std::string(HistoryActionName(rec.Action)));
    ins.Bind(c++, int64_t{rec.DryRun});
    ins.Bind(c++, rec.Serial);
    ins.Bind(c++, rec.Port);
    ins.Bind(c++, int64_t{rec.Channel});
    ins.Bind(c++, rec.Model);
    ins.Bind(c++, rec.ComponentSerial);
    ins.Bind(c++, rec.Before);
    ins.Bind(c++, rec.After);
    ins.Bind(c++, rec.File);
    ins.Bind(c++, rec.FileSize);
    ins.Bind(c++, rec.Sha256);
    ins.Bind(c++, rec.Checksum);
    ins.Bind(c++, std::string(HistoryResultName(rec.Result)));
    ins.Bind(c++, rec.Failure);
    ins.Bind(c++, int64_t{rec.Bootloader});
    ins.Bind(c++, rec.DurationMs);
    ins.Bind(c++, rec.Comlog);
    ins.Bind(c++, rec.PrevHash);
    ins.Bind(c++, rec.Hash);
    ins.Bind(c++, rec.Run);
    if (const int rc = sqlite3_step(ins.get()); rc != SQLITE_DONE)
        Fail(rc, "written");
}

std::vector<HistoryRecord> HistoryDb::Select(const HistoryFilter& f) const
{
    std::vector<HistoryRecord> out;
    if (!m_pDb || UserVersion() == 0)
        return out;
    std::string sql = std::string("SELECT ") + kColumns + " FROM record WHERE 1";
    if (!f.Serial.empty())
        sql += " AND serial = :serial";
    if (!f.Since.empty())
        sql += " AND start_utc >= :since";
    if (!f.Until.empty())
        sql += " AND start_utc < :until";
    if (f.Result)
        sql += " AND result = :result";
    sql += " ORDER BY start_utc, id";
    Stmt s(m_pDb, sql.c_str());
    if (s.PrepareResult() != SQLITE_OK)
        Fail(s.PrepareResult(), "read");
    auto bind = [&](const char* name, const std::string& value) {
        if (const int i = sqlite3_bind_parameter_index(s.get(), name))
            s.Bind(i, value);
    };
    bind(":serial", f.Serial);
    bind(":since", f.Since);
    bind(":until", f.Until);
    if (f.Result)
        bind(":result", HistoryResultName(*f.Result));
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
        out.push_back(ReadRow(s));
    if (rc != SQLITE_DONE)
        Fail(rc, "read");
    return out;
}

HistoryChain HistoryDb::Verify() const
{
    HistoryChain chain;
    chain.Head = kGenesisHash;
    if (!m_pDb || UserVersion() == 0)
        return chain;
    Stmt s(m_pDb, (std::string("SELECT ") + kColumns + " FROM record ORDER BY id").c_str());
    if (s.PrepareResult() != SQLITE_OK)
        Fail(s.PrepareResult(), "read");
    std::vector<HistoryRecord> all;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
        all.push_back(ReadRow(s));
    if (rc != SQLITE_DONE)
        Fail(rc, "read");

    chain.Records = all.size();
    if (!all.empty())
        chain.Head = all.back().Hash;
    // Where each hash stands, to tell a moved record from a removed one.
    std::map<std::string, size_t> at;
    for (size_t i = 0; i < all.size(); ++i)
        at.emplace(all[i].Hash, i);
    std::string expected = kGenesisHash;
    for (size_t i = 0; i < all.size(); ++i) {
        const HistoryRecord& r = all[i];
        if (r.ComputeHash() != r.Hash)
            chain.Problem = Describe(r) + " was changed: its fields do not give its hash";
        else if (r.PrevHash != expected) {
            const auto it = at.find(r.PrevHash);
            chain.Problem = it != at.end() && it->second > i
                                ? Describe(r) + " is out of order: it was written after " +
                                      Describe(all[it->second])
                                : "a record before " + Describe(r) + " was removed";
        }
        if (!chain.Problem.empty()) {
            chain.BadId = r.Id;
            break;
        }
        expected = r.Hash;
    }
    return chain;
}

void AppendHistory(const std::string& path, HistoryRecord& rec)
{
    HistoryDb(path, true).Append(rec);
}
