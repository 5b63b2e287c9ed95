// Files: OpenDocument's report, the encoding guess and its process-wide effect.
#include "NxUi.h"
#include "Xmlutils.h"
#include "support/Recorders.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class XmlDocument : public ::testing::Test
{
protected:
    void SetUp() override { SetGlobalOptions(eXmlEncUtf8, true, true, true); }
    void TearDown() override { SetGlobalOptions(eXmlEncUtf8, true, true, true); }

    RecordingSink sink;
    TempFolder dir{"xml"};
};

TEST_F(XmlDocument, MissingFileReport)
{
    const char* path = "/nonexistent/dir/table.xml";
    XmlResults r;
    EXPECT_TRUE(OpenDocument(path, "ParameterTables", true, &r).IsEmpty());
    EXPECT_EQ(r.nError, eXmlFileNotFound);
    ASSERT_EQ(sink.Shown.size(), 1u);
    EXPECT_EQ(sink.Shown[0].Text, "XML Parsing error inside file '/nonexistent/dir/table.xml'.\n"
                                  "Error: File not found\nAt line 0, column 0.\n");
    EXPECT_EQ(sink.Shown[0].Caption, "XML Parsing error");
    EXPECT_EQ(sink.Shown[0].Icon, INxMessageSink::Icon::Error);

    OpenDocument(path, "ParameterTables", false);
    EXPECT_EQ(sink.Shown.size(), 1u) << "no report without the flag";
}

TEST_F(XmlDocument, ReportsNameTheFirstTagAndWarningsKeepTheTree)
{
    const std::string wrong = dir.Write("wrong.xml", "<Other><x/></Other>\n");
    EXPECT_TRUE(OpenDocument(wrong.c_str(), "ParameterTables", true).IsEmpty());
    ASSERT_EQ(sink.Shown.size(), 1u);
    EXPECT_EQ(sink.Shown[0].Text, "XML Parsing error inside file '" + wrong +
                                      "'.\nError: First Tag not found\nAt line 0, column 0.\n"
                                      "First Tag should be 'ParameterTables'.\n");

    const std::string open = dir.Write("open.xml", "<ParameterTables>\n<Name>x</Name>\n");
    const XMLNode t = OpenDocument(open.c_str(), "ParameterTables", true);
    EXPECT_EQ(ReadChildText(t, "name"), "x");
    ASSERT_EQ(sink.Shown.size(), 2u);
    EXPECT_NE(sink.Shown[1].Text.find("Warning: Unmatched end tag\nAt line 3, column 1."),
              std::string::npos);

    const std::string empty = dir.Write("empty.xml", "");
    EXPECT_TRUE(OpenDocument(empty.c_str(), nullptr, false).IsEmpty());
    XmlResults r;
    ParseDocumentFile(empty.c_str(), nullptr, &r);
    EXPECT_EQ(r.nError, eXmlNoData);
}

TEST_F(XmlDocument, ByteOrderMark)
{
    const std::string path = dir.Write("bom.xml", "\xEF\xBB\xBF<r>x</r>");
    XmlResults r;
    EXPECT_STREQ(ParseDocumentFile(path.c_str(), "r", &r).TextAt(0), "x");
    EXPECT_EQ(r.nError, 0);
    SetGlobalOptions(eXmlEncUtf8, false, true, true);
    const XMLNode top = ParseDocumentFile(path.c_str(), nullptr, &r);
    EXPECT_EQ(top.Name(), nullptr) << "the mark is text beside the element";
    EXPECT_STREQ(top.TextAt(0), "\xEF\xBB\xBF");
}

TEST_F(XmlDocument, EncodingGuessChangesLaterParses)
{
    SetGlobalOptions(eXmlEncShiftJis);
    const std::string tiny = dir.Write("tiny.xml", "<a>x</a>");
    OpenDocument(tiny.c_str(), "a", true);
    EXPECT_EQ(GetGlobalOptions().nEncoding, eXmlEncShiftJis) << "fewer than 25 bytes: no guess";

    const std::string latin =
        dir.Write("latin.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>caf\xE9</a>\n");
    EXPECT_STREQ(OpenDocument(latin.c_str(), "a", true).TextAt(0), "caf\xE9");
    EXPECT_EQ(GetGlobalOptions().nEncoding, eXmlEncSingleByte);
    EXPECT_TRUE(GetGlobalOptions().bDropWhiteSpace) << "the flags are kept";
    EXPECT_TRUE(sink.Shown.empty());

    // Every later parse steps by single bytes: in UTF-8 an E0 would take the
    // next two bytes with it.
    XmlResults r;
    const XMLNode a = ParseBuffer("<a x=\xE0></a>", nullptr, &r);
    EXPECT_EQ(r.nError, 0);
    EXPECT_STREQ(a.FindAttribute("x"), "\xE0");
}

TEST_F(XmlDocument, LeadBytesSwallowTheirTrailByte)
{
    // Shift-JIS: 81 starts a two-byte character, so the '>' after it is no tag closer.
    SetGlobalOptions(eXmlEncShiftJis);
    XmlResults r;
    ParseBuffer("<a x=\x81></a>", nullptr, &r);
    EXPECT_EQ(r.nError, eXmlUnexpectedToken);
    SetGlobalOptions(eXmlEncSingleByte);
    EXPECT_STREQ(ParseBuffer("<a x=\x81></a>", nullptr, &r).FindAttribute("x"), "\x81");
    EXPECT_TRUE(SetGlobalOptions(7)) << "unknown code fails";
    EXPECT_TRUE(SetGlobalOptions(0));
    EXPECT_EQ(GetGlobalOptions().nEncoding, eXmlEncSingleByte);
}

TEST(XmlGuessEncoding, Table)
{
    struct Case
    {
        std::string bytes;
        bool useDeclaration;
        int expected;
    };
    const std::string pad(30, ' ');
    auto decl = [](const std::string& enc) {
        return "<?xml version=\"1.0\" encoding" + enc + "?>\n<r/>";
    };
    const Case cases[] = {
        {"<r>short</r>", true, eXmlEncUnknown},
        {"\xEF\xBB\xBF" + pad, true, eXmlEncUtf8},
        {"<r>" + pad + "</r>", true, eXmlEncUtf8},
        {"<r>caf\xC3\xA9" + pad + "</r>", false, eXmlEncUtf8},
        {"<r>caf\xE9" + pad + "</r>", false, eXmlEncSingleByte},
        {pad + "\xE2\x82", false, eXmlEncUtf8}, // cut by the end of the sample
        {decl("=\"ISO-8859-1\""), true, eXmlEncSingleByte},
        {decl("=\"ISO-8859-1\""), false, eXmlEncUtf8},
        {decl(" = ' UTF8'"), true, eXmlEncUtf8},
        {decl("=\"utf-8\"") + "\xE9  ", true, eXmlEncUnknown}, // declared, but not UTF-8
        {decl("=\"Shift-JIS\""), true, eXmlEncShiftJis},
        {decl("=\"SJIS\""), true, eXmlEncShiftJis},
        {decl("=\"gb2312\""), true, eXmlEncGb2312},
        {decl("=\"BIG5\""), true, eXmlEncBig5},
        {decl("='gbk'"), true, eXmlEncGbk},
        {decl("=UTF-8"), true, eXmlEncUtf8}, // no quote: the byte check decides
        {"<?xml version=\"1.0\" ENCODING=\"big5\"?>", true, eXmlEncUtf8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(GuessEncoding(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                c.bytes.size(), c.useDeclaration),
                  c.expected);
    }
    // The declaration is looked for in the first 200 bytes only.
    const std::string late = std::string(200, ' ') + decl("=\"big5\"");
    EXPECT_EQ(GuessEncoding(reinterpret_cast<const unsigned char*>(late.data()), late.size(), true),
              eXmlEncUtf8);
}

} // namespace
