// Parsing: error codes and positions, tree shape, look-ups, options.
#include "Xmlutils.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every test starts and ends with the reader's defaults: the options are process-wide.
class XmlParse : public ::testing::Test
{
protected:
    void SetUp() override { SetGlobalOptions(eXmlEncUtf8, true, true, true); }
    void TearDown() override { SetGlobalOptions(eXmlEncUtf8, true, true, true); }
};

XMLNode Parse(const std::string& text, XmlResults& r, const char* firstTag = nullptr)
{
    return ParseBuffer(text.c_str(), firstTag, &r);
}

TEST_F(XmlParse, CodesAndPositions)
{
    struct Case
    {
        const char* text;
        const char* firstTag;
        int code, line, column;
    };
    const Case cases[] = {
        {"<a>x</A>", nullptr, 0, 0, 0},
        {"<a><b></a>", nullptr, 1, 1, 11}, // just after the end tag that closed b
        {"<a>", nullptr, 1, 1, 4},
        {"<a>\n  <b>", nullptr, 1, 2, 6},
        {"<a></b>", nullptr, 6, 1, 8},
        {"</a>", nullptr, 6, 1, 5},
        {"hello", nullptr, 2, 1, 6},
        {"", nullptr, 2, 1, 1},
        {"<>", nullptr, 4, 1, 2},
        {"<a></>", nullptr, 5, 1, 6},
        {"<a></a b>", nullptr, 5, 1, 8},
        {"<a></a", nullptr, 5, 1, 7},
        {"<a>&foo;</a>", nullptr, 12, 1, 4},
        {"<a>&#65</a>", nullptr, 12, 1, 4},
        {"<a>&#;</a>", nullptr, 12, 1, 4},
        {"<a>\nx &#300;</a>", nullptr, 13, 2, 3},
        {"<a>&#x100;</a>", nullptr, 13, 1, 4},
        {"<a b=\"&bad;\"/>", nullptr, 12, 1, 7},
        {"<a><!-- open", nullptr, 7, 1, 4},
        {"<a><![CDATA[x]]</a>", nullptr, 7, 1, 4},
        {"<a b=<c>", nullptr, 8, 1, 6},
        {"<a \"x\">", nullptr, 8, 1, 4},
        {"<a b=\"unterminated", nullptr, 8, 1, 6},
        {"<a b=", nullptr, 1, 1, 6}, // the end of text inside a tag closes it
        {"<a/>", "x", 11, 0, 0},
        {"<?xml version=\"1.0\"?><a/>", "b", 11, 0, 0},
        // A multi-byte character counts as one column.
        {"<a>\xC3\xA9</b>", nullptr, 6, 1, 9},
        // A character cut off by the end of the text ends it cleanly.
        {"<a>\xE2\x82", nullptr, 1, 1, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        XmlResults r;
        const XMLNode n = Parse(c.text, r, c.firstTag);
        EXPECT_EQ(r.nError, c.code);
        EXPECT_EQ(r.nLine, c.line);
        EXPECT_EQ(r.nColumn, c.column);
        EXPECT_EQ(n.IsEmpty(), c.code > 2) << "only warnings keep the tree";
    }
    XmlResults r;
    EXPECT_TRUE(ParseBuffer(nullptr, nullptr, &r).IsEmpty());
    EXPECT_EQ(r.nError, eXmlNoElements);
}

TEST_F(XmlParse, UnmatchedEndTagClosesOpenElements)
{
    XmlResults r;
    const XMLNode root = Parse("<r><a><b><c></A><d/></r>", r);
    EXPECT_EQ(r.nError, eXmlUnmatchedEndTagWarning);
    EXPECT_EQ(r.nColumn, 17);
    ASSERT_STREQ(root.Name(), "r");
    ASSERT_EQ(root.CountChildren(), 2);
    EXPECT_STREQ(root.ChildAt(1).Name(), "d");
    EXPECT_STREQ(root.ChildAt(0).ChildAt(0).ChildAt(0).Name(), "c");

    // An unclosed element at the end still yields its tree.
    const XMLNode a = Parse("<a><b>text", r);
    EXPECT_EQ(r.nError, eXmlUnmatchedEndTagWarning);
    EXPECT_STREQ(a.FindChild("b").TextAt(0), "text");
}

TEST_F(XmlParse, EntitiesAndAttributes)
{
    XmlResults r;
    const XMLNode a =
        Parse("<a q='&LT;&gt;&quot;&apos;&#x41;' u=x/y flag n=\"\">AT&amp;T &#65;&#x42;</a>", r);
    ASSERT_EQ(r.nError, 0);
    EXPECT_STREQ(a.TextAt(0), "AT&T AB");
    EXPECT_STREQ(a.FindAttribute("Q"), "<>\"'A");
    EXPECT_STREQ(a.FindAttribute("u"), "x/y");
    EXPECT_TRUE(a.HasAttribute("FLAG"));
    EXPECT_EQ(a.FindAttribute("flag"), nullptr);
    EXPECT_STREQ(a.FindAttribute("n"), "");
    EXPECT_FALSE(a.HasAttribute("missing"));
}

TEST_F(XmlParse, TextsCommentsAndWhiteSpace)
{
    XmlResults r;
    XMLNode a = Parse("<a>  one <!-- c --> two  </a>", r);
    ASSERT_EQ(a.CountTexts(), 1);
    EXPECT_STREQ(a.TextAt(0), "onetwo");
    EXPECT_EQ(a.CountClears(), 0);
    EXPECT_EQ(a.CountItems(), 1);

    // A comment after an element is not between two texts: it stays.
    a = Parse("<a>t1<b/><!--c-->t2<![CDATA[x]]>\n</a>", r);
    const std::vector<int> order{0 * 4 + XMLNode::ItemText, 0 * 4 + XMLNode::ItemChild,
                                 0 * 4 + XMLNode::ItemClear, 1 * 4 + XMLNode::ItemText,
                                 1 * 4 + XMLNode::ItemClear};
    ASSERT_EQ(a.CountItems(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(a.ItemAt(i), order[static_cast<size_t>(i)]);

    SetGlobalOptions(eXmlEncUtf8, true, true, false);
    a = Parse("<a>  one <!-- c --> two  </a>", r);
    ASSERT_EQ(a.CountTexts(), 2);
    EXPECT_STREQ(a.TextAt(1), "two");
    EXPECT_STREQ(a.ClearAt(0), " c ");

    SetGlobalOptions(eXmlEncUtf8, true, false, true);
    a = Parse("<a>  one <!-- c --> two  <b> </b></a>", r);
    ASSERT_EQ(a.CountTexts(), 1);
    EXPECT_STREQ(a.TextAt(0), "  one  two  ");
    EXPECT_EQ(a.FindChild("b").CountTexts(), 0) << "white space alone is no text";
}

TEST_F(XmlParse, ClearSectionsStayRaw)
{
    XmlResults r;
    XMLNode a = Parse("<a><![CDATA[<b>&amp;</b>]]><PRE><i>&x;</i></PRE></a>", r);
    ASSERT_EQ(r.nError, 0);
    ASSERT_EQ(a.CountClears(), 2);
    EXPECT_STREQ(a.ClearAt(0), "<b>&amp;</b>");
    EXPECT_STREQ(a.ClearOpenAt(0), "<![CDATA[");
    EXPECT_STREQ(a.ClearCloseAt(0), "]]>");
    EXPECT_STREQ(a.ClearAt(1), "<i>&x;</i>");
    EXPECT_EQ(a.CountChildren(), 0);

    // A DOCTYPE with an internal subset ends at "]>"; it keeps the top node.
    const XMLNode top = Parse("<!DOCTYPE r [<!ENTITY e \"v\">]>\n<r/>", r);
    ASSERT_EQ(r.nError, 0);
    EXPECT_EQ(top.Name(), nullptr);
    EXPECT_STREQ(top.ClearAt(0), " r [<!ENTITY e \"v\">");
    EXPECT_STREQ(top.ClearCloseAt(0), "]>");
    EXPECT_STREQ(Parse("<!DOCTYPE r>\n<r/>", r, "R").Name(), "r");
}

TEST_F(XmlParse, FirstTagRule)
{
    XmlResults r;
    // A leading declaration holds the document.
    XMLNode n = Parse("<?xml version=\"1.0\" encoding='UTF-8'?>\n<Tables><x/></Tables>", r);
    ASSERT_EQ(r.nError, 0);
    EXPECT_TRUE(n.IsDeclaration());
    EXPECT_STREQ(n.Name(), "xml");
    EXPECT_EQ(n.CountAttributes(), 2) << "the trailing '?' is no attribute";
    EXPECT_STREQ(n.FindAttribute("encoding"), "UTF-8");
    n = Parse("<?xml version=\"1.0\"?>\n<Tables><x/></Tables>", r, "tables");
    EXPECT_STREQ(n.Name(), "Tables");
    EXPECT_TRUE(n.Parent().IsEmpty()) << "nothing else holds the declaration";

    // Wrapper element, several top-level elements, unquoted declaration value.
    EXPECT_STREQ(Parse("<w><a/><Tables/></w>", r, "Tables").Name(), "Tables");
    n = Parse("<a/><HexFile>QUJD</HexFile>", r, "HexFile");
    EXPECT_STREQ(n.TextAt(0), "QUJD");
    EXPECT_STREQ(Parse("<?xml version=1.0?><r/>", r).FindAttribute("version"), "1.0");
    // Only direct children count.
    EXPECT_TRUE(Parse("<w><x><Tables/></x></w>", r, "Tables").IsEmpty());
    EXPECT_EQ(r.nError, eXmlFirstTagNotFound);

    // A nested declaration ends at its '>'.
    n = Parse("<r><?pi a=\"1\"?><x/></r>", r);
    ASSERT_EQ(n.CountChildren(), 2);
    EXPECT_TRUE(n.ChildAt(0).IsDeclaration());

    // Text without elements: a warning and the top node with the text.
    n = Parse("just text", r);
    EXPECT_EQ(r.nError, eXmlNoXmlTag);
    EXPECT_EQ(n.Name(), nullptr);
    EXPECT_STREQ(n.TextAt(0), "just text");
}

TEST_F(XmlParse, LookUps)
{
    XmlResults r;
    const XMLNode t = Parse("<t><param name=\"a\">1</param><x/>"
                            "<PARAM name=\"b\" NAME=\"c\">2</PARAM>"
                            "<param Name=\"d\" flag v=' 0x1F' m=\"-7\" o=\"010\">3</param></t>",
                            r);
    ASSERT_EQ(r.nError, 0);
    EXPECT_EQ(t.CountChildren("Param"), 3);
    std::string seen;
    int pos = 0;
    for (XMLNode p = t.FindChild("param", &pos); !p.IsEmpty(); p = t.FindChild("param", &pos))
        seen += std::string(p.TextAt(0)) + "@" + std::to_string(pos) + " ";
    EXPECT_EQ(seen, "1@1 2@3 3@4 ");

    EXPECT_STREQ(t.FindChildWithAttribute("param", "name", "C").TextAt(0), "2");
    EXPECT_STREQ(t.FindChildWithAttribute("param", "flag").TextAt(0), "3");
    EXPECT_TRUE(t.FindChildWithAttribute("param", "flag", "").IsEmpty());
    pos = 2;
    EXPECT_STREQ(t.FindChildWithAttribute("param", "name", nullptr, &pos).TextAt(0), "2");
    EXPECT_EQ(pos, 3);

    const XMLNode two = t.ChildAt(2);
    pos = 0;
    EXPECT_STREQ(two.FindAttribute("name", &pos), "b");
    EXPECT_STREQ(two.FindAttribute("name", &pos), "c");
    EXPECT_EQ(two.FindAttribute("name", &pos), nullptr);

    const XMLNode d = t.ChildAt(3);
    EXPECT_EQ(ReadIntAttribute(d, "v"), 31);
    EXPECT_EQ(ReadIntAttribute(d, "m"), -7);
    EXPECT_EQ(ReadIntAttribute(d, "o"), 8);
    EXPECT_EQ(ReadIntAttribute(d, "flag"), 0);
    EXPECT_EQ(ReadIntAttribute(d, "none"), 0);
    EXPECT_EQ(ReadChildText(t, "PARAM"), "1");
    EXPECT_EQ(ReadChildText(t, "x"), "");

    // Out of range and empty handles answer, never fail.
    EXPECT_EQ(t.TextAt(0), nullptr);
    EXPECT_TRUE(t.ChildAt(4).IsEmpty());
    EXPECT_TRUE(t.ChildAt(-1).IsEmpty());
    const XMLNode& e = XMLNode::Empty();
    EXPECT_EQ(e.CountChildren("x"), 0);
    EXPECT_TRUE(e.FindChild("x").IsEmpty());
    EXPECT_EQ(e.Name(), nullptr);
    EXPECT_EQ(e.TextAt(0), nullptr);
    EXPECT_EQ(ReadIntAttribute(e, "x"), 0);
}

TEST_F(XmlParse, HandlesOutliveTheirDocument)
{
    XMLNode leaf;
    {
        XmlResults r;
        XMLNode doc = Parse("<a><b><c>deep</c></b></a>", r);
        leaf = doc.FindChild("b").FindChild("c");
        EXPECT_STREQ(leaf.Parent().Name(), "b");
        XMLNode copy = doc;
        copy = leaf; // overwriting drops one reference to a, not the node
        EXPECT_STREQ(doc.Name(), "a");
    }
    EXPECT_STREQ(leaf.TextAt(0), "deep");
    EXPECT_TRUE(leaf.Parent().IsEmpty()) << "the freed parent is unlinked";
}

TEST_F(XmlParse, DeepestTreeTheBoundAllows)
{
    constexpr int kDepth = kXmlMaxItems - 1; // and one text
    std::string open, close;
    for (int i = 0; i < kDepth; ++i) {
        open += "<e>";
        close += "</e>";
    }
    XmlResults r;
    XMLNode n = Parse(open + "x" + close, r);
    ASSERT_EQ(r.nError, 0);
    int depth = 1;
    while (n.CountChildren() == 1) {
        n = n.ChildAt(0);
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    EXPECT_STREQ(n.TextAt(0), "x");
    n = XMLNode();

    n = Parse(open, r);
    EXPECT_EQ(r.nError, eXmlUnmatchedEndTagWarning);
    EXPECT_EQ(r.nColumn, 3 * kDepth + 1);
    n = Parse(open + "</x>", r);
    EXPECT_EQ(r.nError, eXmlUnmatchedEndTag);
    EXPECT_TRUE(n.IsEmpty());
    // One item more is refused where it starts.
    n = Parse(open + "x<e/>" + close, r);
    EXPECT_EQ(r.nError, eXmlTooManyItems);
    EXPECT_EQ(r.nColumn, 3 * kDepth + 3); // the name of the extra element
    EXPECT_TRUE(n.IsEmpty());
}

// Only the complete file may parse cleanly; every shorter cut ends with a code.
TEST_F(XmlParse, TruncatedTableAtEveryLength)
{
    std::string doc = ReadFile(NX_TEST_DATA "/xml/table.xml");
    while (!doc.empty() && isspace(static_cast<unsigned char>(doc.back())))
        doc.pop_back();
    ASSERT_GT(doc.size(), 500u);
    for (size_t n = 0; n < doc.size(); ++n) {
        XmlResults r;
        ParseBuffer(doc.substr(0, n).c_str(), "ParameterTables", &r);
        ASSERT_NE(r.nError, 0) << "cut at " << n;
    }
    XmlResults r;
    const XMLNode t = ParseBuffer(doc.c_str(), "ParameterTables", &r);
    ASSERT_EQ(r.nError, 0);
    EXPECT_EQ(ReadChildText(t, "Version"), "1.2 & patch 3");
    const XMLNode entry = t.FindChild("Table_Component_Parameterset").FindChild("Entry");
    EXPECT_STREQ(entry.FindChildWithAttribute("param", "name", "Component").TextAt(0),
                 "Heater <top>");
    EXPECT_EQ(ReadIntAttribute(t.FindChild("Table_Component_Parameterset"), "channel"), 2);
}

TEST_F(XmlParse, ErrorTexts)
{
    EXPECT_STREQ(XmlErrorText(0), "No error");
    EXPECT_STREQ(XmlErrorText(11), "Error: First Tag not found");
    EXPECT_STREQ(XmlErrorText(13),
                 "Error: Character code above 255 is forbidden in MultiByte char mode.");
    EXPECT_STREQ(XmlErrorText(20), "Error: Base64 decode output buffer is too small");
    EXPECT_STREQ(XmlErrorText(21), "Unknown");
    EXPECT_STREQ(XmlErrorText(-1), "Unknown");
}

} // namespace
