// Base64 decoding: sizes, the four result codes, and buffer bounds.
#include "Xmlutils.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Encode(const std::vector<unsigned char>& data, size_t lineLen = 0)
{
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        const unsigned v = (data[i] << 16) | ((i + 1 < data.size() ? data[i + 1] : 0) << 8) |
                           (i + 2 < data.size() ? data[i + 2] : 0);
        out += a[(v >> 18) & 63];
        out += a[(v >> 12) & 63];
        out += i + 1 < data.size() ? a[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? a[v & 63] : '=';
        if (lineLen && (out.size() % (lineLen + 2)) == lineLen)
            out += "\r\n";
    }
    return out;
}

struct Decoded
{
    bool bNull;
    std::string bytes;
    int error;
};

Decoded DecodeText(XMLParserBase64Tool& tool, const char* text)
{
    size_t size = 12345;
    int error = -1;
    const unsigned char* p = tool.Decode(text, &size, &error);
    return {p == nullptr, p ? std::string(reinterpret_cast<const char*>(p), size) : "", error};
}

TEST(XmlBase64, SizesAndCodes)
{
    struct Case
    {
        const char* text;
        bool bNull;
        const char* bytes;
        int error;
    };
    const Case cases[] = {
        {"QUJD", false, "ABC", 0},
        {" Q U\tJ\r\nD \n", false, "ABC", 0},
        {"QUI=", false, "AB", 0},
        {"QQ==", false, "A", 0},
        {"QUJDRA==", false, "ABCD", 0},
        {"QUJD====", false, "ABC", 0},
        {"QUJ", false, "AB", eXmlBase64Truncated},     // size 2 (and 17), then cut inside a group
        {"QUJD=", false, "ABC", eXmlBase64Length},     // fill at a group start, size reached
        {"QUJDQ", false, "ABC", eXmlBase64Truncated},  // one stray symbol makes no byte
        {"QQ=AQUJD", false, "A", eXmlBase64Truncated}, // fill inside a group, too early
        {"QUJD*", true, "", eXmlBase64IllegalChar},
        {"QU-D", true, "", eXmlBase64IllegalChar},
        {"", true, "", 0},
        {"  \n", true, "", 0},
        {"Q", true, "", eXmlBase64Length},
        {"====", true, "", 0},
    };
    XMLParserBase64Tool tool;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Decoded d = DecodeText(tool, c.text);
        EXPECT_EQ(d.bNull, c.bNull);
        EXPECT_EQ(d.bytes, c.bytes);
        EXPECT_EQ(d.error, c.error);
    }
    EXPECT_EQ(XMLParserBase64Tool::DecodedSize("QUJ"), 2u);
    EXPECT_EQ(XMLParserBase64Tool::DecodedSize("QUJDRA=="), 4u);
    EXPECT_TRUE(tool.Decode(nullptr) == nullptr);
}

// The truncated case hands back only the bytes actually decoded, never
// stale bytes from an earlier, longer decode.
TEST(XmlBase64, TruncationNeverExposesStaleBytes)
{
    XMLParserBase64Tool tool;
    ASSERT_EQ(DecodeText(tool, "QUJDREVGR0hJ").bytes, "ABCDEFGHI");
    const Decoded d = DecodeText(tool, "QQ=AQUJDREVG");
    EXPECT_EQ(d.error, eXmlBase64Truncated);
    EXPECT_EQ(d.bytes, "A");
}

TEST(XmlBase64, RoundTripsEveryLengthAndCut)
{
    std::mt19937 rng(7);
    XMLParserBase64Tool tool;
    for (size_t n = 1; n < 300; n += 7) {
        std::vector<unsigned char> data(n);
        for (auto& b : data)
            b = static_cast<unsigned char>(rng());
        const std::string text = Encode(data, 76);
        const Decoded d = DecodeText(tool, text.c_str());
        ASSERT_EQ(d.error, 0);
        ASSERT_EQ(d.bytes, std::string(data.begin(), data.end()));
        // Every cut decodes a prefix of the data or nothing, and stays in bounds.
        for (size_t cut = 0; cut < text.size(); ++cut) {
            const Decoded c = DecodeText(tool, text.substr(0, cut).c_str());
            ASSERT_EQ(c.bytes, std::string(data.begin(), data.begin() + c.bytes.size()));
            ASSERT_TRUE(c.error == 0 || c.error == eXmlBase64Length ||
                        c.error == eXmlBase64Truncated)
                << c.error;
        }
    }
}

// The shape of a packed download file: the element found by its first tag,
// its text decoded.
TEST(XmlBase64, HexFileElement)
{
    XmlResults r;
    const XMLNode n = ParseBuffer("<r><HexFile>QUJD</HexFile></r>", "HexFile", &r);
    ASSERT_EQ(r.nError, 0);
    XMLParserBase64Tool tool;
    const Decoded d = DecodeText(tool, n.TextAt(0));
    EXPECT_EQ(d.bytes, "ABC");
    EXPECT_EQ(d.error, 0);
}

} // namespace
