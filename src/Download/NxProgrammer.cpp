#include "NxProgrammer.h"

#include <algorithm>
#include <cstring>

NxProgrammer::NxProgrammer(int channel) : m_nChannel(channel) {}

void NxProgrammer::ClearImage()
{
    m_pFirst = nullptr;
    m_pCurrent = nullptr;
    m_Index.clear();
    m_Blocks.clear();
    m_bEndOfFile = false;
}

int NxProgrammer::LoadFile(const char* path, int& line)
{
    // path may be m_FilePath itself (a reload), so copy before assigning.
    std::string copy = path ? path : "";
    ClearImage();
    m_FilePath = std::move(copy);
    line = 0;
    return ReadIntelHexFile(m_FilePath.c_str(), *this, line);
}

bool NxProgrammer::SetBlockSize(uint32_t size)
{
    if (size < kMinBlockSize || size > kMaxBlockSize || (size & (size - 1)) != 0)
        return false;
    m_nBlockSize = size;
    if (m_Blocks.empty())
        return true;
    int line = 0;
    return LoadFile(m_FilePath.c_str(), line) == IH_SUCCESS;
}

ProgBlock* NxProgrammer::FindOrAddBlock(uint32_t addr)
{
    addr &= ~(m_nBlockSize - 1);
    auto [it, added] = m_Index.try_emplace(addr, nullptr);
    if (!added)
        return it->second;
    ProgBlock& block = m_Blocks.emplace_back(addr, m_nBlockSize);
    if (m_Blocks.size() > 1)
        m_Blocks[m_Blocks.size() - 2].Next = &block;
    else
        m_pFirst = &block;
    it->second = &block;
    return &block;
}

uint8_t* NxProgrammer::FindByte(uint32_t addr)
{
    size_t available;
    return FindByte(addr, available);
}

uint8_t* NxProgrammer::FindByte(uint32_t addr, size_t& available)
{
    available = 0;
    const uint32_t offset = addr & (m_nBlockSize - 1);
    auto it = m_Index.find(addr - offset);
    if (it == m_Index.end())
        return nullptr;
    available = m_nBlockSize - offset;
    return it->second->Data() + offset;
}

void NxProgrammer::OnDataRecord(const HexRecord& rec)
{
    const uint32_t mask = m_nBlockSize - 1;
    uint32_t addr = rec.AbsAddress;
    const uint8_t* src = rec.Data;
    size_t left = rec.ByteCount;
    // One pass per block the record touches; a count of 0 still makes its block.
    do {
        const uint32_t blockAddr = addr & ~mask;
        if (!m_pCurrent || m_pCurrent->Address() != blockAddr)
            m_pCurrent = FindOrAddBlock(blockAddr);
        const uint32_t offset = addr & mask;
        const size_t n = std::min<size_t>(left, m_nBlockSize - offset);
        std::memcpy(m_pCurrent->Data() + offset, src, n);
        addr += static_cast<uint32_t>(n);
        src += n;
        left -= n;
    } while (left > 0);
}

void NxProgrammer::OnAddressRecord(const HexRecord&)
{
    // The reader has already applied the upper address.
}

void NxProgrammer::OnEndOfFile(const HexRecord&)
{
    m_bEndOfFile = true;
}
