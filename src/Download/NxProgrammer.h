// Downloads one firmware image into the controller or a channel component:
// the memory image read from an Intel HEX file, its match to a device
// profile, and the command sequences with their pauses and retries.
#pragma once

#include "../IntelHex.h"
#include "IProg.h"
#include "ProgBlock.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class TNxDev;

// How a channel component is programmed; the model name identifies it.
struct DeviceProfile
{
    uint32_t IdentityAddress; // image address of the stored model name; 0 ends the table
    const char* ModelName;    // compared over at most kModelNameLength characters
    uint32_t BlockSize;       // the image is repacked to this size
    uint32_t Flags;           // kProfileErase
    uint32_t PageBase;        // subtracted from block addresses for page numbers
    uint32_t RetryDelay;      // ms between two attempts to send one page
};
constexpr uint32_t kProfileErase = 1; // erase the component's flash first
constexpr size_t kModelNameLength = 32;

// The known component models in matching order (the first match wins),
// closed by a row whose identity address is 0.
extern const DeviceProfile kDeviceProfiles[];

// Pause in ms after every acknowledged page to a component: the environment
// variable "BLKDELAY" read as an integer with automatic base (decimal, 0x
// hexadecimal, leading 0 octal; conversion stops at the first invalid
// character). 0 when unset, invalid or not above 0.
uint32_t BlockDelayMs();

class NxProgrammer : public IHfEvt
{
public:
    static constexpr uint32_t kDefaultBlockSize = 128;
    static constexpr uint32_t kMinBlockSize = 16;
    static constexpr uint32_t kMaxBlockSize = 65536;

    // channel 0: the controller itself; 1 and up: the component on that channel.
    explicit NxProgrammer(int channel);
    ~NxProgrammer() override = default;
    NxProgrammer(const NxProgrammer&) = delete;
    NxProgrammer& operator=(const NxProgrammer&) = delete;

    int GetChannel() const { return m_nChannel; }

    // ---- Memory image ----

    // Discards the image, remembers path and reads it with the current block
    // size. Sets line to 0 first; returns the reader's result code (0 on
    // success) with line at the offending line. After a failure the image
    // holds what was read before the bad line; callers discard it.
    int LoadFile(const char* path, int& line);
    // Block size: a power of two from kMinBlockSize to kMaxBlockSize;
    // anything else returns false and changes nothing. When blocks are loaded
    // the stored file is read again, so blocks are cut at the new size; true
    // when there was nothing to reload or the reload succeeded.
    bool SetBlockSize(uint32_t size);
    uint32_t GetBlockSize() const { return m_nBlockSize; }
    // The file of the last LoadFile.
    const std::string& GetFilePath() const { return m_FilePath; }

    // The block starting at addr (rounded down to the block size); a new
    // zero-filled block appended to the list when there is none yet.
    ProgBlock* FindOrAddBlock(uint32_t addr);
    // The image byte at addr, or null when no block holds that address.
    uint8_t* FindByte(uint32_t addr);
    // As above; available = bytes readable from the returned pointer up to
    // the block's end, the byte itself included (0 when null is returned).
    uint8_t* FindByte(uint32_t addr, size_t& available);

    size_t GetBlockCount() const { return m_Blocks.size(); }
    // Blocks in the order the file first touched them; follow ProgBlock::Next.
    // Null for an empty image. Valid until the next load.
    ProgBlock* FirstBlock() const { return m_pFirst; }
    // True once the file's end-of-file record was read.
    bool HasEndOfFile() const { return m_bEndOfFile; }

    // ---- Matching and download ----

    // Matches the image against kDeviceProfiles (model name stored as 8-bit
    // text or in 16-bit units with the character second, one leading '.'
    // skipped) and, when appName is non-null, against the component's
    // application name; then repacks the image to the row's block size.
    // Names are never read past the end of the block they start in. Raises
    // NxException with the user's message on failure; the profile is kept
    // only on success.
    void IdentifyFile(const char* appName);
    // The row matched by the last successful IdentifyFile, or null.
    const DeviceProfile* GetProfile() const { return m_pProfile; }

    // Runs the download sequence for this programmer's channel on dev and
    // reports to prog (both non-null). Returns true on success; after a
    // failure the message has gone to prog->OnFailure and false is returned.
    // Only NxException is caught; other exceptions reach the caller. The
    // target is left where the failure stopped it.
    bool Download(TNxDev* dev, IProg* prog);

    // 32-bit wrapping sum of the 16-bit little-endian words of the block's data.
    static uint32_t BlockSum(const ProgBlock& block);

    // IHfEvt: collects data records into blocks.
    void OnDataRecord(const HexRecord& rec) override;
    void OnAddressRecord(const HexRecord& rec) override;
    void OnEndOfFile(const HexRecord& rec) override;

private:
    void DownloadController(TNxDev& dev, IProg& prog);
    void DownloadChannel(TNxDev& dev, IProg& prog);
    // The text stored at addr: 8-bit (zero-terminated) when its first byte
    // is printable, else 16-bit units when the second is. Bounded by the end
    // of the block holding addr. False when there is no such text.
    bool ReadStoredName(uint32_t addr, std::string& name);

    void ClearImage();
    // Index slot of the block starting at addr: the one holding it or the
    // empty one where it belongs.
    size_t IndexSlot(uint32_t addr) const;
    void GrowIndex();
    struct IndexEntry
    {
        uint32_t Addr;
        ProgBlock* Block; // null: empty slot
        uint8_t* Data;    // Block->Data(), saving a memory access per record
    };
    // The entry of the block starting at blockAddr, added when missing.
    IndexEntry FindOrAddEntry(uint32_t blockAddr);

    int m_nChannel;
    uint32_t m_nBlockSize = kDefaultBlockSize;
    std::string m_FilePath;

    // The list owns its blocks in creation order (a deque keeps their
    // addresses stable); the index finds a block without walking the list.
    // It is an open-addressing table: a shuffled 16 MiB image makes a
    // million look-ups, and node-based maps cost a cache miss per hop.
    std::deque<ProgBlock> m_Blocks;
    std::vector<IndexEntry> m_Index;
    ProgBlock* m_pFirst = nullptr;
    IndexEntry m_Current{0, nullptr, nullptr}; // consecutive records skip the index
    bool m_bEndOfFile = false;
    const DeviceProfile* m_pProfile = nullptr;
};
