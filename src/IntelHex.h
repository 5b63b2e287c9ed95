// Intel HEX reader: checks every record of a file and hands it to a sink.
#pragma once

#include <cstdint>

// Result codes of ReadIntelHexFile; IntelHexErrorText gives their texts.
enum IntelHexResult : int
{
    IH_SUCCESS = 0,
    IH_ERROR = -1,
    IH_CHECKSUM = -2,
    IH_INVALID_HEADER = -3,
    IH_DATA_TOO_LONG = -4,
    IH_NO_EOF = -5,
    IH_OPEN_FAILED = -6,
    IH_INVALID_TYPE = -7,
    IH_EOF_RECORD = -8,       // internal: reported as IH_SUCCESS
    IH_NOT_REGULAR = -9,      // a FIFO, device or folder: nothing is read
    IH_TOO_LARGE = -10,       // more than kMaxInputBytes
    IH_TOO_MANY_BLOCKS = -11, // the memory image's bound (MemoryImage)
};

enum IntelHexRecordType : uint8_t
{
    IH_REC_DATA = 0,
    IH_REC_EOF = 1,
    IH_REC_SEGMENT = 2,
    IH_REC_LINEAR = 4,
    IH_REC_START_LINEAR = 5,
};

// One decoded record.
struct HexRecord
{
    static constexpr int kMaxBytes = 64; // data and checksum after the header

    uint8_t ByteCount;  // data bytes
    uint16_t Address;   // 16-bit load offset, host order
    uint8_t RecordType; // IntelHexRecordType
    // ByteCount data bytes, then the record's checksum byte.
    uint8_t Data[kMaxBytes];
    // Data: upper address + load offset. Types 2 and 4: the new upper
    // address. Type 5: the 32-bit start address.
    uint32_t AbsAddress;
};

// Receives the records that passed all checks, in file order.
class IHfEvt
{
public:
    virtual ~IHfEvt() = default;
    virtual void OnDataRecord(const HexRecord& rec) = 0;    // type 0
    virtual void OnAddressRecord(const HexRecord& rec) = 0; // types 2, 4, 5
    virtual void OnEndOfFile(const HexRecord& rec) = 0;     // type 1
};

// Reads path up to its end-of-file record and returns an IntelHexResult.
// line must be 0 on entry; it is incremented before each line is read, so on
// failure it holds the 1-based number of the offending line (lines + 1 for
// IH_NO_EOF, 0 for IH_OPEN_FAILED, IH_NOT_REGULAR and IH_TOO_LARGE). Only
// regular files of at most kMaxInputBytes are read. Records before a failure have already
// reached the sink. A line that announces more bytes than it holds fails with
// IH_INVALID_HEADER; nothing past the line is ever read.
int ReadIntelHexFile(const char* path, IHfEvt& sink, int& line);

// Text for a result code; "Undefined IntelHex error" for an unknown one.
const char* IntelHexErrorText(int code);
