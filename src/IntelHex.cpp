#include "IntelHex.h"

#include "InputFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// A line is read 127 characters at a time; the rest of a longer line comes as
// the next line and then fails on its missing ':'.
constexpr int kLineBuf = 128;

struct FileCloser
{
    void operator()(FILE* f) const { std::fclose(f); }
};

// Value of each hexadecimal character, -1 for every other byte.
struct HexTable
{
    int8_t v[256];
    constexpr HexTable() : v()
    {
        for (int c = 0; c < 256; ++c)
            v[c] = -1;
        for (int c = 0; c < 10; ++c)
            v['0' + c] = static_cast<int8_t>(c);
        for (int c = 0; c < 6; ++c) {
            v['A' + c] = static_cast<int8_t>(10 + c);
            v['a' + c] = static_cast<int8_t>(10 + c);
        }
    }
};
constexpr HexTable kHex;

int HexDigit(char c)
{
    return kHex.v[static_cast<unsigned char>(c)];
}

// A pair converts like strtoul on two characters: digits up to the first
// non-hexadecimal character count, the rest is dropped.
uint8_t HexPair(const char* p)
{
    const int hi = HexDigit(p[0]);
    if (hi < 0)
        return 0;
    const int lo = HexDigit(p[1]);
    if (lo < 0)
        return static_cast<uint8_t>(hi);
    return static_cast<uint8_t>(hi << 4 | lo);
}

uint32_t BigEndian(const HexRecord& rec, int n)
{
    // Bytes the record does not carry count as 0 rather than its checksum.
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | (i < rec.ByteCount ? rec.Data[i] : 0);
    return v;
}

// Decodes one line (already cut at CR/LF) into rec.
int ParseLine(const char* text, size_t len, HexRecord& rec)
{
    if (len == 0 || text[0] != ':')
        return IH_INVALID_HEADER;
    const char* hex = text + 1;
    const size_t pairs = (len - 1) / 2;
    if (pairs < 5) // header and checksum at least
        return IH_INVALID_HEADER;

    uint8_t header[4];
    for (int i = 0; i < 4; ++i)
        header[i] = HexPair(hex + 2 * i);
    const size_t rest = static_cast<size_t>(header[0]) + 1;
    // The byte count must not lead past the line or the record buffer.
    if (4 + rest > pairs || rest > HexRecord::kMaxBytes)
        return IH_INVALID_HEADER;

    unsigned sum = header[0] + header[1] + header[2] + header[3];
    for (size_t i = 0; i < rest; ++i) {
        rec.Data[i] = HexPair(hex + 2 * (4 + i));
        sum += rec.Data[i];
    }
    if ((sum & 0xFF) != 0)
        return IH_CHECKSUM;
    rec.ByteCount = header[0];
    rec.Address = static_cast<uint16_t>(header[1] << 8 | header[2]);
    rec.RecordType = header[3];
    return IH_SUCCESS;
}

// Applies one checked record; IH_EOF_RECORD ends the file.
int Dispatch(HexRecord& rec, uint32_t& upper, IHfEvt& sink)
{
    switch (rec.RecordType) {
    case IH_REC_DATA:
        if (rec.ByteCount > 32)
            return IH_DATA_TOO_LONG;
        rec.AbsAddress = upper + rec.Address;
        sink.OnDataRecord(rec);
        return IH_SUCCESS;
    case IH_REC_EOF:
        sink.OnEndOfFile(rec);
        return IH_EOF_RECORD;
    case IH_REC_SEGMENT:
    case IH_REC_LINEAR:
        if (rec.ByteCount > 2)
            return IH_DATA_TOO_LONG;
        upper = BigEndian(rec, 2) << (rec.RecordType == IH_REC_SEGMENT ? 4 : 16);
        rec.AbsAddress = upper;
        sink.OnAddressRecord(rec);
        return IH_SUCCESS;
    case IH_REC_START_LINEAR:
        if (rec.ByteCount > 4)
            return IH_DATA_TOO_LONG;
        rec.AbsAddress = BigEndian(rec, 4); // the upper address stays
        sink.OnAddressRecord(rec);
        return IH_SUCCESS;
    default:
        return IH_INVALID_TYPE;
    }
}

// Hands out lines as fgets into a kLineBuf buffer would: up to and including
// the line feed, at most kLineBuf - 1 characters at a time. Reads the file in
// large pieces, since a 16 MiB image is some 45 MB of text.
class LineReader
{
public:
    explicit LineReader(FILE* file) : m_File(file), m_Buf(new char[kChunk]) {}

    bool TooLarge() const { return m_bTooLarge; }

    // False at the end of the file or on a read error.
    bool Next(const char*& text, size_t& len)
    {
        if (m_End - m_Pos < kLineBuf && !m_bDone)
            Refill();
        const size_t avail = std::min<size_t>(m_End - m_Pos, kLineBuf - 1);
        if (avail == 0)
            return false;
        text = m_Buf.get() + m_Pos;
        const void* lf = std::memchr(text, '\n', avail);
        const size_t take =
            lf ? static_cast<size_t>(static_cast<const char*>(lf) - text) + 1 : avail;
        m_Pos += take;
        // The line ends at its first CR, LF or zero byte.
        len = 0;
        while (len < take && text[len] != '\r' && text[len] != '\n' && text[len] != '\0')
            ++len;
        return true;
    }

private:
    static constexpr size_t kChunk = 1 << 16;

    void Refill()
    {
        const size_t rest = m_End - m_Pos;
        std::memmove(m_Buf.get(), m_Buf.get() + m_Pos, rest);
        m_Pos = 0;
        m_End = rest;
        while (m_End < kChunk && !m_bDone) {
            const size_t n = std::fread(m_Buf.get() + m_End, 1, kChunk - m_End, m_File);
            m_End += n;
            m_nTotal += n;
            if (n == 0)
                m_bDone = true; // end of file or read error: both end the input
            // A file that grew past the bound after it was opened.
            if (m_nTotal > kMaxInputBytes) {
                m_bTooLarge = true;
                m_bDone = true;
            }
        }
    }

    FILE* m_File;
    std::unique_ptr<char[]> m_Buf;
    size_t m_Pos = 0;
    size_t m_End = 0;
    bool m_bDone = false;
    bool m_bTooLarge = false;
    uint64_t m_nTotal = 0;
};

} // namespace

int ReadIntelHexFile(const char* path, IHfEvt& sink, int& line)
{
    InputFileError err;
    std::unique_ptr<FILE, FileCloser> file(FOpenInputFile(path, kMaxInputBytes, err));
    if (!file)
        return err == InputFileError::NotRegular ? IH_NOT_REGULAR
               : err == InputFileError::TooLarge ? IH_TOO_LARGE
                                                 : IH_OPEN_FAILED;
    LineReader reader(file.get());
    uint32_t upper = 0;
    HexRecord rec{};
    for (;;) {
        ++line;
        const char* text;
        size_t len;
        if (!reader.Next(text, len)) {
            if (reader.TooLarge()) {
                line = 0;
                return IH_TOO_LARGE;
            }
            return IH_NO_EOF;
        }
        int rc = ParseLine(text, len, rec);
        if (rc == IH_SUCCESS)
            rc = Dispatch(rec, upper, sink);
        if (rc == IH_EOF_RECORD)
            return IH_SUCCESS;
        if (rc != IH_SUCCESS)
            return rc;
    }
}

const char* IntelHexErrorText(int code)
{
    switch (code) {
    case IH_SUCCESS:
        return "Success";
    case IH_ERROR:
        return "Error";
    case IH_CHECKSUM:
        return "Checksum error";
    case IH_INVALID_HEADER:
        return "Not a IntelHex-File (invalid record header)";
    case IH_DATA_TOO_LONG:
        return "Data too long";
    case IH_NO_EOF:
        return "File end before EOF record";
    case IH_OPEN_FAILED:
        return "File open failed";
    case IH_INVALID_TYPE:
        return "Invalid record type";
    case IH_EOF_RECORD:
        return "End of file record";
    case IH_NOT_REGULAR:
        return "Not a regular file";
    case IH_TOO_LARGE:
        return "File larger than 64 MiB";
    case IH_TOO_MANY_BLOCKS:
        return "Image larger than 16 MiB or 131072 blocks";
    default:
        return "Undefined IntelHex error";
    }
}
