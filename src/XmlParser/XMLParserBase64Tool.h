// Decoder for Base64 byte data carried as element text.
#pragma once

#include <cstddef>

class XMLParserBase64Tool
{
public:
    XMLParserBase64Tool() = default;
    ~XMLParserBase64Tool();
    XMLParserBase64Tool(const XMLParserBase64Tool&) = delete;
    XMLParserBase64Tool& operator=(const XMLParserBase64Tool&) = delete;

    // Decodes a zero-terminated Base64 text (A-Z a-z 0-9 + /, '=' fill,
    // tab/LF/CR/blank skipped anywhere) into the tool's buffer and returns
    // it, or null. The buffer stays owned by the tool and is overwritten by
    // the next Decode; it holds one spare byte beyond the data.
    //
    // *pSize (optional) receives the number of valid bytes in the buffer.
    // *pError (optional) receives 0 or an XmlError code:
    //   17 length not a multiple of 4 (warning; decoding goes on),
    //   18 illegal character (null result),
    //   19 truncated (warning; the bytes decoded so far are returned),
    //   20 a symbol would write past the computed size (null result).
    // Empty input, or input that decodes to no bytes, gives null.
    unsigned char* Decode(const char* text, size_t* pSize = nullptr, int* pError = nullptr);

    // Expected output size of a Base64 text, or 0 with *pError = 18 for an
    // illegal character; *pError is 17 when the symbol count is not a
    // multiple of 4, otherwise 0.
    static size_t DecodedSize(const char* text, int* pError = nullptr);

private:
    unsigned char* m_pBuf = nullptr;
    size_t m_nBufSize = 0;
};
