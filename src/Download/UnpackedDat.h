// A .dat download file unpacked into its two parts on disk: the XML document
// and the Intel HEX file its "HexFile" element decodes to.
#pragma once

#include "Download/TempFile.h"

#include <string>

// Owns both temporary files: they are removed with the object, on every path.
class UnpackedDat
{
public:
    // Unpacks file (gzip-compressed or plain XML). Raises NxException with
    // the reader's or the decoder's text; the files made so far are removed.
    explicit UnpackedDat(const std::string& file);
    UnpackedDat(const UnpackedDat&) = delete;
    UnpackedDat& operator=(const UnpackedDat&) = delete;

    const std::string& HexPath() const { return m_Hex.Path(); }
    const std::string& XmlPath() const { return m_Xml.Path(); }

private:
    TempFile m_Hex{"hex"};
    TempFile m_Xml{"xml"};
};
