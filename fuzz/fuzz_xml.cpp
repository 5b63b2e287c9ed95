// Raw bytes into the XML reader and the Base64 decoder. The reader's sources
// are compiled in here so that they carry the fuzzer's instrumentation.
#include "../src/XmlParser/XMLNode.cpp"
#include "../src/XmlParser/XMLParserBase64Tool.cpp"
#include "../src/XmlParser/XmlParser.cpp"

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
    return 0;
}
