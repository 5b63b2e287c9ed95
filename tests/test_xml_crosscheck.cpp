// Cross-check: for well-formed documents our tree agrees with Python's
// xml.etree on element names, attributes and (trimmed) texts.
#include "Xmlutils.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const kDumpScript = R"PY(
import sys, xml.etree.ElementTree as ET
out = []
def dump(e):
    out.append("E " + e.tag)
    for k, v in e.attrib.items():
        out.append("A %s=%s" % (k, v))
    for t in [e.text] + [c.tail for c in e]:
        t = (t or "").strip(" \t\r\n")
        if t:
            out.append("T " + t)
    for c in e:
        dump(c)
    out.append("/")
dump(ET.parse(sys.argv[1]).getroot())
sys.stdout.buffer.write(("\n".join(out) + "\n").encode("utf-8"))
)PY";

// The same walk over our tree, with an explicit stack like the reader's.
std::string Dump(const XMLNode& root)
{
    std::string out;
    struct Frame
    {
        XMLNode node;
        int next;
    };
    std::vector<Frame> stack{{root, -1}};
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < 0) {
            out += std::string("E ") + f.node.Name() + "\n";
            for (int i = 0; i < f.node.CountAttributes(); ++i)
                out += std::string("A ") + f.node.AttributeNameAt(i) + "=" +
                       (f.node.AttributeValueAt(i) ? f.node.AttributeValueAt(i) : "") + "\n";
            for (int i = 0; i < f.node.CountTexts(); ++i)
                out += std::string("T ") + f.node.TextAt(i) + "\n";
            f.next = 0;
        }
        if (f.next < f.node.CountChildren()) {
            XMLNode child = f.node.ChildAt(f.next++);
            stack.push_back({child, -1});
        } else {
            out += "/\n";
            stack.pop_back();
        }
    }
    return out;
}

std::string RunPython(const std::string& script, const std::string& doc)
{
    const std::string cmd = "python3 '" + script + "' '" + doc + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return "popen failed";
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return pclose(p) == 0 ? out : "python failed: " + out;
}

TEST(XmlCrossCheck, AgreesWithPythonElementTree)
{
    SetGlobalOptions(eXmlEncUtf8, true, true, true);
    TempFolder dir("xmlcross");
    const std::string script = dir.Write("dump.py", kDumpScript);

    const std::string docs[] = {
        "<r/>",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root a=\"1\" b='two words'>\n"
        "  <child>text</child>\n  <child x=\"&lt;&amp;&gt;\"/>\n</root>\n",
        "<a>lead<b>inner</b>tail &amp; more<c/>last</a>",
        "<doc>\n<!-- a comment between elements -->\n<p q=\"&quot;&apos;\">&#65;&#x42;C</p>"
        "<p>Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC</p></doc>",
        "<r   k = \"v\"   ><e\n   attr=\"x\"\n/></r>",
        "<l1><l2><l3><l4><l5>deep</l5></l4></l3></l2></l1>",
        "<T><A>1</A><a>2</a><A/></T>",
    };
    int i = 0;
    for (const std::string& doc : docs) {
        SCOPED_TRACE(doc);
        const std::string path = dir.Write("cross_" + std::to_string(i++) + ".xml", doc);
        XmlResults r;
        XMLNode ours = ParseDocumentFile(path.c_str(), nullptr, &r);
        ASSERT_EQ(r.nError, 0);
        if (ours.IsDeclaration())
            ours = ours.ChildAt(0);
        EXPECT_EQ(Dump(ours), RunPython(script, path));
    }
    // The checked-in parameter table too.
    const char* table = NX_TEST_DATA "/xml/table.xml";
    EXPECT_EQ(Dump(ParseDocumentFile(table, "ParameterTables")), RunPython(script, table));
}

} // namespace
