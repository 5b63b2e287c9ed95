// The Intel HEX reader's result codes and line numbers, and the memory image
// built from it.
#include "IntelHex.h"
#include "MemoryImage.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// One record line with a correct checksum.
std::string Rec(uint8_t type, uint16_t addr, const Bytes& data)
{
    Bytes b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(addr >> 8),
               static_cast<uint8_t>(addr), type};
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t x : b)
        sum += x;
    b.push_back(static_cast<uint8_t>(-sum));
    std::string s = ":";
    char hex[3];
    for (uint8_t x : b) {
        std::snprintf(hex, sizeof hex, "%02X", x);
        s += hex;
    }
    return s;
}

Bytes Seq(size_t n, uint8_t first = 1)
{
    Bytes d(n);
    for (size_t i = 0; i < n; ++i)
        d[i] = static_cast<uint8_t>(first + i);
    return d;
}

const std::string kEof = ":00000001FF";

// A file in the running test's own folder.
std::string WriteTemp(const std::string& content)
{
    static int counter = 0;
    return TestFolder().Write("ihex_" + std::to_string(counter++) + ".hex", content);
}

// Keeps what the reader hands over.
struct Recorder : IHfEvt
{
    std::vector<HexRecord> data, address;
    int eofCount = 0;
    void OnDataRecord(const HexRecord& r) override { data.push_back(r); }
    void OnAddressRecord(const HexRecord& r) override { address.push_back(r); }
    void OnEndOfFile(const HexRecord&) override { ++eofCount; }
};

int Read(const std::string& content, int& line, Recorder* rec = nullptr)
{
    Recorder local;
    line = 0;
    return ReadIntelHexFile(WriteTemp(content).c_str(), rec ? *rec : local, line);
}

struct Loaded
{
    MemoryImage image;
    int rc = 0;
    int line = 0;
};

std::unique_ptr<Loaded> Load(const std::string& content, uint32_t blockSize = 128)
{
    auto l = std::make_unique<Loaded>();
    EXPECT_TRUE(l->image.SetBlockSize(blockSize));
    l->rc = l->image.LoadFile(WriteTemp(content).c_str(), l->line);
    return l;
}

Bytes BlockData(const ProgBlock* b)
{
    return Bytes(b->Data(), b->Data() + b->DataLength);
}

std::vector<uint32_t> BlockAddresses(const MemoryImage& p)
{
    std::vector<uint32_t> v;
    for (const ProgBlock* b = p.FirstBlock(); b; b = b->Next)
        v.push_back(b->Address());
    return v;
}

} // namespace

TEST(IntelHexReader, ResultCodesAndLines)
{
    const std::string d16 = Rec(0, 0x0000, Seq(16));
    const std::string d16b = Rec(0, 0x0010, Seq(16));
    std::string badSum = d16;
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    // 'G' in the data converts to the digit before it, so the sum no longer fits.
    std::string oddChar = d16;
    oddChar[12] = 'G';
    // Announces 16 bytes but carries 8 and no checksum.
    const std::string cut = d16.substr(0, 1 + 2 * (4 + 8));
    // Announces 0x3F bytes: more than one 127-character read can hold.
    const std::string tooLongForLine = ":3F000000" + std::string(2 * 0x40, '0');

    struct Case
    {
        const char* what;
        std::string content;
        int rc;
        int line;
    } cases[] = {
        {"EOF without line break", d16 + "\n" + kEof, 0, 2},
        {"CRLF lines", d16 + "\r\n" + d16b + "\r\n" + kEof + "\r\n", 0, 3},
        {"lines after EOF are not read", kEof + "\nrubbish\n\n:zz\n", 0, 1},
        {"empty line", d16 + "\n\n" + d16b + "\n" + kEof + "\n", -3, 2},
        {"no colon", d16 + "\n " + d16b + "\n" + kEof + "\n", -3, 2},
        {"colon only", ":\n" + kEof, -3, 1},
        {"missing EOF", d16 + "\n" + d16b + "\n" + Rec(0, 0x20, Seq(4)) + "\n", -5, 4},
        {"empty file", "", -5, 1},
        {"checksum", d16 + "\n" + badSum + "\n" + kEof, -2, 2},
        {"odd character", oddChar + "\n" + kEof, -2, 1},
        {"count past line end", cut + "\n" + kEof, -3, 1},
        {"count past line buffer", tooLongForLine + "\n" + kEof, -3, 1},
        {"32 data bytes", Rec(0, 0, Seq(32)) + "\n" + kEof, 0, 2},
        {"33 data bytes", Rec(0, 0, Seq(33)) + "\n" + kEof, -4, 1},
        {"segment with 3 bytes", Rec(2, 0, {1, 2, 3}) + "\n" + kEof, -4, 1},
        {"linear with 3 bytes", Rec(4, 0, {1, 2, 3}) + "\n" + kEof, -4, 1},
        {"start linear with 4 bytes", Rec(5, 0, {1, 2, 3, 4}) + "\n" + kEof, 0, 2},
        {"start linear with 5 bytes", Rec(5, 0, Seq(5)) + "\n" + kEof, -4, 1},
        {"type 3", d16 + "\n" + Rec(3, 0, {0, 0, 0, 0}) + "\n" + kEof, -7, 2},
        {"type 6", Rec(6, 0, {}) + "\n" + kEof, -7, 1},
        {"zero byte inside a line",
         d16.substr(0, 5) + std::string(1, '\0') + d16.substr(5) + "\n" + kEof, -3, 1},
    };
    for (const Case& c : cases) {
        int line = 0;
        EXPECT_EQ(Read(c.content, line), c.rc) << c.what;
        EXPECT_EQ(line, c.line) << c.what;
    }
}

TEST(IntelHexReader, LongLinesAreReadIn127CharacterPieces)
{
    // Characters after the record are ignored, but a line is read 127
    // characters at a time and the rest arrives as the next line.
    const std::string rec = Rec(0, 0, Seq(16));
    const std::string fits = rec + std::string(126 - rec.size(), 'x');
    const std::string full = rec + std::string(127 - rec.size(), 'x');
    int line = 0;
    EXPECT_EQ(Read(fits + "\n" + kEof, line), 0);
    EXPECT_EQ(line, 2);
    EXPECT_EQ(Read(full + "\n" + kEof, line), -3); // the lone line feed is an empty line
    EXPECT_EQ(line, 2);
    EXPECT_EQ(Read(rec + std::string(100, 'A') + "\n" + kEof, line), -3);
    EXPECT_EQ(line, 2);
}

TEST(IntelHexReader, OpenFailure)
{
    Recorder r;
    int line = 0;
    EXPECT_EQ(ReadIntelHexFile("/nonexistent/dir/x.hex", r, line), -6);
    EXPECT_EQ(line, 0);
}

TEST(IntelHexReader, AddressRecords)
{
    Recorder r;
    int line = 0;
    const std::string file = Rec(4, 0, {0x00, 0x01}) + "\n" +       // upper 0x10000
                             Rec(0, 0x0010, {0xAA}) + "\n" +        //
                             Rec(5, 0, {0x00, 0x00, 0x80, 0x00}) +  // start address only
                             "\n" + Rec(0, 0x0020, {0xBB}) + "\n" + //
                             Rec(2, 0, {0x10, 0x00}) + "\n" +       // segment: 0x1000 * 16
                             Rec(0, 0x0000, {0xCC}) + "\n" +        //
                             Rec(0, 0xFFFF, {0xDD}) + "\n" + kEof + "\n";
    ASSERT_EQ(Read(file, line, &r), 0);
    ASSERT_EQ(r.data.size(), 4u);
    EXPECT_EQ(r.data[0].AbsAddress, 0x10010u);
    EXPECT_EQ(r.data[1].AbsAddress, 0x10020u); // type 5 left the upper address
    EXPECT_EQ(r.data[2].AbsAddress, 0x10000u);
    EXPECT_EQ(r.data[3].AbsAddress, 0x1FFFFu);
    EXPECT_EQ(r.data[3].Address, 0xFFFF);
    ASSERT_EQ(r.address.size(), 3u);
    EXPECT_EQ(r.address[0].AbsAddress, 0x10000u);
    EXPECT_EQ(r.address[1].AbsAddress, 0x8000u);
    EXPECT_EQ(r.address[2].AbsAddress, 0x10000u);
    EXPECT_EQ(r.eofCount, 1);
}

TEST(IntelHexReader, ErrorTexts)
{
    const std::map<int, std::string> texts = {
        {0, "Success"},
        {-1, "Error"},
        {-2, "Checksum error"},
        {-3, "Not a IntelHex-File (invalid record header)"},
        {-4, "Data too long"},
        {-5, "File end before EOF record"},
        {-6, "File open failed"},
        {-7, "Invalid record type"},
        {-8, "End of file record"},
        {-9, "Not a regular file"},
        {-10, "File larger than 64 MiB"},
        {-11, "Image larger than 16 MiB or 131072 blocks"},
        {-12, "Undefined IntelHex error"},
        {1, "Undefined IntelHex error"},
    };
    for (const auto& [code, text] : texts)
        EXPECT_EQ(IntelHexErrorText(code), text) << code;
}

TEST(MemoryImage, RecordsIntoBlocks)
{
    const std::string file = Rec(0, 0x0078, Seq(16, 0x10)) + "\n" + // straddles 0x80
                             Rec(0, 0x0200, Seq(4, 0x50)) + "\n" +  // gap before it
                             Rec(0, 0x0202, {0xEE}) + "\n" +        // overwrites
                             Rec(0, 0x0410, {}) + "\n" +            // count 0
                             Rec(0, 0x0010, {0x77}) + "\n" + kEof + "\n";
    auto l = Load(file);
    ASSERT_EQ(l->rc, 0);
    MemoryImage& p = l->image;
    EXPECT_TRUE(p.HasEndOfFile());
    // First-touch order, not address order.
    EXPECT_EQ(BlockAddresses(p), (std::vector<uint32_t>{0x0000, 0x0080, 0x0200, 0x0400}));
    EXPECT_EQ(p.GetBlockCount(), 4u);

    const ProgBlock* b0 = p.FirstBlock();
    Bytes want0(128, 0);
    want0[0x10] = 0x77;
    for (int i = 0; i < 8; ++i)
        want0[0x78 + i] = static_cast<uint8_t>(0x10 + i);
    EXPECT_EQ(BlockData(b0), want0);

    Bytes want1(128, 0);
    for (int i = 0; i < 8; ++i)
        want1[i] = static_cast<uint8_t>(0x18 + i);
    EXPECT_EQ(BlockData(b0->Next), want1);

    Bytes want2(128, 0);
    want2[0] = 0x50, want2[1] = 0x51, want2[2] = 0xEE, want2[3] = 0x53;
    EXPECT_EQ(BlockData(b0->Next->Next), want2);
    EXPECT_EQ(BlockData(b0->Next->Next->Next), Bytes(128, 0));

    // The buffer is the flash-page payload: address little-endian, then data.
    const ProgBlock* b2 = b0->Next->Next;
    EXPECT_EQ(Bytes(b2->Buffer(), b2->Buffer() + 6), (Bytes{0x00, 0x02, 0x00, 0x00, 0x50, 0x51}));
}

TEST(MemoryImage, UpperAddressPlacement)
{
    auto linear = Load(Rec(4, 0, {0x00, 0x01}) + "\n" + Rec(0, 0, {1}) + "\n" + kEof);
    ASSERT_EQ(linear->rc, 0);
    EXPECT_EQ(BlockAddresses(linear->image), std::vector<uint32_t>{0x10000});

    auto segment = Load(Rec(2, 0, {0x10, 0x00}) + "\n" + Rec(0, 0, {1}) + "\n" + kEof);
    ASSERT_EQ(segment->rc, 0);
    EXPECT_EQ(BlockAddresses(segment->image), std::vector<uint32_t>{0x10000});
}

TEST(MemoryImage, FindByteAndFindOrAddBlock)
{
    auto l = Load(Rec(0, 0x6FD0, Seq(16, 'A')) + "\n" + kEof, 128);
    ASSERT_EQ(l->rc, 0);
    MemoryImage& p = l->image;
    size_t avail = 99;
    uint8_t* b = p.FindByte(0x6FD2, avail);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(*b, 'C');
    EXPECT_EQ(avail, 0x7000u - 0x6FD2u); // up to the block's end
    EXPECT_EQ(p.FindByte(0x6F7F, avail), nullptr);
    EXPECT_EQ(avail, 0u);
    EXPECT_EQ(p.FindByte(0x7000), nullptr);

    ProgBlock* found = p.FindOrAddBlock(0x6F80);
    EXPECT_EQ(found, p.FirstBlock());
    EXPECT_EQ(p.GetBlockCount(), 1u);
    ProgBlock* added = p.FindOrAddBlock(0x8000);
    EXPECT_EQ(p.GetBlockCount(), 2u);
    EXPECT_EQ(p.FirstBlock()->Next, added);
    EXPECT_EQ(BlockData(added), Bytes(128, 0));
    EXPECT_EQ(p.FindOrAddBlock(0x8005), added); // rounded down to its block
}

TEST(MemoryImage, BlockSizeRereadsTheFile)
{
    const std::string path =
        WriteTemp(Rec(0, 0x0000, Seq(16)) + "\n" + Rec(0, 0x00C0, Seq(4)) + "\n" + kEof + "\n");
    MemoryImage p;
    EXPECT_EQ(p.GetBlockSize(), 128u);
    EXPECT_FALSE(p.HasEndOfFile());
    EXPECT_EQ(p.FirstBlock(), nullptr);
    EXPECT_TRUE(p.SetBlockSize(256)); // nothing loaded yet
    EXPECT_TRUE(p.SetBlockSize(128));
    int line = -1;
    ASSERT_EQ(p.LoadFile(path.c_str(), line), 0);
    EXPECT_EQ(line, 3);
    EXPECT_EQ(BlockAddresses(p), (std::vector<uint32_t>{0x0000, 0x0080}));

    ASSERT_TRUE(p.SetBlockSize(256));
    EXPECT_EQ(p.GetFilePath(), path);
    EXPECT_EQ(BlockAddresses(p), std::vector<uint32_t>{0x0000});
    EXPECT_EQ(p.FirstBlock()->DataLength, 256u);
    EXPECT_EQ(p.FirstBlock()->Data()[0x0F], 16);
    EXPECT_EQ(p.FirstBlock()->Data()[0xC0], 1);

    for (uint32_t bad : {0u, 8u, 100u, 129u, 1u << 20})
        EXPECT_FALSE(p.SetBlockSize(bad)) << bad;
    EXPECT_EQ(p.GetBlockSize(), 256u);

    // The file went away: the reload fails and says so.
    fs::remove(path);
    EXPECT_FALSE(p.SetBlockSize(128));
    EXPECT_FALSE(p.HasEndOfFile());
    EXPECT_EQ(p.GetBlockCount(), 0u);
}

TEST(MemoryImage, FailedLoadClearsEndOfFile)
{
    MemoryImage p;
    int line = 0;
    ASSERT_EQ(p.LoadFile(WriteTemp(Rec(0, 0, {1}) + "\n" + kEof).c_str(), line), 0);
    EXPECT_TRUE(p.HasEndOfFile());
    EXPECT_EQ(p.LoadFile(WriteTemp(Rec(0, 0x100, {1}) + "\n").c_str(), line), -5);
    EXPECT_FALSE(p.HasEndOfFile());
    EXPECT_EQ(BlockAddresses(p), std::vector<uint32_t>{0x100}); // only the new file's
}

namespace {

// A file of non-overlapping records of 1 to 32 bytes in random order over two
// 64 KiB pages, as a linker with unordered sections might write it.
std::string RandomFile(unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint32_t> slots;
    for (uint32_t a = 0; a < 0x20000; a += 32)
        if (rng() % 3 == 0)
            slots.push_back(a);
    std::shuffle(slots.begin(), slots.end(), rng);
    std::string out;
    uint32_t upper = 0xFFFFFFFF;
    for (uint32_t slot : slots) {
        const uint32_t len = 1 + rng() % 32;
        const uint32_t addr = slot + rng() % (33 - len);
        if ((addr >> 16) != upper) {
            upper = addr >> 16;
            out += Rec(4, 0, {0, static_cast<uint8_t>(upper)}) + "\n";
        }
        Bytes d(len);
        for (auto& b : d)
            b = static_cast<uint8_t>(rng());
        out += Rec(0, static_cast<uint16_t>(addr), d) + "\n";
    }
    return out + kEof + "\n";
}

// Compares the image with objcopy's flat binary of the same file: every block
// holds exactly the binary's bytes (zero outside it), every non-zero byte of
// the binary lies in a block, and the blocks come in first-touch order.
void CompareWithObjcopy(const std::string& hexPath, uint32_t blockSize)
{
    SCOPED_TRACE(hexPath + " block size " + std::to_string(blockSize));
    const std::string binPath = hexPath + ".bin";
    const std::string cmd = "objcopy -I ihex -O binary '" + hexPath + "' '" + binPath + "'";
    if (std::system(cmd.c_str()) != 0)
        GTEST_SKIP() << "objcopy not usable";
    const std::string bin = ReadFile(binPath);

    Recorder r;
    int line = 0;
    ASSERT_EQ(ReadIntelHexFile(hexPath.c_str(), r, line), 0);
    uint32_t base = UINT32_MAX;
    std::vector<uint32_t> order;
    std::set<uint32_t> seen;
    for (const HexRecord& rec : r.data) {
        if (rec.ByteCount > 0)
            base = std::min(base, rec.AbsAddress);
        for (uint32_t i = 0; i < std::max<uint32_t>(rec.ByteCount, 1); ++i) {
            const uint32_t blk = (rec.AbsAddress + i) & ~(blockSize - 1);
            if (seen.insert(blk).second)
                order.push_back(blk);
        }
    }

    MemoryImage p;
    ASSERT_TRUE(p.SetBlockSize(blockSize));
    ASSERT_EQ(p.LoadFile(hexPath.c_str(), line), 0);
    EXPECT_EQ(BlockAddresses(p), order);
    for (const ProgBlock* b = p.FirstBlock(); b; b = b->Next) {
        Bytes want(blockSize, 0);
        for (uint32_t i = 0; i < blockSize; ++i) {
            const uint64_t a = static_cast<uint64_t>(b->Address()) + i;
            if (a >= base && a - base < bin.size())
                want[i] = static_cast<uint8_t>(bin[a - base]);
        }
        ASSERT_EQ(BlockData(b), want) << "block 0x" << std::hex << b->Address();
    }
    for (size_t i = 0; i < bin.size(); ++i)
        if (bin[i] != 0) {
            ASSERT_NE(p.FindByte(static_cast<uint32_t>(base + i)), nullptr) << i;
        }
}

} // namespace

TEST(MemoryImage, MatchesObjcopy)
{
    const std::string sample = std::string(NX_TEST_DATA) + "/hex/sample.hex";
    const std::string copy = WriteTemp(ReadFile(sample));
    for (uint32_t bs : {128u, 256u}) {
        CompareWithObjcopy(copy, bs);
        for (unsigned seed : {1u, 2u, 3u})
            CompareWithObjcopy(WriteTemp(RandomFile(seed)), bs);
    }
}

TEST(MemoryImage, RecutGivesWhatAReloadGives)
{
    const std::string sample = WriteTemp(ReadFile(std::string(NX_TEST_DATA) + "/hex/sample.hex"));
    for (const std::string& path : {sample, WriteTemp(RandomFile(4)), WriteTemp(RandomFile(5))}) {
        for (uint32_t from : {16u, 128u}) {
            MemoryImage cut;
            ASSERT_TRUE(cut.SetBlockSize(from));
            int line = 0;
            ASSERT_EQ(cut.LoadFile(path.c_str(), line), 0);
            for (uint32_t to : {from, 2 * from, 256u, 4096u}) {
                SCOPED_TRACE(path + " " + std::to_string(from) + " -> " + std::to_string(to));
                ASSERT_TRUE(cut.Recut(to));
                MemoryImage reload;
                ASSERT_TRUE(reload.SetBlockSize(to));
                ASSERT_EQ(reload.LoadFile(path.c_str(), line), 0);
                ASSERT_EQ(BlockAddresses(cut), BlockAddresses(reload));
                for (const ProgBlock *a = cut.FirstBlock(), *b = reload.FirstBlock(); a;
                     a = a->Next, b = b->Next)
                    ASSERT_EQ(BlockData(a), BlockData(b)) << std::hex << a->Address();
                EXPECT_EQ(cut.GetBlockSize(), to);
                EXPECT_TRUE(cut.HasEndOfFile());
                EXPECT_EQ(cut.GetFilePath(), path);
            }
            // Smaller blocks would need to know which parts the file touched.
            for (uint32_t bad : {2048u, 3u * 4096u, 2u * MemoryImage::kMaxBlockSize})
                EXPECT_FALSE(cut.Recut(bad)) << bad;
            EXPECT_EQ(cut.GetBlockSize(), 4096u);
        }
    }
}

TEST(MemoryImage, TruncatedFileNeverLoads)
{
    // Only a cut after the whole end-of-file record may succeed.
    const std::string full = ReadFile(std::string(NX_TEST_DATA) + "/hex/sample.hex");
    const size_t eofEnd = full.rfind(kEof) + kEof.size();
    ASSERT_NE(full.rfind(kEof), std::string::npos);
    MemoryImage p;
    const std::string path = WriteTemp("");
    for (size_t len = 0; len <= full.size(); ++len) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << full.substr(0, len);
        int line = 0;
        const int rc = p.LoadFile(path.c_str(), line);
        if (len >= eofEnd) {
            ASSERT_EQ(rc, 0) << len;
        } else {
            ASSERT_NE(rc, 0) << len;
            ASSERT_FALSE(p.HasEndOfFile()) << len;
        }
    }
}
