// Raw bytes into the XML reader and the Base64 decoder.
#include "FuzzFile.h"
#include "NxUi.h"
#include "XmlParser/XMLParserBase64Tool.h"
#include "XmlParser/XmlParser.h"
#include "Xmlutils.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte picks the encoding, as a declaration would.
    SetGlobalOptions(size ? 1 + data[0] % 6 : 1, true, size > 1 && (data[1] & 1),
                     size > 1 && (data[1] & 2));
    const std::string text(reinterpret_cast<const char*>(data), size); // adds the zero byte
    XmlResults r;
    XMLNode n = ParseBuffer(text.c_str(), size > 2 && (data[2] & 1) ? "HexFile" : nullptr, &r);
    XMLParserBase64Tool tool;
    tool.Decode(text.c_str());
    if (const char* t = n.TextAt(0))
        tool.Decode(t);

    // The same bytes as a file: encoding guess, byte order mark, report.
    if (size > 2 && (data[2] & 2)) {
        static QuietSink quiet;
        SetNxMessages(&quiet);
        const std::string& path = FuzzFile(data, size, ".xml");
        XmlResults fr;
        XMLNode doc = OpenDocument(path.c_str(), "ParameterTables", true, &fr);
        if (!doc.IsEmpty() && fr.nError != eXmlNoError && !XmlIsWarning(fr.nError))
            __builtin_trap(); // only success and warnings give a tree
        (void)XmlReportText(path.c_str(), "ParameterTables", fr);
    }
    return 0;
}
