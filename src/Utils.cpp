#include "Utils.h"

CMutexClass::~CMutexClass()
{
    // A holder that destroys it gives back every level it holds; locking the
    // non-recursive mutex again would wait for ever.
    if (m_Owner.load() == std::this_thread::get_id()) {
        m_nLockCount = 0;
        m_Owner.store(std::thread::id{});
        m_Mutex.unlock();
    }
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
