#include "IntelHex.h"

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

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
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

} // namespace

int ReadIntelHexFile(const char* path, IHfEvt& sink, int& line)
{
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file)
        return IH_OPEN_FAILED;
    // Large files: fewer read calls.
    std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 16);

    uint32_t upper = 0;
    char buf[kLineBuf];
    HexRecord rec{};
    for (;;) {
        ++line;
        if (!std::fgets(buf, sizeof buf, file.get()))
            return IH_NO_EOF;
        // An embedded zero byte ends the line as well.
        const size_t len = std::strcspn(buf, "\r\n");
        int rc = ParseLine(buf, len, rec);
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
    default:
        return "Undefined IntelHex error";
    }
}
