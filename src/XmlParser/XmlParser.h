// A small non-validating XML reader: a file or a zero-terminated text becomes
// a tree of elements with attributes, texts and clear sections.
//
// The encoding and the three flags below are process-wide and not locked:
// the reader is used from one thread at a time.
#pragma once

#include "XmlParser/XMLNode.h"

#include <cstddef>

// Error codes; 1, 2, 17, 19 and 102 are warnings (XmlIsWarning), every other
// non-zero code of a parse yields an empty result. Codes from 101 on bound
// what a hostile file can make the reader hold.
enum XmlError
{
    eXmlNoError = 0,
    eXmlUnmatchedEndTagWarning = 1,
    eXmlNoXmlTag = 2,
    eXmlNoData = 3,
    eXmlMissingStartTagName = 4,
    eXmlMissingEndTagName = 5,
    eXmlUnmatchedEndTag = 6,
    eXmlUnmatchedClearTag = 7,
    eXmlUnexpectedToken = 8,
    eXmlNoElements = 9,
    eXmlFileNotFound = 10,
    eXmlFirstTagNotFound = 11,
    eXmlUnknownEntity = 12,
    eXmlCharCodeAbove255 = 13,
    eXmlCharConversion = 14,
    eXmlFileOpenForWrite = 15,
    eXmlFileWrite = 16,
    eXmlBase64Length = 17,
    eXmlBase64IllegalChar = 18,
    eXmlBase64Truncated = 19,
    eXmlBase64BufferTooSmall = 20,
    eXmlTooManyItems = 101, // more than kXmlMaxItems
    eXmlTextAfterNul = 102, // a zero byte ends the text before the end of the file
    eXmlFileTooLarge = 103, // more than kMaxInputBytes
    eXmlNotRegularFile = 104,
};

// The warnings: a parse that ends with one of these still gives its tree.
constexpr bool XmlIsWarning(int code)
{
    return code == eXmlUnmatchedEndTagWarning || code == eXmlNoXmlTag || code == eXmlBase64Length ||
           code == eXmlBase64Truncated || code == eXmlTextAfterNul;
}

// Elements, attributes, texts and clear sections one parse may hold. Each
// costs the tree about a hundred bytes or more; a parameter table for all
// 255 channels holds far fewer.
constexpr int kXmlMaxItems = 1 << 18;

// Encoding codes used by SetGlobalOptions and GuessEncoding.
enum XmlEncoding
{
    eXmlEncUnknown = 0,
    eXmlEncUtf8 = 1,
    eXmlEncSingleByte = 2,
    eXmlEncShiftJis = 3,
    eXmlEncGb2312 = 4,
    eXmlEncBig5 = 5,
    eXmlEncGbk = 6
};

struct XmlResults
{
    int nError = 0;  // XmlError
    int nLine = 0;   // from 1; 0 where no position applies
    int nColumn = 0; // from 1, characters (a multi-byte character counts once)
};

struct XmlGlobalOptions
{
    int nEncoding = eXmlEncUtf8;
    bool bSkipBom = true;        // skip EF BB BF at the start of a file
    bool bDropWhiteSpace = true; // trim texts, drop empty ones
    bool bRemoveComments = true; // join "text <!-- c --> text" into one text
};

// Parses a zero-terminated text (null gives code 9). firstTag may be null or
// empty; otherwise the result is the element of that name: the document
// element itself, or the first child of that name of the (single) top
// element or of the nameless top node (code 11 when none). results may be
// null. Texts are copied, so text may be released afterwards.
XMLNode ParseBuffer(const char* text, const char* firstTag = nullptr,
                    XmlResults* results = nullptr);

// As ParseBuffer for a buffer of size bytes (a zero byte behind them) that
// may hold zero bytes: anything but white space and zeros after the first
// zero byte is text the reader never saw, reported as code 102 at that zero
// byte (a warning: the tree of what was read is still returned).
XMLNode ParseBuffer(const char* text, size_t size, const char* firstTag, XmlResults* results);

// Reads a whole file and parses it with ParseBuffer; a leading UTF-8 byte
// order mark is skipped when the flag is on. Code 10: cannot open; 3: empty;
// 104: not a regular file; 103: larger than kMaxInputBytes.
XMLNode ParseDocumentFile(const char* path, const char* firstTag = nullptr,
                          XmlResults* results = nullptr);

// Message text of a code; "Unknown" for codes outside the table.
const char* XmlErrorText(int code);

// Stores the flags, then the encoding when it is 1 to 6. Returns true
// (failure) and keeps the encoding for any other code.
bool SetGlobalOptions(int encoding, bool skipBom = true, bool dropWhiteSpace = true,
                      bool removeComments = true);
XmlGlobalOptions GetGlobalOptions();

// Guesses the encoding of the first bytes of a file; 0 when it cannot tell
// (fewer than 25 bytes). With useDeclaration an encoding="..." within the
// first 200 bytes decides.
int GuessEncoding(const unsigned char* bytes, size_t count, bool useDeclaration);
