// The memory image of an Intel HEX file: its data records collected into
// zero-filled blocks of one size, kept in the order the file first touched
// them, which is the order they are downloaded in.
#pragma once

#include "IntelHex.h"
#include "ProgBlock.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class MemoryImage : public IHfEvt
{
public:
    static constexpr uint32_t kDefaultBlockSize = 128;
    static constexpr uint32_t kMinBlockSize = 16;
    static constexpr uint32_t kMaxBlockSize = 65536;
    // Bounds of one image, so that a sparse file of a byte per block cannot
    // take hundreds of megabytes: the controllers' 24-bit address space, and
    // at most as many blocks as it holds at the default size.
    static constexpr uint64_t kMaxImageBytes = 16u << 20;
    static constexpr size_t kMaxBlocks = kMaxImageBytes / kDefaultBlockSize;

    MemoryImage() = default;
    ~MemoryImage() override = default;
    // Moving keeps every block where it is: block and byte pointers stay valid.
    MemoryImage(MemoryImage&&) = default;
    MemoryImage& operator=(MemoryImage&&) = default;
    MemoryImage(const MemoryImage&) = delete;
    MemoryImage& operator=(const MemoryImage&) = delete;

    // A power of two from kMinBlockSize to kMaxBlockSize.
    static bool IsValidBlockSize(uint32_t size);

    // Discards the image, remembers path and reads it with the current block
    // size. Sets line to 0 first; returns the reader's result code (0 on
    // success) with line at the offending line, or IH_TOO_MANY_BLOCKS at the
    // line that would pass kMaxBlocks or kMaxImageBytes. After a failure the image
    // holds what was read before the bad line; callers discard it.
    int LoadFile(const char* path, int& line);
    // Changes the block size; an invalid size returns false and changes
    // nothing. When blocks are loaded the stored file is read again, so blocks
    // are cut at the new size; true when there was nothing to reload or the
    // reload succeeded.
    bool SetBlockSize(uint32_t size);
    // Cuts the loaded blocks again at size from the bytes in memory, without
    // the file. Gives the blocks, their order and their bytes that a reload
    // at size gives, which holds for a size that is a multiple of the current
    // one; any other size, or one at which the image would pass the bounds,
    // returns false and changes nothing.
    bool Recut(uint32_t size);
    // Empties the image (the block size and the path stay).
    void Clear();

    uint32_t GetBlockSize() const { return m_nBlockSize; }
    // The file of the last LoadFile.
    const std::string& GetFilePath() const { return m_FilePath; }

    // The block starting at addr (rounded down to the block size); a new
    // zero-filled block appended to the list when there is none yet; null
    // when one more block would pass the bounds.
    ProgBlock* FindOrAddBlock(uint32_t addr);
    // The image byte at addr, or null when no block holds that address.
    uint8_t* FindByte(uint32_t addr) const;
    // As above; available = bytes readable from the returned pointer up to
    // the block's end, the byte itself included (0 when null is returned).
    uint8_t* FindByte(uint32_t addr, size_t& available) const;

    size_t GetBlockCount() const { return m_Blocks.size(); }
    // Blocks in the order the file first touched them; follow ProgBlock::Next.
    // Null for an empty image. Valid until the next load or re-cut.
    ProgBlock* FirstBlock() const { return m_pFirst; }
    // True once the file's end-of-file record was read.
    bool HasEndOfFile() const { return m_bEndOfFile; }

    // IHfEvt: collects data records into blocks.
    void OnDataRecord(const HexRecord& rec) override;
    void OnAddressRecord(const HexRecord& rec) override;
    void OnEndOfFile(const HexRecord& rec) override;

private:
    struct IndexEntry
    {
        uint32_t Addr;
        ProgBlock* Block; // null: empty slot
        uint8_t* Data;    // Block->Data(), saving a memory access per record
    };
    // Index slot of the block starting at addr: the one holding it or the
    // empty one where it belongs.
    size_t IndexSlot(uint32_t addr) const;
    void GrowIndex();
    // The entry of the block starting at blockAddr, added when missing. Every
    // block of the image is made here.
    IndexEntry FindOrAddEntry(uint32_t blockAddr);

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
};
