#include "Utils.h"

#include <cstdint>
#include <sys/mman.h>

CMutexClass::~CMutexClass()
{
    // Wait until no other thread holds it before it goes away.
    std::lock_guard<std::mutex> wait(m_Mutex);
}

void CMutexClass::Lock()
{
    const auto self = std::this_thread::get_id();
    if (m_Owner.load() == self) {
        ++m_nLockCount;
        return;
    }
    m_Mutex.lock();
    m_Owner.store(self);
    m_nLockCount = 1;
}

void CMutexClass::Unlock()
{
    if (m_Owner.load() != std::this_thread::get_id())
        return;
    if (--m_nLockCount == 0) {
        m_Owner.store(std::thread::id{});
        m_Mutex.unlock();
    }
}

void NxAdviseLarge(void* p, size_t n)
{
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (!p || n < 2 * kHuge)
        return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
