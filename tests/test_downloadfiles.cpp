// Download files: matching images to device profiles, repacking, the page
// pause from the environment, and unpacking gzip files.
#include "Download/NxProgrammer.h"
#include "NxException.h"
#include "support/HexText.h"
#include "support/TempFolder.h"
#include "zlibutils.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <map>

namespace {

// Character in the second byte of each 16-bit unit.
Bytes Name16(const std::string& s)
{
    Bytes b;
    for (char c : s) {
        b.push_back(0);
        b.push_back(static_cast<uint8_t>(c));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

class DownloadFilesTest : public ::testing::Test
{
protected:
    // Loads the image into prog with the given block size.
    void Load(NxProgrammer& prog, const Image& img, uint32_t blockSize = 128)
    {
        ASSERT_TRUE(prog.SetBlockSize(blockSize));
        int line = 0;
        ASSERT_EQ(prog.LoadFile(dir.Write("image.hex", HexText(img)).c_str(), line), 0);
    }
    // The IdentifyFile message, or "" when it succeeds.
    std::string Identify(NxProgrammer& prog, const char* app = nullptr)
    {
        try {
            prog.IdentifyFile(app);
            return "";
        } catch (const NxException& e) {
            return e.what();
        }
    }

    TempFolder dir{"dlfiles"};
};

const DeviceProfile* Row(const char* model)
{
    for (const DeviceProfile* r = kDeviceProfiles; r->IdentityAddress; ++r)
        if (std::string(r->ModelName) == model)
            return r;
    return nullptr;
}

} // namespace

TEST_F(DownloadFilesTest, EveryProfileRowIsFoundAndRepacked)
{
    size_t rows = 0;
    for (const DeviceProfile* r = kDeviceProfiles; r->IdentityAddress; ++r, ++rows) {
        SCOPED_TRACE(r->ModelName);
        NxProgrammer prog(1);
        Load(prog, {{0x0000, Pattern(0x180, 1)}, {r->IdentityAddress, Name8(r->ModelName)}});
        EXPECT_EQ(Identify(prog, r->ModelName), "");
        EXPECT_EQ(prog.GetProfile(), r);
        EXPECT_EQ(prog.GetBlockSize(), r->BlockSize);
        for (const ProgBlock* b = prog.Image().FirstBlock(); b; b = b->Next) {
            EXPECT_EQ(b->DataLength, r->BlockSize);
            EXPECT_EQ(b->Address() % r->BlockSize, 0u);
        }
    }
    EXPECT_EQ(rows, 5u);
    EXPECT_EQ(Row("GasProbe5000")->Flags, kProfileErase);
    EXPECT_EQ(Row("GasProbe5000")->PageBase, 0x7E8000u);
    EXPECT_EQ(Row("GasProbe5000")->RetryDelay, 1500u);
    EXPECT_EQ(Row("Meridian")->Flags, 0u);
}

TEST_F(DownloadFilesTest, StoredNameForms)
{
    const char* const unknown = "Unsupported or unknown download file";
    struct Case
    {
        const char* What;
        uint32_t Addr;
        Bytes Stored;
        const char* Model; // expected row, or null for no match
    } cases[] = {
        {"8-bit after one dot", 0x6FD0, Name8(".GasProbe"), "GasProbe"},
        {"16-bit", 0x6FD0, Name16("GasProbe"), "GasProbe"},
        {"16-bit after one dot", 0x6FD0, Name16(".WarmCase5000XL"), "WarmCase5000XL"},
        {"second row at the same address", 0x6FD0, Name8("WarmCase5000XL"), "WarmCase5000XL"},
        {"name with a space", 0xEFD0, Name8("ClimaCore QX"), "ClimaCore QX"},
        {"two dots", 0x6FD0, Name8("..GasProbe"), nullptr},
        {"longer than the model", 0x6FD0, Name8("GasProbeX"), nullptr},
        {"longer than 32 characters", 0x6FD0, Name8("GasProbe" + std::string(40, 'x')), nullptr},
        {"shorter than the model", 0x6FD0, Name8("GasProb"), nullptr},
        {"letter case differs", 0x6FD0, Name8("gasprobe"), nullptr},
        {"model at another row's address", 0xEFD0, Name8("GasProbe"), nullptr},
        {"neither byte printable", 0x6FD0, Bytes{0, 0, 'G', 'a', 's'}, nullptr},
        {"16-bit at the last row's address", 0x7E8020, Name16("GasProbe5000"), "GasProbe5000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        NxProgrammer prog(1);
        Load(prog, {{c.Addr, c.Stored}});
        if (c.Model) {
            EXPECT_EQ(Identify(prog), "");
            EXPECT_EQ(prog.GetProfile(), Row(c.Model));
        } else {
            EXPECT_EQ(Identify(prog), unknown);
            EXPECT_EQ(prog.GetProfile(), nullptr);
        }
    }

    NxProgrammer empty(1);
    Load(empty, {{0x0000, Pattern(64, 3)}});
    EXPECT_EQ(Identify(empty), unknown);
}

TEST_F(DownloadFilesTest, NamesAreNotReadPastTheirBlock)
{
    // A 16-bit name fills its 16-byte block to the last byte; the next block
    // holds printable bytes where the name's further units would be.
    NxProgrammer prog(1);
    Bytes name = Name16("GasProbe");
    name.resize(16);
    Load(prog, {{0x6FD0, name}, {0x6FE0, Bytes(16, 'Z')}}, 16);
    EXPECT_EQ(Identify(prog), "");
    EXPECT_EQ(prog.GetProfile(), Row("GasProbe"));
    EXPECT_EQ(prog.GetBlockSize(), 128u); // repacked from 16

    // An 8-bit name without a zero up to its block's end, a name in the next.
    NxProgrammer cut(1);
    Load(cut, {{0x6FD0, Bytes(16, 'Q')}, {0x6FE0, Name8("GasProbe")}}, 16);
    EXPECT_EQ(Identify(cut), "Unsupported or unknown download file");
}

TEST_F(DownloadFilesTest, ApplicationNameMustBeTheModel)
{
    NxProgrammer prog(1);
    Load(prog, {{0x6FD0, Name8("WarmCase5000XL")}});
    EXPECT_EQ(Identify(prog, "GasProbe"),
              "Invalid download file for this device (Device='GasProbe' File='WarmCase5000XL')");
    EXPECT_EQ(prog.GetProfile(), nullptr);
    EXPECT_EQ(Identify(prog, ".WarmCase5000XL"), ""); // one leading dot is skipped
    EXPECT_EQ(Identify(prog, "WarmCase5000X"),
              "Invalid download file for this device (Device='WarmCase5000X' "
              "File='WarmCase5000XL')");
    EXPECT_EQ(Identify(prog, "warmcase5000xl"),
              "Invalid download file for this device (Device='warmcase5000xl' "
              "File='WarmCase5000XL')");
}

TEST_F(DownloadFilesTest, RepackingCutsTheImageInMemory)
{
    // Same size: the blocks stay, so the file is not needed again.
    NxProgrammer same(1);
    Load(same, {{0x6FD0, Name8("WarmCase5000XL")}, {0x0040, Pattern(0x100, 9)}});
    const ProgBlock* first = same.Image().FirstBlock();
    std::filesystem::remove(dir / "image.hex");
    EXPECT_EQ(Identify(same), "");
    EXPECT_EQ(same.Image().FirstBlock(), first);
    EXPECT_EQ(same.GetBlockCount(), 4u); // 0x6F80, 0x0000, 0x0080, 0x0100

    // 128 -> 256: blocks cut at multiples of 256, data intact.
    NxProgrammer meridian(2);
    const Bytes code = Pattern(0x1C0, 5);
    Load(meridian, {{0x0040, code}, {0xEFD0, Name8("Meridian")}});
    EXPECT_EQ(meridian.GetBlockCount(), 5u);
    EXPECT_EQ(Identify(meridian, "Meridian"), "");
    ASSERT_EQ(meridian.GetBlockCount(), 3u);
    std::vector<uint32_t> addrs;
    for (const ProgBlock* b = meridian.Image().FirstBlock(); b; b = b->Next)
        addrs.push_back(b->Address());
    EXPECT_EQ(addrs, (std::vector<uint32_t>{0x0000, 0x0100, 0xEF00}));
    for (size_t i = 0; i < code.size(); ++i)
        ASSERT_EQ(*meridian.Image().FindByte(0x40 + static_cast<uint32_t>(i)), code[i]) << i;
    EXPECT_EQ(*meridian.Image().FindByte(0x3F), 0);

    // The file was replaced after it was read: what was checked is sent.
    NxProgrammer replaced(2);
    Load(replaced, {{0xEFD0, Name8("Meridian")}});
    dir.Write("image.hex", HexText({{0xEFD0, Name8("Unknown!")}}));
    EXPECT_EQ(Identify(replaced), "");
    EXPECT_EQ(replaced.GetBlockSize(), 256u);
    EXPECT_EQ(*replaced.Image().FindByte(0xEFD0), 'M');
}

TEST(BlockDelay, EnvironmentValueWithAutomaticBase)
{
    unsetenv("BLKDELAY");
    EXPECT_EQ(BlockDelayMs(), 0u);
    const std::pair<const char*, uint32_t> cases[] = {
        {"20", 20}, {"0x14", 20}, {"0X14", 20}, {"024", 20}, {" 7", 7}, {"12ms", 12}, {"0", 0},
        {"-5", 0},  {"abc", 0},   {"", 0},      {"0x", 0},   {"09", 0}, {"+3", 3},
    };
    for (const auto& [text, ms] : cases) {
        setenv("BLKDELAY", text, 1);
        EXPECT_EQ(BlockDelayMs(), ms) << "'" << text << "'";
    }
    unsetenv("BLKDELAY");
}

// ---- gzip files ----

namespace {

std::string Document(size_t n)
{
    std::string s = "<Download><HexFile>";
    while (s.size() < n)
        s += static_cast<char>('A' + s.size() % 26);
    s.resize(n);
    return s;
}

} // namespace

TEST_F(DownloadFilesTest, GzipAndPlainFilesUnpackWhole)
{
    for (size_t n : {size_t{0}, size_t{1}, size_t{7999}, size_t{8000}, size_t{8001}, size_t{16000},
                     size_t{100003}}) {
        SCOPED_TRACE(n);
        const std::string doc = Document(n);
        const std::string gz = dir.WriteGzip("doc.dat", doc);
        const std::string plain = dir.Write("plain.dat", doc);
        for (const std::string& path : {gz, plain}) {
            TScopedMallocBuffer<char> buf;
            ASSERT_EQ(ReadGzipFile(path.c_str(), buf), static_cast<long>(n));
            ASSERT_TRUE(buf);
            EXPECT_EQ(std::string(buf.get(), n), doc);
            EXPECT_EQ(buf.get()[n], 0); // one zero byte behind the data
        }
    }
}

TEST_F(DownloadFilesTest, GzipFailures)
{
    TScopedMallocBuffer<char> buf;
    EXPECT_EQ(ReadGzipFile((dir / "missing.dat").string().c_str(), buf), kGzipOpenFailed);
    EXPECT_FALSE(buf);

    const std::string doc = Document(50000);
    const std::string good = (dir / "good.dat").string();
    WriteGzip(good, doc, "wb9");
    const std::string bytes = ReadFile(good);
    ASSERT_GT(bytes.size(), 40u);

    // Damaged: the stored CRC, a byte of the deflate data, and a cut stream.
    std::string crc = bytes;
    crc[crc.size() - 6] ^= 0x5A;
    std::string data = bytes;
    data[bytes.size() / 2] ^= 0xFF;
    const std::string cut = bytes.substr(0, bytes.size() / 2);
    for (const auto& [name, content] :
         {std::pair{"crc.dat", crc}, std::pair{"data.dat", data}, std::pair{"cut.dat", cut}}) {
        SCOPED_TRACE(name);
        TScopedMallocBuffer<char> b;
        EXPECT_EQ(ReadGzipFile(dir.Write(name, content).c_str(), b), kGzipReadError);
        EXPECT_FALSE(b);
    }

    const std::string texts[] = {GzipErrorText(kGzipOpenFailed), GzipErrorText(kGzipTooLarge),
                                 GzipErrorText(kGzipReadError)};
    EXPECT_NE(texts[0], texts[1]);
    EXPECT_NE(texts[1], texts[2]);
    EXPECT_NE(texts[0], texts[2]);
    EXPECT_NE(texts[1].find("64 MiB"), std::string::npos);
}

TEST_F(DownloadFilesTest, GzipBoundOf64MiB)
{
    // Streams zeros through gzwrite: a file of a few hundred KiB.
    const auto make = [&](const std::string& name, size_t n) {
        const std::string path = (dir / name).string();
        gzFile f = gzopen(path.c_str(), "wb1");
        EXPECT_NE(f, nullptr);
        const std::string zeros(1 << 20, '\0');
        for (size_t left = n; left > 0;) {
            const size_t k = std::min(left, zeros.size());
            EXPECT_EQ(gzwrite(f, zeros.data(), static_cast<unsigned>(k)), static_cast<int>(k));
            left -= k;
        }
        EXPECT_EQ(gzclose(f), Z_OK);
        return path;
    };
    const auto max = static_cast<size_t>(kGzipMaxBytes);

    TScopedMallocBuffer<char> buf;
    EXPECT_EQ(ReadGzipFile(make("max.dat", max).c_str(), buf), kGzipMaxBytes);
    EXPECT_TRUE(buf);
    buf.reset();

    const std::string over = make("over.dat", max + 1);
    EXPECT_LT(std::filesystem::file_size(over), 1u << 20);
    EXPECT_EQ(ReadGzipFile(over.c_str(), buf), kGzipTooLarge);
    EXPECT_FALSE(buf);
}
