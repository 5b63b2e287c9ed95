#include "Download/UnpackedDat.h"

#include "NxException.h"
#include "Utils.h"
#include "XmlParser/XMLParserBase64Tool.h"
#include "XmlParser/XmlParser.h"
#include "zlibutils.h"

#include <algorithm>
#include <cstddef>

namespace {

// Far more than a download file of firmware and tables holds.
constexpr size_t kMaxDatTags = size_t{1} << 20;

} // namespace

UnpackedDat::UnpackedDat(const std::string& file)
{
    TScopedMallocBuffer<char> text;
    const long n = ReadGzipFile(file.c_str(), text);
    if (n == kGzipTooLarge || n == kGzipReadError || n == kGzipNotRegular)
        ThrowNx("%s: %s", GzipErrorText(n), file.c_str());
    // Each element costs the reader a few hundred bytes: a small packed file
    // of millions of tags would otherwise unpack into gigabytes.
    const size_t tags =
        n > 0 ? static_cast<size_t>(std::count(text.get(), text.get() + n, '<')) : 0;
    if (tags > kMaxDatTags)
        ThrowNx("The download file holds too many XML elements (%zu, at most %zu): %s", tags,
                kMaxDatTags, file.c_str());
    if (n > 0)
        m_Xml.Write(text.get(), static_cast<size_t>(n));
    m_Xml.Close();

    // A file that could not be opened has no data: the parser names that.
    XmlResults res;
    XMLNode hex = n > 0 ? ParseBuffer(text.get(), static_cast<size_t>(n), "HexFile", &res)
                        : ParseBuffer(text.get(), "HexFile", &res);
    text.reset(); // the tree holds copies; a large document need not stay twice in memory
    if (res.nError != eXmlNoError)
        throw NxException(XmlErrorText(res.nError));
    if (hex.IsEmpty())
        throw NxException(XmlErrorText(eXmlFirstTagNotFound));
    const char* encoded = hex.TextAt(0);
    if (!encoded)
        throw NxException("The download file holds no firmware: its HexFile element is empty");

    XMLParserBase64Tool base64;
    size_t size = 0;
    int err = 0;
    const unsigned char* bytes = base64.Decode(encoded, &size, &err);
    if (err != eXmlNoError)
        throw NxException(XmlErrorText(err));
    if (bytes && size > 0)
        m_Hex.Write(bytes, static_cast<size_t>(size));
    m_Hex.Close();
}
