// Files a test writes live in a folder of its own, removed with everything in
// it when the test ends, also when it fails; environment changes are undone
// the same way, so one test cannot leave its TMPDIR behind for the next.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

class TempFolder
{
public:
    // A new, empty folder "nxtest_<name>_XXXXXX" in the temporary folder.
    explicit TempFolder(const std::string& name = "test");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return m_Path; }
    operator const std::filesystem::path&() const { return m_Path; }
    std::filesystem::path operator/(const std::string& name) const { return m_Path / name; }
    std::string String() const { return m_Path.string(); }

    // Writes bytes to the file name in the folder; returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;
    // Writes text gzip-compressed to the file name in the folder; returns its path.
    std::string WriteGzip(const std::string& name, const std::string& text) const;
    // How many entries the folder holds.
    size_t Count() const;

private:
    std::filesystem::path m_Path;
};

// The running test's own folder for tests without a fixture: made on first
// use, removed when the test ends, whether it passed or failed.
TempFolder& TestFolder();

// Sets an environment variable (nullopt: removes it) for one scope.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_Name;
    std::optional<std::string> m_Old;
};

// A temporary folder of the test's own that the code under test sees as
// TMPDIR, so that its leftovers can be counted.
struct PrivateTmp
{
    TempFolder Dir{"tmp"};
    ScopedEnv Env{"TMPDIR", Dir.String()};
    size_t Leftovers() const { return Dir.Count(); }
};

std::string ReadFile(const std::filesystem::path& path);
void WriteText(const std::filesystem::path& path, const std::string& bytes);
// mode: gzopen's, with the compression level ("wb9").
void WriteGzip(const std::filesystem::path& path, const std::string& text, const char* mode = "wb");
