#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& name)
{
    std::string base = "nxtest_" + name.substr(0, 40) + "_XXXXXX";
    for (char& c : base)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    std::string tmpl = (fs::temp_directory_path() / base).string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("cannot create a temporary folder from " + tmpl);
    m_Path = buf.data();
}

TempFolder::~TempFolder()
{
    std::error_code ec;
    fs::remove_all(m_Path, ec);
}

std::string TempFolder::Write(const std::string& name, const std::string& bytes) const
{
    WriteText(m_Path / name, bytes);
    return (m_Path / name).string();
}

std::string TempFolder::WriteGzip(const std::string& name, const std::string& text) const
{
    ::WriteGzip(m_Path / name, text);
    return (m_Path / name).string();
}

size_t TempFolder::Count() const
{
    return static_cast<size_t>(std::distance(fs::directory_iterator(m_Path), {}));
}

namespace {

std::unique_ptr<TempFolder> g_TestFolder;

class DropTestFolder : public ::testing::EmptyTestEventListener
{
    void OnTestEnd(const ::testing::TestInfo&) override { g_TestFolder.reset(); }
};

} // namespace

TempFolder& TestFolder()
{
    static const bool listening = [] {
        ::testing::UnitTest::GetInstance()->listeners().Append(new DropTestFolder);
        return true;
    }();
    (void)listening;
    if (!g_TestFolder) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        g_TestFolder = std::make_unique<TempFolder>(test ? test->name() : "test");
    }
    return *g_TestFolder;
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : m_Name(name)
{
    if (const char* old = std::getenv(name))
        m_Old = old;
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (m_Old)
        ::setenv(m_Name.c_str(), m_Old->c_str(), 1);
    else
        ::unsetenv(m_Name.c_str());
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteText(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

void WriteGzip(const fs::path& path, const std::string& text, const char* mode)
{
    gzFile f = gzopen(path.c_str(), mode);
    const bool ok =
        f && (text.empty() || gzwrite(f, text.data(), static_cast<unsigned>(text.size())) ==
                                  static_cast<int>(text.size()));
    if (!f || gzclose(f) != Z_OK || !ok)
        throw std::runtime_error("cannot write " + path.string());
}
