#include "XmlParser/XMLParserBase64Tool.h"

#include "LargeBuffer.h"

#include "XmlParser/XmlParser.h"

#include <array>
#include <cstdlib>
#include <new>

namespace {

constexpr signed char kWhite = -1;
constexpr signed char kFill = -2;
constexpr signed char kBad = -3;

constexpr std::array<signed char, 256> MakeSymbolTable()
{
    std::array<signed char, 256> t{};
    for (auto& v : t)
        v = kBad;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    t['='] = kFill;
    t[' '] = t['\t'] = t['\n'] = t['\r'] = kWhite;
    return t;
}
constexpr std::array<signed char, 256> kSymbols = MakeSymbolTable();

inline signed char Symbol(char c)
{
    return kSymbols[static_cast<unsigned char>(c)];
}

} // namespace

XMLParserBase64Tool::~XMLParserBase64Tool()
{
    std::free(m_pBuf);
}

size_t XMLParserBase64Tool::DecodedSize(const char* text, int* pError)
{
    int err = eXmlNoError;
    size_t count = 0;
    size_t trailingFill = 0; // '=' at the very end, white space aside
    for (const char* p = text ? text : ""; *p; ++p) {
        const signed char s = Symbol(*p);
        if (s == kWhite)
            continue;
        if (s == kBad) {
            if (pError)
                *pError = eXmlBase64IllegalChar;
            return 0;
        }
        ++count;
        trailingFill = (s == kFill) ? trailingFill + 1 : 0;
    }
    if (count % 4 != 0)
        err = eXmlBase64Length;
    if (pError)
        *pError = err;
    return 3 * (count - trailingFill) / 4;
}

unsigned char* XMLParserBase64Tool::Decode(const char* text, size_t* pSize, int* pError)
{
    int err = eXmlNoError;
    size_t produced = 0;
    auto finish = [&](unsigned char* result) {
        // "Q=" and the like decode to nothing: no buffer, as for empty input.
        if (produced == 0)
            result = nullptr;
        if (pSize)
            *pSize = result ? produced : 0;
        if (pError)
            *pError = err;
        return result;
    };

    const size_t size = DecodedSize(text, &err);
    if (size == 0)
        return finish(nullptr);
    if (m_nBufSize < size + 1) {
        auto* p = static_cast<unsigned char*>(std::realloc(m_pBuf, size + 1));
        if (!p)
            throw std::bad_alloc();
        m_pBuf = p;
        m_nBufSize = size + 1;
        NxAdviseLarge(m_pBuf, m_nBufSize);
    }

    unsigned char* out = m_pBuf;
    const char* p = text;
    for (;;) {
        // Fast path: whole groups of four alphabet symbols with room for three
        // bytes. Each symbol is looked at before the next is read, so the
        // terminating zero (an illegal symbol) stops it in time.
        while (produced + 3 <= size) {
            const signed char a = Symbol(p[0]);
            if (a < 0)
                break;
            const signed char b = Symbol(p[1]);
            if (b < 0)
                break;
            const signed char c = Symbol(p[2]);
            if (c < 0)
                break;
            const signed char d = Symbol(p[3]);
            if (d < 0)
                break;
            const unsigned v = static_cast<unsigned>(a) << 18 | static_cast<unsigned>(b) << 12 |
                               static_cast<unsigned>(c) << 6 | static_cast<unsigned>(d);
            out[produced] = static_cast<unsigned char>(v >> 16);
            out[produced + 1] = static_cast<unsigned char>(v >> 8);
            out[produced + 2] = static_cast<unsigned char>(v);
            produced += 3;
            p += 4;
        }
        // One group of four symbols; symbol i > 0 completes one output byte.
        unsigned bits = 0;
        for (int i = 0; i < 4; ++i) {
            signed char s;
            while ((s = Symbol(*p)) == kWhite)
                ++p;
            if (*p == 0) {
                if (i == 0)
                    return finish(m_pBuf);
                err = eXmlBase64Truncated;
                return finish(m_pBuf);
            }
            if (s == kBad) {
                err = eXmlBase64IllegalChar;
                return finish(nullptr);
            }
            if (s == kFill) {
                if (produced == size)
                    return finish(m_pBuf);
                err = eXmlBase64Truncated;
                return finish(m_pBuf);
            }
            ++p;
            bits = (bits << 6) | static_cast<unsigned>(s);
            if (i == 0)
                continue;
            if (produced >= size) {
                err = eXmlBase64BufferTooSmall;
                return finish(nullptr);
            }
            // After i symbols, 6*(i+1) bits are in; the top 8 new ones form a byte.
            out[produced++] = static_cast<unsigned char>(bits >> (2 * (3 - i)) & 0xFF);
        }
    }
}
