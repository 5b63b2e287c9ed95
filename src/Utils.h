// Small shared building blocks: recursive mutex with scoped lock, a re-enterable
// critical section with its scoped lock, a callback list and scoped owners.
#pragma once

#include <atomic>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

// Recursive mutex that remembers its owner. An Unlock from a thread that does
// not hold it is ignored, so a scoped lock released twice does no harm.
class CMutexClass
{
public:
    CMutexClass() = default;
    ~CMutexClass();
    CMutexClass(const CMutexClass&) = delete;
    CMutexClass& operator=(const CMutexClass&) = delete;

    void Lock();
    void Unlock();

private:
    std::mutex m_Mutex;
    std::atomic<std::thread::id> m_Owner{};
    int m_nLockCount = 0;
};

// Scoped lock of a CMutexClass; Unlock may be called early.
class CEasyMutex
{
public:
    explicit CEasyMutex(CMutexClass& mutex) : m_Mutex(mutex)
    {
        m_Mutex.Lock();
        m_bLocked = true;
    }
    ~CEasyMutex() { Unlock(); }
    CEasyMutex(const CEasyMutex&) = delete;
    CEasyMutex& operator=(const CEasyMutex&) = delete;

    void Unlock()
    {
        if (m_bLocked) {
            m_Mutex.Unlock();
            m_bLocked = false;
        }
    }

private:
    bool m_bLocked = false;
    CMutexClass& m_Mutex;
};

// Critical section that its holder may enter again. It counts the nesting
// depth so that a re-entrant caller (a timer tick) can see that it is held.
class CCritSect
{
public:
    void Enter()
    {
        m_Mutex.lock();
        ++m_nDepth;
    }
    void Leave()
    {
        --m_nDepth;
        m_Mutex.unlock();
    }
    // True while any thread holds the section. Only meaningful to the holder
    // or as a hint; it is read without the lock.
    bool IsHeld() const { return m_nDepth.load() > 0; }

private:
    std::recursive_mutex m_Mutex;
    std::atomic<int> m_nDepth{0};
};

// Scoped lock of a CCritSect; Unlock may be called early.
class ScopedSect
{
public:
    explicit ScopedSect(CCritSect& sect) : m_Sect(sect)
    {
        m_Sect.Enter();
        m_bLocked = true;
    }
    ~ScopedSect() { Unlock(); }
    ScopedSect(const ScopedSect&) = delete;
    ScopedSect& operator=(const ScopedSect&) = delete;

    void Unlock()
    {
        if (m_bLocked) {
            m_Sect.Leave();
            m_bLocked = false;
        }
    }

private:
    bool m_bLocked = false;
    CCritSect& m_Sect;
};

// Ordered list of (function, context) callbacks. Not locked: the owner
// serialises Add, Remove and Call. A callback must not change the list it is
// called from.
class CbList
{
public:
    using CbFunc = void (*)(void* ctx, int event, void* arg);
    struct CbEl
    {
        CbFunc Func;
        void* Ctx;
    };

    void Add(CbFunc func, void* ctx) { m_List.push_back({func, ctx}); }
    void Remove(CbFunc func, void* ctx)
    {
        m_List.remove_if([&](const CbEl& el) { return el.Func == func && el.Ctx == ctx; });
    }
    void Call(int event, void* arg) const
    {
        for (const CbEl& el : m_List)
            el.Func(el.Ctx, event, arg);
    }
    size_t Count() const { return m_List.size(); }

private:
    std::list<CbEl> m_List;
};

template <class T> using TScopedPtr = std::unique_ptr<T>;

struct CMallocFree
{
    void operator()(const void* p) const { std::free(const_cast<void*>(p)); }
};
// Owner of a buffer from the C heap, released with free.
template <class T> using TScopedMallocBuffer = std::unique_ptr<T, CMallocFree>;
