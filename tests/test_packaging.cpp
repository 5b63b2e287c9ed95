// The Debian package and `cmake --install` of this build tree: which files
// land where, the package's dependencies, and the udev rules and desktop entry
// that make a real bridge usable on first plug-in. The package is made by
// cpack into a scratch folder and unpacked into a scratch root.
#include "Appcfg.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kPrograms = {"nxupdate", "nxupdate-cli", "nxsim"};
const char* const kAccessRules = "70-nxupdate-cp210x.rules";
const char* const kBrailleRules = "90-nxupdate-cp210x-brltty.rules";

struct Ran
{
    int Code = -1;
    std::string Out;
};

Ran Sh(const std::string& cmd)
{
    Ran r;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.Out.append(buf, n);
    const int status = ::pclose(p);
    r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Quote(const fs::path& p)
{
    return "'" + p.string() + "'";
}

bool Contains(const std::string& hay, const std::string& needle)
{
    return hay.find(needle) != std::string::npos;
}

// The programs this build tree installs: the ones configured as targets.
std::vector<std::string> InstalledPrograms()
{
    const std::string script = ReadFile(fs::path(NX_BINARY_DIR) / "cmake_install.cmake");
    std::vector<std::string> found;
    for (const auto& name : kPrograms)
        if (Contains(script, std::string(NX_BINARY_DIR) + "/" + name + "\""))
            found.push_back(name);
    return found;
}

// Every rule line is a comma-separated list of KEY{attr}OP"value" items.
void ExpectRuleSyntax(const std::string& rules, const std::string& name)
{
    static const std::regex item(R"re(^[A-Z_]+(\{[A-Za-z0-9_]+\})?(==|!=|=|\+=|-=|:=)"[^"]*"$)re");
    std::istringstream in(rules);
    std::string line;
    std::vector<std::string> gotos, labels;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t begin = 0;
        while (begin <= line.size()) {
            size_t end = line.find(", ", begin);
            if (end == std::string::npos)
                end = line.size();
            const std::string part = line.substr(begin, end - begin);
            EXPECT_TRUE(std::regex_match(part, item)) << name << ": '" << part << "'";
            std::smatch m;
            static const std::regex gotoRe(R"re(^GOTO="(.*)"$)re"),
                labelRe(R"re(^LABEL="(.*)"$)re");
            if (std::regex_match(part, m, gotoRe))
                gotos.push_back(m[1]);
            if (std::regex_match(part, m, labelRe))
                labels.push_back(m[1]);
            begin = end + 2;
        }
    }
    for (const auto& g : gotos)
        EXPECT_NE(std::find(labels.begin(), labels.end(), g), labels.end())
            << name << ": GOTO without LABEL " << g;
}

class Packaging : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!fs::exists(fs::path(NX_BINARY_DIR) / "CPackConfig.cmake"))
            GTEST_SKIP() << "no CPack configuration in " << NX_BINARY_DIR;
        programs = InstalledPrograms();
        for (const auto& name : programs)
            if (!fs::exists(fs::path(NX_BINARY_DIR) / name))
                GTEST_SKIP() << name << " is configured but not built; build all targets first";
    }

    std::vector<std::string> programs;
    TempFolder scratch{"package"};
};

TEST_F(Packaging, DebianPackageHoldsTheProgramsRulesEntryAndIcon)
{
    const Ran made = Sh("cpack -G DEB -B " + Quote(scratch / "out") + " --config " +
                        Quote(fs::path(NX_BINARY_DIR) / "CPackConfig.cmake"));
    ASSERT_EQ(made.Code, 0) << made.Out;
    std::vector<fs::path> debs;
    for (const auto& e : fs::directory_iterator(scratch / "out"))
        if (e.path().extension() == ".deb")
            debs.push_back(e.path());
    ASSERT_EQ(debs.size(), 1u) << made.Out;
    const fs::path deb = debs[0];

    // Control fields: name, the program's own version, run-time dependencies.
    const Ran fields = Sh("dpkg-deb -f " + Quote(deb) + " Package Version Depends");
    ASSERT_EQ(fields.Code, 0) << fields.Out;
    EXPECT_TRUE(Contains(fields.Out, "Package: nxupdate\n")) << fields.Out;
    const std::string version = std::string(NX_PROGRAM_VERSION).substr(1);
    EXPECT_TRUE(Contains(fields.Out, "Version: " + version + "\n")) << fields.Out;
    std::vector<std::string> depends = {"libserialport0", "zlib1g"};
    const bool gui = std::find(programs.begin(), programs.end(), "nxupdate") != programs.end();
    if (gui)
        depends.insert(depends.end(),
                       {"libqt6widgets6", "libqt6svg6", "qt6-qpa-plugins", "fonts-dejavu-core"});
    for (const auto& d : depends)
        EXPECT_TRUE(std::regex_search(fields.Out, std::regex("[ ,]" + d + "( \\(|,|\n)")))
            << d << " missing: " << fields.Out;

    // Listing: everything below /usr, owned by root, programs executable.
    const Ran list = Sh("dpkg-deb -c " + Quote(deb));
    ASSERT_EQ(list.Code, 0) << list.Out;
    std::istringstream lines(list.Out);
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(Contains(line, " root/root ")) << line;
        EXPECT_TRUE(Contains(line, " ./usr/")) << line;
    }
    for (const auto& name : programs)
        EXPECT_TRUE(
            std::regex_search(list.Out, std::regex("-rwxr-xr-x .* ./usr/bin/" + name + "\n")))
            << name;

    // Unpacked into a scratch root, the files are what the system needs.
    const fs::path root = scratch / "root";
    const Ran unpacked = Sh("dpkg-deb -x " + Quote(deb) + " " + Quote(root));
    ASSERT_EQ(unpacked.Code, 0) << unpacked.Out;
    const fs::path rulesDir = root / "usr/lib/udev/rules.d";
    const std::string access = ReadFile(rulesDir / kAccessRules);
    const std::string braille = ReadFile(rulesDir / kBrailleRules);
    // sysfs spells the vendor in lower case; "10C4" would never match.
    EXPECT_TRUE(Contains(access, R"(SUBSYSTEM=="tty", ATTRS{idVendor}=="10c4")")) << access;
    EXPECT_TRUE(Contains(access, R"(TAG+="uaccess")")) << access;
    EXPECT_TRUE(Contains(access, R"(GROUP="dialout")")) << access;
    EXPECT_TRUE(Contains(braille, R"(ATTRS{idVendor}=="10c4")")) << braille;
    EXPECT_TRUE(Contains(braille, R"(ENV{SYSTEMD_WANTS}="")")) << braille;
    ExpectRuleSyntax(access, kAccessRules);
    ExpectRuleSyntax(braille, kBrailleRules);
    // The uaccess tag works only before 73-seat-late; withdrawing the braille
    // daemon's request only after its 85 rules.
    EXPECT_LT(std::stoi(kAccessRules), 73);
    EXPECT_GT(std::stoi(kBrailleRules), 85);

    if (gui) {
        const std::string entry = ReadFile(root / "usr/share/applications/nxupdate.desktop");
        EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
        for (const char* key : {"Type=Application\n", "Name=nxupdate\n", "Exec=nxupdate\n",
                                "Icon=nxupdate\n", "Terminal=false\n"})
            EXPECT_TRUE(Contains(entry, key)) << key;
        const std::string icon =
            ReadFile(root / "usr/share/icons/hicolor/scalable/apps/nxupdate.svg");
        EXPECT_TRUE(Contains(icon, "<svg")) << "icon is not an SVG image";
        if (Sh("command -v desktop-file-validate").Code == 0) {
            const Ran valid = Sh("desktop-file-validate " +
                                 Quote(root / "usr/share/applications/nxupdate.desktop"));
            EXPECT_EQ(valid.Code, 0) << valid.Out;
        }
    }
    EXPECT_TRUE(fs::exists(root / "usr/share/doc/nxupdate/INSTALL.md"));

    // The packaged program runs from its new place (no path into the build).
    if (std::find(programs.begin(), programs.end(), "nxupdate-cli") != programs.end()) {
        const Ran v = Sh(Quote(root / "usr/bin/nxupdate-cli") + " --version");
        EXPECT_EQ(v.Code, 0) << v.Out;
        EXPECT_EQ(v.Out, "nxupdate-cli " + std::string(NX_PROGRAM_VERSION).substr(1) + "\n");
    }

    // Maintainer scripts: executable and valid shell.
    const fs::path control = scratch / "control";
    ASSERT_EQ(Sh("dpkg-deb -e " + Quote(deb) + " " + Quote(control)).Code, 0);
    for (const char* script : {"postinst", "postrm"}) {
        struct stat st
        {
        };
        ASSERT_EQ(::stat((control / script).c_str(), &st), 0) << script;
        EXPECT_TRUE(st.st_mode & S_IXUSR) << script;
        const Ran syntax = Sh("sh -n " + Quote(control / script));
        EXPECT_EQ(syntax.Code, 0) << script << ": " << syntax.Out;
    }
}

TEST_F(Packaging, CmakeInstallPutsTheSameFilesUnderAnyPrefix)
{
    const fs::path prefix = scratch / "prefix";
    const Ran installed =
        Sh("cmake --install " + Quote(NX_BINARY_DIR) + " --prefix " + Quote(prefix));
    ASSERT_EQ(installed.Code, 0) << installed.Out;
    for (const auto& name : programs)
        EXPECT_TRUE(fs::exists(prefix / "bin" / name)) << name;
    EXPECT_TRUE(fs::exists(prefix / "lib/udev/rules.d" / kAccessRules));
    EXPECT_TRUE(fs::exists(prefix / "lib/udev/rules.d" / kBrailleRules));
    if (std::find(programs.begin(), programs.end(), "nxupdate") != programs.end()) {
        EXPECT_TRUE(fs::exists(prefix / "share/applications/nxupdate.desktop"));
        EXPECT_TRUE(fs::exists(prefix / "share/icons/hicolor/scalable/apps/nxupdate.svg"));
    }
}

} // namespace
