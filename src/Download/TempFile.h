// Temporary files of a download that no way out leaves behind: not an
// exception, not a fatal signal.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// A file in $TMPDIR (or /tmp) named nxupdate-<tag>-XXXXXX, open for writing,
// removed when the object goes. While it exists a signal handler can remove
// it too (RemovePendingTempFiles). Raises NxException when it cannot be made.
class TempFile
{
public:
    explicit TempFile(const char* tag);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Write(const void* data, size_t n);
    // Ends the writing; a failed flush raises.
    void Close();
    const std::string& Path() const { return m_Path; }

private:
    std::string m_Path;
    FILE* m_pFile = nullptr;
};

// Removes the temporary files of a download in progress. Safe to call
// from a signal handler: a front end that is interrupted calls it before it
// ends, so no unpacked firmware is left behind.
void RemovePendingTempFiles();

// Makes every signal whose default action ends the process (and that the
// process does not ignore) remove the pending temporary files first, then end
// the process as the signal would have.
void RemoveTempFilesOnFatalSignals();
