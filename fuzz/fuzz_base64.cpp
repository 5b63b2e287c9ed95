// Text into the Base64 decoder: the size it predicts must bound what it writes.
#include "XmlParser/XMLParserBase64Tool.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size); // zero byte behind
    int sizeError = 0;
    const size_t expected = XMLParserBase64Tool::DecodedSize(text.c_str(), &sizeError);
    XMLParserBase64Tool tool;
    size_t n = 12345;
    int err = -1;
    const unsigned char* out = tool.Decode(text.c_str(), &n, &err);
    if (err != 0 && err != 17 && err != 18 && err != 19 && err != 20)
        __builtin_trap();
    if (out) {
        if (err == 18 || err == 20 || n == 0 || n > expected)
            __builtin_trap();
        volatile unsigned char sink = 0;
        for (size_t i = 0; i <= n; ++i) // the spare byte is part of the contract
            sink = sink ^ out[i];
    }
    if (sizeError == 18 && out)
        __builtin_trap();
    // A second decode reuses the buffer.
    tool.Decode(text.c_str() + size / 2);
    return 0;
}
