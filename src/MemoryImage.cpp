#include "MemoryImage.h"

#include <algorithm>
#include <cstring>
#include <utility>

bool MemoryImage::IsValidBlockSize(uint32_t size)
{
    return size >= kMinBlockSize && size <= kMaxBlockSize && (size & (size - 1)) == 0;
}

void MemoryImage::Clear()
{
    m_pFirst = nullptr;
    m_Current = IndexEntry{0, nullptr, nullptr};
    m_Index.clear();
    m_Blocks.clear();
    m_bEndOfFile = false;
}

namespace {

// Thrown by the sink past the bounds; the reader's owners close its file.
struct TooManyBlocks
{
};

} // namespace

int MemoryImage::LoadFile(const char* path, int& line)
{
    // path may be m_FilePath itself (a reload), so copy before assigning.
    std::string copy = path ? path : "";
    Clear();
    m_FilePath = std::move(copy);
    line = 0;
    try {
        return ReadIntelHexFile(m_FilePath.c_str(), *this, line);
    } catch (const TooManyBlocks&) {
        return IH_TOO_MANY_BLOCKS;
    }
}

bool MemoryImage::SetBlockSize(uint32_t size)
{
    if (!IsValidBlockSize(size))
        return false;
    m_nBlockSize = size;
    if (m_Blocks.empty())
        return true;
    int line = 0;
    return LoadFile(m_FilePath.c_str(), line) == IH_SUCCESS;
}

bool MemoryImage::Recut(uint32_t size)
{
    if (!IsValidBlockSize(size) || size % m_nBlockSize != 0)
        return false;
    if (size == m_nBlockSize)
        return true;
    // Walking the old blocks in list order meets each new block first where
    // the file first touched it, so the order is a reload's.
    MemoryImage cut;
    cut.m_nBlockSize = size;
    for (const ProgBlock* b = m_pFirst; b; b = b->Next) {
        ProgBlock* into = cut.FindOrAddBlock(b->Address());
        if (!into)
            return false; // past the bounds at the larger size; nothing changed
        std::memcpy(into->Data() + (b->Address() - into->Address()), b->Data(), b->DataLength);
    }
    cut.m_FilePath = std::move(m_FilePath);
    cut.m_bEndOfFile = m_bEndOfFile;
    *this = std::move(cut);
    return true;
}

size_t MemoryImage::IndexSlot(uint32_t addr) const
{
    // Fibonacci hashing of the block number spreads neighbouring blocks.
    const size_t mask = m_Index.size() - 1;
    size_t i = static_cast<uint32_t>((addr / m_nBlockSize) * 0x9E3779B1u) & mask;
    while (m_Index[i].Block && m_Index[i].Addr != addr)
        i = (i + 1) & mask;
    return i;
}

void MemoryImage::GrowIndex()
{
    std::vector<IndexEntry> old(std::max<size_t>(1024, m_Index.size() * 2),
                                IndexEntry{0, nullptr, nullptr});
    old.swap(m_Index);
    for (const IndexEntry& e : old)
        if (e.Block)
            m_Index[IndexSlot(e.Addr)] = e;
}

MemoryImage::IndexEntry MemoryImage::FindOrAddEntry(uint32_t blockAddr)
{
    // Keep the table at most half full so that probe runs stay short.
    if ((m_Blocks.size() + 1) * 2 > m_Index.size())
        GrowIndex();
    IndexEntry& slot = m_Index[IndexSlot(blockAddr)];
    if (slot.Block)
        return slot;
    if (m_Blocks.size() >= kMaxBlocks ||
        (m_Blocks.size() + 1) * uint64_t{m_nBlockSize} > kMaxImageBytes)
        throw TooManyBlocks();
    ProgBlock& block = m_Blocks.emplace_back(blockAddr, m_nBlockSize);
    if (m_Blocks.size() > 1)
        m_Blocks[m_Blocks.size() - 2].Next = &block;
    else
        m_pFirst = &block;
    slot = IndexEntry{blockAddr, &block, block.Data()};
    return slot;
}

ProgBlock* MemoryImage::FindOrAddBlock(uint32_t addr)
{
    try {
        return FindOrAddEntry(addr & ~(m_nBlockSize - 1)).Block;
    } catch (const TooManyBlocks&) {
        return nullptr;
    }
}

uint8_t* MemoryImage::FindByte(uint32_t addr) const
{
    size_t available;
    return FindByte(addr, available);
}

uint8_t* MemoryImage::FindByte(uint32_t addr, size_t& available) const
{
    available = 0;
    if (m_Index.empty())
        return nullptr;
    const uint32_t offset = addr & (m_nBlockSize - 1);
    const IndexEntry& e = m_Index[IndexSlot(addr - offset)];
    if (!e.Block)
        return nullptr;
    available = m_nBlockSize - offset;
    return e.Data + offset;
}

void MemoryImage::OnDataRecord(const HexRecord& rec)
{
    const uint32_t mask = m_nBlockSize - 1;
    uint32_t addr = rec.AbsAddress;
    const uint8_t* src = rec.Data;
    size_t left = rec.ByteCount;
    // One pass per block the record touches; a count of 0 still makes its block.
    do {
        const uint32_t blockAddr = addr & ~mask;
        if (!m_Current.Block || m_Current.Addr != blockAddr)
            m_Current = FindOrAddEntry(blockAddr);
        const uint32_t offset = addr & mask;
        const size_t n = std::min<size_t>(left, m_nBlockSize - offset);
        std::memcpy(m_Current.Data + offset, src, n);
        addr += static_cast<uint32_t>(n);
        src += n;
        left -= n;
    } while (left > 0);
}

void MemoryImage::OnAddressRecord(const HexRecord&)
{
    // The reader has already applied the upper address.
}

void MemoryImage::OnEndOfFile(const HexRecord&)
{
    m_bEndOfFile = true;
}
