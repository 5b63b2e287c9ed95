// Hostile files through the paths a user's choice takes: each must end with a
// message that says what is wrong, without a crash and without memory that
// grows with what the file claims rather than with what it holds.
#include "Download/DownloadAction.h"
#include "Download/NxProgrammer.h"
#include "IntelHex.h"
#include "NxClock.h"
#include "NxException.h"
#include "Sim/SimScenario.h"
#include "XmlParser/XMLParserBase64Tool.h"
#include "XmlParser/XmlParser.h"
#include "support/HexText.h"
#include "support/SimRig.h"
#include "support/TempFolder.h"
#include "zlibutils.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <random>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// Peak resident memory of this process so far, in MiB.
long PeakRssMb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

// Far above what the bounded readers need, far below what the hostile files
// would take unbounded. A parsed tree costs a few hundred bytes per element,
// so a million of them take about 270 MiB; sanitizer builds keep freed memory
// for a while and pad every block, and need about three times that.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMemoryBoundMb = 1000;
#else
constexpr long kMemoryBoundMb = 400;
#endif

class Ui : public NxDownloadUi
{
public:
    void ShowProgress(const std::string&, std::optional<unsigned>) override {}
};

class HostileTest : public ::testing::Test, protected SimRig
{
protected:
    // The message of a download of file into channel 0, "" on success.
    std::string Download(const std::string& file, int channel = 0)
    {
        Ui ui;
        try {
            RunDownload(list, ui, "0001", channel, file);
            return "";
        } catch (const NxException& e) {
            return e.Message();
        }
    }

    // Nothing reached the flash or the tables, and no temporary file is left.
    void ExpectUntouched()
    {
        EXPECT_EQ(ctl->CountOf(2), 0u) << "erase sent";
        EXPECT_TRUE(ctl->TableRecords().empty());
        EXPECT_EQ(tmp.Leftovers(), 0u);
    }

    TempFolder dir{"hostile"};
    PrivateTmp tmp;
    std::shared_ptr<Sim::SimController> ctl = InstallListed().Controller;
};

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

} // namespace

TEST_F(HostileTest, OverLongLines)
{
    // 4 MiB on one line: the HEX reader reads 127 characters at a time.
    const std::string longHex = ":" + std::string(4 << 20, 'A') + "\n:00000001FF\n";
    EXPECT_EQ(Download(dir.Write("long.hex", longHex)),
              "IntelHex error at line 1: Not a IntelHex-File (invalid record header)");

    // The same line as one XML attribute and as one text: the table reader
    // takes them (nothing in the content is rejected), but a text longer than
    // one frame carries is refused before anything is written.
    const std::string longAttr = "<ParameterTables><Name x=\"" + std::string(4 << 20, 'n') +
                                 "\">IncuControl</Name></ParameterTables>";
    EXPECT_EQ(Download(dir.Write("attr.xml", longAttr)), "");
    const std::string longText = "<ParameterTables><Name>IncuControl</Name><Date>" +
                                 std::string(4 << 20, 'd') + "</Date></ParameterTables>";
    ctl->TblDate = "kept";
    EXPECT_EQ(Download(dir.Write("text.xml", longText)),
              "Parameter table date is too long for the device (4194304 characters, at most 254)");
    EXPECT_EQ(ctl->TblDate, "kept");
    EXPECT_LT(PeakRssMb(), kMemoryBoundMb);
}

TEST_F(HostileTest, BinaryJunkInEveryFileKind)
{
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const std::string junk = RandomBytes(64 << 10, seed);
        for (const char* name : {"junk.hex", "junk.xml", "junk.dat"}) {
            SCOPED_TRACE(std::string(name) + " seed " + std::to_string(seed));
            ctl->ClearLog();
            const std::string msg = Download(dir.Write(name, junk));
            EXPECT_FALSE(msg.empty());
            EXPECT_EQ(msg.find('\0'), std::string::npos);
            ExpectUntouched();
        }
    }
    EXPECT_LT(PeakRssMb(), kMemoryBoundMb);
}

TEST_F(HostileTest, GzipBombIsRefusedAtTheBound)
{
    // 1 GiB of zeros packs into about a megabyte; made here, never committed.
    const std::string path = (dir / "bomb.dat").string();
    {
        gzFile gz = gzopen(path.c_str(), "wb1");
        ASSERT_NE(gz, nullptr);
        const std::string zeros(1 << 20, '\0');
        for (int i = 0; i < 1024; ++i)
            ASSERT_EQ(gzwrite(gz, zeros.data(), static_cast<unsigned>(zeros.size())),
                      static_cast<int>(zeros.size()));
        ASSERT_EQ(gzclose(gz), Z_OK);
    }
    ASSERT_LT(fs::file_size(path), 8u << 20);

    TScopedMallocBuffer<char> buf;
    EXPECT_EQ(ReadGzipFile(path.c_str(), buf), kGzipTooLarge);
    EXPECT_EQ(buf.get(), nullptr);
    EXPECT_EQ(Download(path), std::string(GzipErrorText(kGzipTooLarge)) + ": " + path);
    ExpectUntouched();
    EXPECT_LT(PeakRssMb(), kMemoryBoundMb);
}

TEST_F(HostileTest, MillionNestedElements)
{
    std::string deep;
    deep.reserve(7 << 20);
    for (int i = 0; i < 1000000; ++i)
        deep += "<a>";
    XmlResults r;
    XMLNode n = ParseBuffer(deep.c_str(), "ParameterTables", &r);
    EXPECT_TRUE(n.IsEmpty());
    EXPECT_NE(r.nError, 0);

    // As a table file the reader's report, naming its bound, reaches the
    // user; as a .dat the missing firmware is named.
    const std::string file = dir.Write("deep.xml", "<ParameterTables>" + deep);
    EXPECT_EQ(Download(file), "Parameter table update failed");
    ASSERT_FALSE(sink.Shown.empty());
    EXPECT_EQ(sink.Shown.back().Caption, "XML Parsing error");
    EXPECT_NE(sink.Shown.back().Text.find("More than 262144 XML items"), std::string::npos);
    EXPECT_NE(Download(dir.Write("deep.dat", deep)), "");
    ExpectUntouched();
    EXPECT_LT(PeakRssMb(), kMemoryBoundMb);
}

TEST_F(HostileTest, InputsThatAreNotRegularFiles)
{
    // A folder, a FIFO without a writer (whose open must not wait for one) and
    // a symlink to an endless device, under every file kind.
    for (const std::string ext : {".hex", ".xml", ".dat"}) {
        const fs::path folder = dir / ("folder" + ext), fifo = dir / ("fifo" + ext),
                       zero = dir / ("zero" + ext);
        fs::create_directory(folder);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        fs::create_symlink("/dev/zero", zero);
        for (const fs::path& p : {folder, fifo, zero})
            EXPECT_EQ(Download(p.string()), p.string() + " is not a regular file");
    }
    ExpectUntouched();
}

TEST_F(HostileTest, InputsLargerThanTheBound)
{
    // Sparse: the size is there, the disk space is not.
    for (const char* name : {"big.hex", "big.xml"}) {
        const std::string path = dir.Write(name, "");
        fs::resize_file(path, (64u << 20) + 1);
        EXPECT_EQ(Download(path), path + " is larger than 64 MiB, the most an input file may hold");
    }
    ExpectUntouched();
}

TEST_F(HostileTest, AttributeBomb)
{
    // 30 million bare attributes pack into some 60 KB; unbounded, the tree
    // took gigabytes. Made here, never committed.
    const std::string path = (dir / "attrs.dat").string();
    {
        gzFile gz = gzopen(path.c_str(), "wb9");
        ASSERT_NE(gz, nullptr);
        gzputs(gz, "<r><HexFile");
        const std::string attrs = [] {
            std::string a;
            for (int i = 0; i < 1000000; ++i)
                a += " a";
            return a;
        }();
        for (int i = 0; i < 30; ++i)
            ASSERT_EQ(gzwrite(gz, attrs.data(), static_cast<unsigned>(attrs.size())),
                      static_cast<int>(attrs.size()));
        gzputs(gz, ">QUJD</HexFile></r>");
        ASSERT_EQ(gzclose(gz), Z_OK);
    }
    EXPECT_EQ(Download(path), "Error: More than 262144 XML items (elements, attributes and texts)");
    // As a table file the reader's report names the bound.
    std::string table = "<ParameterTables";
    for (int i = 0; i < kXmlMaxItems; ++i)
        table += " a";
    EXPECT_EQ(
        Download(dir.Write("attrs.xml", table + "><Name>IncuControl</Name></ParameterTables>")),
        "Parameter table update failed");
    ASSERT_FALSE(sink.Shown.empty());
    EXPECT_NE(sink.Shown.back().Text.find("More than 262144 XML items"), std::string::npos);
    ExpectUntouched();
    EXPECT_LT(PeakRssMb(), kMemoryBoundMb);
}

TEST_F(HostileTest, SparseHexOfOneByteBlocks)
{
    // One byte in every 128-byte block: each line makes a block. The image
    // takes the bound's worth and refuses one block more.
    auto sparse = [](size_t blocks) {
        Image img;
        for (size_t i = 0; i < blocks; ++i)
            img[static_cast<uint32_t>(i * 128)] = {1};
        return HexText(img);
    };
    const std::string full = sparse(MemoryImage::kMaxBlocks);
    NxProgrammer prog(0);
    int line = 0;
    EXPECT_EQ(prog.LoadFile(dir.Write("max.hex", full).c_str(), line), IH_SUCCESS);
    EXPECT_EQ(prog.GetBlockCount(), MemoryImage::kMaxBlocks);
    const std::string over = sparse(MemoryImage::kMaxBlocks + 1);
    const size_t lines = static_cast<size_t>(std::count(over.begin(), over.end(), '\n'));
    EXPECT_EQ(Download(dir.Write("over.hex", over)),
              StrFormat("IntelHex error at line %zu: Image larger than 16 MiB or 131072 blocks",
                        lines - 1)); // the last data line, before the end record
    ExpectUntouched();
    EXPECT_LT(PeakRssMb(), kMemoryBoundMb);
}

TEST_F(HostileTest, HexRecordAtTheTopOfTheAddressSpace)
{
    // One byte at 0xFFFFFFFF, then a record that runs past it.
    const std::string text = ":02000004FFFFFC\n"
                             ":01FFFF00AA57\n"
                             ":04FFFE001122334455\n"
                             ":00000001FF\n";
    const std::string path = dir.Write("top.hex", text);
    NxProgrammer prog(0);
    int line = 0;
    ASSERT_EQ(prog.LoadFile(path.c_str(), line), IH_SUCCESS);
    size_t avail = 0;
    const uint8_t* p = prog.Image().FindByte(0xFFFFFFFF, avail);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, 0x22);
    EXPECT_EQ(avail, 1u) << "the block ends at the top of the address space";

    // Neither target takes such an image, and each says why.
    EXPECT_EQ(Download(path), "Invalid download file for this device");
    EXPECT_EQ(Download(path, 1), "Unsupported or unknown download file");
    ExpectUntouched();
}

TEST_F(HostileTest, DatWhoseHexFileIsNotBase64)
{
    const struct
    {
        const char* Body;
        const char* Says;
    } cases[] = {
        {"Zm9v*YmFy", "Base64"},
        {"\xC3\xA4\xC3\xB6", "Base64"},
        {"Q=QRA", "Base64"},
        {"<![CDATA[\x01\x02]]>", "HexFile element is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Body);
        ctl->ClearLog();
        const std::string msg =
            Download(dir.Write("b.dat", std::string("<r><HexFile>") + c.Body + "</HexFile></r>"));
        EXPECT_NE(msg.find(c.Says), std::string::npos) << msg;
        ExpectUntouched();
    }
}

// "Q=" holds one symbol and a fill: no whole byte. The decoder promised no
// buffer for that, as for empty input, but handed out an empty one.
TEST(HostileBase64, TextThatDecodesToNothingGivesNoBuffer)
{
    XMLParserBase64Tool tool;
    for (const char* text : {"Q=", "Q=QRA", " Q = = "}) {
        SCOPED_TRACE(text);
        size_t n = 99;
        int err = 0;
        EXPECT_EQ(tool.Decode(text, &n, &err), nullptr);
        EXPECT_EQ(n, 0u);
        EXPECT_NE(err, 0);
    }
}
