// The Debian packages and `cmake --install` of this build tree: which files
// land in which package, the dependencies, the udev rules and desktop entry
// that make a real bridge usable on first plug-in, the debug symbols, the
// manual pages against the programs' --help, and the shell completion. The
// packages are made by debian/'s own rules from this tree as built, in a
// scratch source folder, and unpacked there.
#include "NxVersion.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
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
const fs::path kSource = NX_SOURCE_DIR;

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

// One shell word, whatever the text holds.
std::string Quote(const fs::path& p)
{
    std::string q = "'";
    for (char c : p.string())
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool Contains(const std::string& hay, const std::string& needle)
{
    return hay.find(needle) != std::string::npos;
}

bool Have(const std::string& tool)
{
    return Sh("command -v " + tool).Code == 0;
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

// The packages' version, the newest changelog entry's: the program's, with
// "+N" for a change of the packaging alone.
std::string ChangelogVersion()
{
    const std::string log = ReadFile(kSource / "debian/changelog");
    std::smatch m;
    return std::regex_search(log, m, std::regex(R"(^nxupdate \(([^)]+)\))")) ? m[1].str() : "";
}

// The file below root whose path ends with tail, or an empty path.
fs::path FindBelow(const fs::path& root, const std::string& tail)
{
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.path().string().size() >= tail.size() &&
            e.path().string().compare(e.path().string().size() - tail.size(), tail.size(), tail) ==
                0)
            return e.path();
    return {};
}

class Packaging : public ::testing::Test
{
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__)
        // Packaging runs only outside tools; the sanitizers would find nothing.
        GTEST_SKIP() << "packages are checked in the build without sanitizers";
#endif
        programs = InstalledPrograms();
        for (const auto& name : programs)
            if (!fs::exists(fs::path(NX_BINARY_DIR) / name))
                GTEST_SKIP() << name << " is configured but not built; build all targets first";
        gui = std::find(programs.begin(), programs.end(), "nxupdate") != programs.end();
    }

    // Runs debian/rules' binary steps on this tree as built: dh takes it for
    // its own build folder, already built, in a source folder of the test's
    // own (dh writes into debian/). A tree without the desktop program builds
    // without it, one without debug information without the -dbgsym packages.
    // Returns the .deb files by package name.
    std::map<std::string, fs::path> MakePackages()
    {
        const fs::path src = scratch / "src";
        fs::create_directories(src);
        fs::copy(kSource / "debian", src / "debian",
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::create_directory_symlink(kSource / "packaging", src / "packaging");
        const Ran triplet = Sh("dpkg-architecture -qDEB_HOST_GNU_TYPE");
        EXPECT_EQ(triplet.Code, 0) << triplet.Out;
        fs::create_directory_symlink(
            NX_BINARY_DIR, src / ("obj-" + triplet.Out.substr(0, triplet.Out.find('\n'))));
        std::ofstream(src / "debian/debhelper-build-stamp") << "nxupdate-cli\n"
                                                            << (gui ? "nxupdate\n" : "");
        debug = Contains(Sh("readelf -SW " + Quote(fs::path(NX_BINARY_DIR) / "nxupdate-cli")).Out,
                         ".debug_info");
        // The packages' contents are checked, not their compression: gzip
        // takes a second where xz takes most of a minute.
        const std::string env =
            std::string("SOURCE_DATE_EPOCH=1700000000 DPKG_DEB_COMPRESSOR_TYPE=gzip "
                        "DPKG_DEB_COMPRESSOR_LEVEL=1 DEB_BUILD_OPTIONS='nocheck") +
            (debug ? "'" : " noautodbgsym'") +
            (gui ? "" : " DEB_BUILD_PROFILES=pkg.nxupdate.nogui");
        const Ran made =
            Sh("cd " + Quote(src) + " && " + env + " dpkg-buildpackage -b -us -uc -nc -d");
        EXPECT_EQ(made.Code, 0) << made.Out;
        std::map<std::string, fs::path> debs;
        for (const auto& e : fs::directory_iterator(scratch))
            if (e.path().extension() == ".deb") {
                const std::string file = e.path().filename().string();
                debs[file.substr(0, file.find('_'))] = e.path();
            }
        return debs;
    }

    std::vector<std::string> programs;
    bool gui = false;
    bool debug = false; // the programs as built carry debug information
    TempFolder scratch{"package"};
};

TEST_F(Packaging, DebianPackagesSplitTheProgramsAndHoldWhatEachNeeds)
{
    if (!Have("dh"))
        GTEST_SKIP() << "debhelper is not installed";
    std::map<std::string, fs::path> debs = MakePackages();
    std::set<std::string> names;
    for (const std::string& name : programs)
        if (name != "nxsim")
            names.insert({name, debug ? name + "-dbgsym" : name});
    std::set<std::string> made_names;
    for (const auto& [name, path] : debs)
        made_names.insert(name);
    ASSERT_EQ(made_names, names);

    const std::string version = ChangelogVersion();
    const std::string versionRe = std::regex_replace(version, std::regex(R"([.+])"), R"(\$&)");
    EXPECT_TRUE(std::regex_match(version, std::regex(NX_VERSION R"((\+[0-9]+)?)"))) << version;
    // Dependencies and fields: what each package must and must not have.
    struct Deps
    {
        std::string Package;
        std::vector<std::string> Needs;
        std::string Never;
    };
    const std::vector<Deps> deps = {
        {"nxupdate-cli",
         {"libserialport0", "zlib1g", "Source: nxupdate", "Multi-Arch: foreign", "Homepage: https"},
         "libqt"},
        {"nxupdate-cli-dbgsym", {"nxupdate-cli \\(= " + versionRe + "\\)"}, "libqt"},
        {"nxupdate",
         {"nxupdate-cli \\(= " + versionRe + "\\)", "libqt6widgets6", "libqt6svg6",
          "qt6-qpa-plugins", "fonts-dejavu-core", "Homepage: https"},
         "nxupdate-dbgsym"},
        {"nxupdate-dbgsym", {"nxupdate \\(= " + versionRe + "\\)"}, "libqt"},
    };
    const fs::path root = scratch / "root";
    for (const Deps& d : deps) {
        if (!debs.count(d.Package))
            continue;
        const fs::path deb = debs[d.Package];
        const Ran fields = Sh("dpkg-deb -f " + Quote(deb) +
                              " Version Depends Maintainer Source Multi-Arch Homepage");
        ASSERT_EQ(fields.Code, 0) << fields.Out;
        EXPECT_TRUE(Contains(fields.Out, "Version: " + version + "\n")) << fields.Out;
        EXPECT_FALSE(Contains(fields.Out, "@localhost")) << fields.Out;
        for (const auto& n : d.Needs)
            EXPECT_TRUE(
                std::regex_search(fields.Out, std::regex("(^|[ ,\n])" + n + "( \\(|,|\n|:)")))
                << d.Package << " needs " << n << ": " << fields.Out;
        EXPECT_FALSE(Contains(fields.Out, d.Never)) << d.Package << ": " << fields.Out;

        // Owned by root, below /usr or udev's folder, every time the given one.
        const Ran list = Sh("TZ=UTC dpkg-deb -c " + Quote(deb));
        ASSERT_EQ(list.Code, 0) << list.Out;
        std::istringstream lines(list.Out);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(Contains(line, " root/root ")) << line;
            EXPECT_TRUE(std::regex_search(line, std::regex(" \\./(usr/.*|lib/|lib/udev/.*)?$")))
                << line;
            EXPECT_TRUE(Contains(line, " 2023-11-14 22:13 ")) << line; // the epoch above
        }
        ASSERT_EQ(Sh("dpkg-deb -x " + Quote(deb) + " " + Quote(root)).Code, 0);
    }

    // Where the files are, by package.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"nxupdate-cli", "/usr/bin/nxupdate-cli"},
        {"nxupdate-cli", "/usr/bin/nxsim"},
        {"nxupdate-cli", "/udev/rules.d/70-nxupdate-cp210x.rules"},
        {"nxupdate-cli", "/usr/share/doc/nxupdate-cli/examples/90-nxupdate-cp210x-brltty.rules"},
        {"nxupdate-cli", "/usr/share/doc/nxupdate-cli/README.md"},
        {"nxupdate-cli", "/usr/share/doc/nxupdate-cli/user-guide.md.gz"},
        {"nxupdate-cli", "/usr/share/man/man1/nxupdate-cli.1.gz"},
        {"nxupdate-cli", "/usr/share/man/man1/nxsim.1.gz"},
        {"nxupdate-cli", "/usr/share/bash-completion/completions/nxupdate-cli"},
        {"nxupdate-cli", "/usr/share/zsh/vendor-completions/_nxupdate-cli"},
        {"nxupdate-cli", "/usr/share/metainfo/com.nurax.nxupdate_cli.metainfo.xml"},
        {"nxupdate", "/usr/bin/nxupdate"},
        {"nxupdate", "/usr/share/man/man1/nxupdate.1.gz"},
        {"nxupdate", "/usr/share/applications/nxupdate.desktop"},
        {"nxupdate", "/usr/share/icons/hicolor/scalable/apps/nxupdate.svg"},
        {"nxupdate", "/usr/share/metainfo/com.nurax.nxupdate.metainfo.xml"},
    };
    for (const auto& [package, file] : files) {
        if (!debs.count(package))
            continue;
        const Ran list = Sh("dpkg-deb -c " + Quote(debs[package]));
        EXPECT_TRUE(Contains(list.Out, file + "\n")) << package << " lacks " << file;
    }
    for (const auto& name : names) {
        EXPECT_TRUE(fs::exists(root / "usr/share/doc" / name / "copyright")) << name;
        EXPECT_TRUE(fs::exists(root / "usr/share/doc" / name / "changelog.gz")) << name;
    }
    // The README speaks to users: nothing about this tree.
    const std::string readme = ReadFile(root / "usr/share/doc/nxupdate-cli/README.md");
    for (const char* developer : {"./nx", "build/", "docs/", ".png"})
        EXPECT_FALSE(Contains(readme, developer)) << developer;

    // The access rule, and the braille daemon's rule only as a narrow example.
    const std::string access = ReadFile(FindBelow(root, std::string("/") + kAccessRules));
    const std::string braille =
        ReadFile(root / "usr/share/doc/nxupdate-cli/examples" / kBrailleRules);
    // sysfs spells the vendor in lower case; "10C4" would never match.
    EXPECT_TRUE(Contains(access, R"(SUBSYSTEM=="tty", ATTRS{idVendor}=="10c4")")) << access;
    EXPECT_TRUE(Contains(access, R"(TAG+="uaccess")")) << access;
    EXPECT_TRUE(Contains(access, R"(GROUP="dialout")")) << access;
    for (const char* guard : {R"(ATTR{idVendor}!="10c4")", R"(ATTR{idProduct}!="ea60")",
                              R"(ENV{BRLTTY_BRAILLE_DRIVER}!="?*")"})
        EXPECT_TRUE(Contains(braille, guard)) << guard;
    ExpectRuleSyntax(access, kAccessRules);
    ExpectRuleSyntax(braille, kBrailleRules);
    // The uaccess tag works only before 73-seat-late; withdrawing the braille
    // daemon's request only after its 85 rules.
    EXPECT_LT(std::stoi(kAccessRules), 73);
    EXPECT_GT(std::stoi(kBrailleRules), 85);

    // Stripped programs; where the build has debug information, the -dbgsym
    // package holds it by build id.
    for (const auto& name : programs) {
        const fs::path program = root / "usr/bin" / name;
        const Ran sections = Sh("readelf -SW " + Quote(program));
        EXPECT_FALSE(Contains(sections.Out, ".debug_info")) << name;
        EXPECT_FALSE(Contains(sections.Out, ".symtab")) << name;
        if (!debug)
            continue;
        EXPECT_TRUE(Contains(sections.Out, ".gnu_debuglink")) << name;
        const Ran notes = Sh("readelf -n " + Quote(program));
        std::smatch id;
        ASSERT_TRUE(std::regex_search(notes.Out, id, std::regex("Build ID: (..)([0-9a-f]+)")))
            << name << ": " << notes.Out;
        const fs::path symbols =
            root / "usr/lib/debug/.build-id" / id[1].str() / (id[2].str() + ".debug");
        EXPECT_TRUE(Contains(Sh("readelf -SW " + Quote(symbols)).Out, ".debug_info")) << name;
    }

    // Metadata that tools check, where those tools are installed.
    const std::vector<std::pair<std::string, fs::path>> validators = {
        {"appstreamcli validate --pedantic --no-net", root / "usr/share/metainfo"},
        {"desktop-file-validate", root / "usr/share/applications/nxupdate.desktop"},
    };
    for (const auto& [tool, path] : validators) {
        if (!fs::exists(path) || !Have(tool.substr(0, tool.find(' '))))
            continue;
        std::string args;
        if (fs::is_directory(path))
            for (const auto& e : fs::directory_iterator(path))
                args += " " + Quote(e.path());
        else
            args = " " + Quote(path);
        const Ran valid = Sh(tool + args);
        EXPECT_EQ(valid.Code, 0) << tool << ": " << valid.Out;
        EXPECT_FALSE(Contains(valid.Out, "P: ")) << tool << ": " << valid.Out;
    }

    // The packaged programs run from their new place (no path into the
    // build): the autopkgtest, run here on the unpacked files.
    const Ran v = Sh(Quote(root / "usr/bin/nxupdate-cli") + " --version");
    EXPECT_EQ(v.Out, "nxupdate-cli " NX_VERSION "\n");
    const Ran installed =
        Sh("cd " + Quote(kSource) + " && PATH=" + Quote(root / "usr/bin") +
           ":\"$PATH\" AUTOPKGTEST_TMP=" + Quote(scratch.Path()) + " sh debian/tests/cli");
    EXPECT_EQ(installed.Code, 0) << installed.Out;

    // No error and no warning from lintian, where it is installed (./nx
    // package installs it). Information tags are left to ./nx package, whose
    // build has Debian's hardening flags.
    if (Have("lintian")) {
        std::string all;
        for (const auto& [name, deb] : debs)
            all += " " + Quote(deb);
        // lintian leaves its caches in TMPDIR: give it the test's own folder.
        const fs::path lintTmp = scratch / "lintian-tmp";
        fs::create_directories(lintTmp);
        const Ran lint = Sh("TMPDIR=" + Quote(lintTmp) + " lintian -EIL +pedantic --fail-on " +
                            "error,warning" + all);
        EXPECT_EQ(lint.Code, 0) << lint.Out;
        EXPECT_FALSE(std::regex_search(lint.Out, std::regex("(^|\n)[EW]: "))) << lint.Out;
    }
}

TEST_F(Packaging, CmakeInstallKeepsToThePrefixAndStripsNothing)
{
    const fs::path dest = scratch / "dest";
    const Ran installed = Sh("DESTDIR=" + Quote(dest) + " cmake --install " + Quote(NX_BINARY_DIR) +
                             " --prefix /opt/nx");
    ASSERT_EQ(installed.Code, 0) << installed.Out;
    const fs::path prefix = dest / "opt/nx";
    for (const auto& e : fs::recursive_directory_iterator(dest))
        EXPECT_TRUE(e.is_directory() || e.path().string().rfind(prefix.string() + "/", 0) == 0)
            << e.path();
    // Not stripped: byte for byte as built.
    for (const auto& name : programs) {
        const fs::path built = fs::path(NX_BINARY_DIR) / name;
        EXPECT_EQ(Sh("cmp " + Quote(built) + " " + Quote(prefix / "bin" / name)).Code, 0) << name;
    }
    std::vector<std::string> files = {std::string("lib/udev/rules.d/") + kAccessRules,
                                      "share/man/man1/nxsim.1", "share/doc/nxupdate/user-guide.md"};
    if (gui)
        files.push_back("share/applications/nxupdate.desktop");
    for (const std::string& file : files)
        EXPECT_TRUE(fs::exists(prefix / file)) << file;
}

// The names a list of Debian package relations holds, without versions,
// architectures and build profiles.
std::set<std::string> RelationNames(const std::string& relations)
{
    std::set<std::string> names;
    std::istringstream in(relations);
    static const std::regex name(R"(^\s*([a-z0-9][a-z0-9+.-]+))");
    for (std::string item; std::getline(in, item, ',');)
        if (std::smatch m; std::regex_search(item, m, name))
            names.insert(m[1]);
    return names;
}

// The packages a build needs are the ones ./nx installs for it: every name of
// its PACKAGES is in Build-Depends or, said there, not used by the package
// build, and Build-Depends names nothing else.
TEST(DebianSource, BuildDependsAreThePackagesNxInstalls)
{
    const Ran nx = Sh(
        "cd " + Quote(kSource) +
        R"sh( && bash -c 'eval "$(awk "/^(PACKAGES|NOT_BUILD_DEPENDS)[+]?=[(]/ { p = 1 } p { print } p && /[)]/ { p = 0 }" nx)"
        printf "%s\n" "${PACKAGES[@]}" -- "${NOT_BUILD_DEPENDS[@]}"')sh");
    ASSERT_EQ(nx.Code, 0) << nx.Out;
    std::set<std::string> wanted, unused;
    std::istringstream in(nx.Out);
    std::set<std::string>* into = &wanted;
    for (std::string line; std::getline(in, line);)
        if (line == "--")
            into = &unused;
        else
            into->insert(line);
    ASSERT_TRUE(wanted.count("cmake")) << nx.Out;
    for (const std::string& name : unused)
        wanted.erase(name);

    std::istringstream control(ReadFile(kSource / "debian/control"));
    std::string field;
    bool inside = false;
    for (std::string line; std::getline(control, line);) {
        if (line.rfind("Build-Depends:", 0) == 0)
            field = line.substr(line.find(':') + 1);
        else if (inside && line.rfind(' ', 0) == 0)
            field += line;
        inside = line.rfind("Build-Depends:", 0) == 0 || (inside && line.rfind(' ', 0) == 0);
    }
    std::set<std::string> listed = RelationNames(field);
    // debhelper-compat is debhelper's own name for the compat level.
    if (listed.erase("debhelper-compat"))
        listed.insert("debhelper");
    EXPECT_EQ(listed, wanted) << "debian/control's Build-Depends and ./nx's PACKAGES (less its "
                                 "NOT_BUILD_DEPENDS) differ";
}

// Every shell script that the packages install or run passes shellcheck.
TEST(DebianSource, ShellScriptsPassShellcheck)
{
    if (!Have("shellcheck"))
        GTEST_SKIP() << "shellcheck is not installed";
    const Ran check = Sh("cd " + Quote(kSource) +
                         " && shellcheck -s bash packaging/completion/nxupdate-cli.bash &&"
                         " shellcheck debian/nxupdate-cli.postinst debian/nxupdate-cli.postrm"
                         " debian/tests/cli");
    EXPECT_EQ(check.Code, 0) << check.Out;
}

// ---- manual pages and shell completion, against the programs as built ----

// The options and commands that a --help text lists.
std::set<std::string> HelpWords(const std::string& help)
{
    std::set<std::string> words;
    static const std::regex option(R"((^|[\s\[|,(])(--?[A-Za-z][A-Za-z-]*))"),
        command(R"((^|\n)  nxupdate-cli ([a-z][a-z-]*))");
    for (const std::regex* re : {&option, &command})
        for (std::sregex_iterator it(help.begin(), help.end(), *re), end; it != end; ++it)
            words.insert((*it)[2]);
    return words;
}

// A manual page's source as it reads: "\-" is "-", font changes go.
std::string ManText(const std::string& page)
{
    std::string text = ReadFile(fs::path(NX_SOURCE_DIR) / "docs/man" / (page + ".1"));
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    return std::regex_replace(text, std::regex(R"(\\f[BIRP]|\\c)"), "");
}

TEST(ManualPages, DocumentEveryOptionOfHelpAndTheSectionsUsersLookFor)
{
    for (const char* program : {"nxupdate-cli", "nxsim", "nxupdate"}) {
        const fs::path built = fs::path(NX_BINARY_DIR) / program;
        if (!fs::exists(built))
            continue;
        const Ran help = Sh(Quote(built) + " --help");
        ASSERT_EQ(help.Code, 0) << program;
        const std::string man = ManText(program);
        const std::set<std::string> words = HelpWords(help.Out);
        EXPECT_TRUE(words.count("--help")) << program << ": " << help.Out;
        for (const std::string& word : words)
            EXPECT_TRUE(std::regex_search(man, std::regex("(^|[^a-z-])" + word + "($|[^a-z-])")))
                << program << "(1) does not document " << word;
    }
    for (const char* page : {"nxupdate", "nxupdate-cli", "nxsim"}) {
        const std::string man = ManText(page);
        for (const char* part :
             {".SH SYNOPSIS", ".SH OPTIONS", ".SH EXIT STATUS", ".SH ENVIRONMENT", ".SH FILES",
              ".SH EXAMPLES", "NXUPDATE_PORTS", "BLKDELAY", "TMPDIR"})
            EXPECT_TRUE(Contains(man, part)) << page << "(1) lacks " << part;
        if (Sh("command -v man").Code == 0) {
            const fs::path source =
                fs::path(NX_SOURCE_DIR) / "docs/man" / (std::string(page) + ".1");
            const Ran warnings =
                Sh("man --warnings -E UTF-8 -l -Tutf8 -Z " + Quote(source) + " >/dev/null");
            EXPECT_EQ(warnings.Out, "") << page;
        }
    }
}

// Runs the completion function of each shell on the words of a command line
// (the last one being completed) and prints one candidate a line. zsh's
// builtins are replaced by functions that print what they would offer.
const char* const kBashDriver = R"(source "$1"; shift
COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_nxupdate_cli; printf '%s\n' "${COMPREPLY[@]}")";
const char* const kZshDriver = R"(file=$1; shift
_call_program() { shift; eval "$@" }
_wanted() { shift 3; "$@" }
_files() { print -r -- "_files $*" }
compset() { [[ $PREFIX == *=* ]] && PREFIX=${PREFIX#*=} }
compadd() {
  while (( $# )); do
    case $1 in
      -S) shift 2 ;;
      -a) print -rl -- ${(P)2}; shift 2 ;;
      --) shift; print -rl -- "$@"; return ;;
      *) shift ;;
    esac
  done
}
run() { local -a words=("$@"); local CURRENT=$#words PREFIX=$words[-1]; source $file }
run "$@")";

TEST(ShellCompletion, OffersCommandsOptionsSerialsAndDownloadFiles)
{
    const fs::path cli = fs::path(NX_BINARY_DIR) / "nxupdate-cli";
    if (!fs::exists(cli))
        GTEST_SKIP() << "nxupdate-cli is not built";
    const TempFolder folder("complete");
    const fs::path& dir = folder.Path();
    fs::create_directory(dir / "sub");
    for (const char* f : {"app.hex", "tables.xml", "update.DAT", "notes.txt"})
        std::ofstream(dir / f) << "x";
    // A scenario whose path has a space, escaped as typed.
    fs::create_directory(dir / "my lab");
    std::ofstream(dir / "my lab/bench.json") << R"({"bridges": [{"serial": "SP77"}]})";
    const std::string typed = dir.string() + "/my\\ lab/bench.json";

    std::vector<std::string> commands;
    for (const std::string& w : HelpWords(Sh(Quote(cli) + " --help").Out))
        if (w[0] != '-')
            commands.push_back(w);
    struct Row
    {
        std::vector<std::string> Words;
        std::vector<std::string> Offered; // each one a candidate
        std::string Never;
        std::string Shell; // empty: both; "--opt=" is one word to zsh, to bash it may be three
    };
    const std::string d = dir.string() + "/";
    const Row rows[] = {
        {{""}, commands, "--", ""},
        {{"info", "--"},
         {"--device=", "--channel=", "--simulate", "--comlog", "--json", "--help"},
         "--file=",
         ""},
        {{"download", "--f"}, {"--file="}, "--reset", ""},
        // Serial numbers from the bridges as enumerated (here: the simulator's).
        // "all" only where the command runs on several devices.
        {{"info", "--simulate", "--device="},
         {"--device=0001", "--device=all"},
         "--channel",
         "bash"},
        {{"info", "--simulate", "--device="}, {"0001", "all"}, "--", "zsh"},
        {{"info", "--simulate", "--device", "=", ""}, {"0001"}, "--", "bash"},
        {{"download", "--simulate", "--device", ""}, {"0001", "all", "@failed"}, "--", ""},
        {{"reset", "--"}, {"--expect=", "--jobs="}, "--file=", ""},
        {{"filter", "--simulate", "--device", ""}, {"0001"}, "all", ""},
        {{"info", "--simulate", "=", typed, "--device", ""}, {"SP77"}, "0001", "bash"},
        // Download files by extension, and folders to walk into; zsh's own
        // _files does the matching there.
        {{"download", "--file", d},
         {d + "app.hex", d + "tables.xml", d + "update.DAT", d + "sub"},
         "notes.txt",
         "bash"},
        {{"download", "--file", d}, {"_files -g *.(#i)(hex|xml|dat)(-.)"}, "notes", "zsh"},
    };
    std::vector<std::pair<std::string, std::string>> shells = {
        {"bash -c " + Quote(kBashDriver) + " bash",
         (fs::path(NX_SOURCE_DIR) / "packaging/completion/nxupdate-cli.bash").string()}};
    if (Sh("command -v zsh").Code == 0)
        shells.emplace_back(
            "zsh -f -c " + Quote(kZshDriver) + " zsh",
            (fs::path(NX_SOURCE_DIR) / "packaging/completion/_nxupdate-cli").string());
    for (const auto& [shell, file] : shells) {
        for (const Row& row : rows) {
            if (!row.Shell.empty() && shell.rfind(row.Shell, 0) != 0)
                continue;
            std::string cmd = shell + " " + Quote(file) + " " + Quote(cli);
            for (const auto& w : row.Words)
                cmd += " " + Quote(w);
            const Ran r = Sh(cmd);
            std::istringstream got(r.Out);
            std::set<std::string> offered;
            for (std::string line; std::getline(got, line);)
                offered.insert(line);
            for (const std::string& w : row.Offered)
                EXPECT_TRUE(offered.count(w))
                    << shell.substr(0, 4) << " '" << row.Words.back() << "': " << w << " not in\n"
                    << r.Out;
            EXPECT_FALSE(Contains(r.Out, row.Never)) << shell.substr(0, 4) << ": " << r.Out;
        }
    }
}

} // namespace
