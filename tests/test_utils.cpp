#include "Appcfg.h"
#include "NxException.h"
#include "Utils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The calling thread holds m exactly once more than it will give back in
// release: another thread, started and at the lock before release runs,
// gets in only after it. The order is recorded under m itself, so no
// waiting or timing decides the result.
template <class Release> static void ExpectHeldUntil(CMutexClass& m, Release release)
{
    std::vector<std::string> order; // written only by the holder of m
    std::atomic<bool> atTheLock{false};
    std::thread other([&] {
        atTheLock = true;
        m.Lock();
        order.push_back("other");
        m.Unlock();
    });
    while (!atTheLock)
        std::this_thread::yield();
    order.push_back("release");
    release();
    other.join();
    EXPECT_EQ(order, (std::vector<std::string>{"release", "other"}));
}

TEST(MutexClass, NestedLockNeedsAsManyUnlocksBeforeAnotherThreadGetsIn)
{
    CMutexClass m;
    m.Lock();
    m.Lock();
    m.Unlock(); // still held once
    ExpectHeldUntil(m, [&] { m.Unlock(); });
}

TEST(MutexClass, UnlockFromANonOwnerIsIgnored)
{
    CMutexClass m;
    m.Lock();
    std::thread([&] { m.Unlock(); }).join();
    ExpectHeldUntil(m, [&] { m.Unlock(); });
}

TEST(MutexClass, DestroyedByItsHolderAtAnyDepthReturns)
{
    for (int depth : {1, 3}) {
        auto m = std::make_unique<CMutexClass>();
        for (int i = 0; i < depth; ++i)
            m->Lock();
        m.reset(); // hung before: the destructor waited for its own thread
    }
}

TEST(ScopedLocks, EarlyUnlockDoesNotReleaseTwice)
{
    CMutexClass m;
    m.Lock(); // an outer level that must survive the scoped lock
    {
        CEasyMutex lock(m);
        lock.Unlock();
        lock.Unlock();
    } // destructor must not give back the outer level
    ExpectHeldUntil(m, [&] { m.Unlock(); });

    CCritSect sect;
    {
        ScopedSect outer(sect);
        {
            ScopedSect inner(sect); // re-entered by its holder
            EXPECT_TRUE(sect.IsHeld());
            inner.Unlock();
        }
        EXPECT_TRUE(sect.IsHeld());
    }
    EXPECT_FALSE(sect.IsHeld());
}

namespace {
std::vector<std::pair<int, int>> g_Calls;
void Record(void* ctx, int event, void*)
{
    g_Calls.emplace_back(*static_cast<int*>(ctx), event);
}
void Other(void*, int, void*) {}
} // namespace

TEST(CbList, CallsInOrderAndRemoveTakesEveryDuplicate)
{
    g_Calls.clear();
    CbList list;
    list.Call(0, nullptr); // empty list calls nothing
    EXPECT_TRUE(g_Calls.empty());

    int a = 1, b = 2;
    list.Add(Record, &a);
    list.Add(Record, &b);
    list.Add(Record, &a);
    list.Call(7, nullptr);
    EXPECT_EQ(g_Calls, (std::vector<std::pair<int, int>>{{1, 7}, {2, 7}, {1, 7}}));

    list.Remove(Other, &a); // not in the list: no change
    EXPECT_EQ(list.Count(), 3u);
    list.Remove(Record, &a);
    EXPECT_EQ(list.Count(), 1u);
    g_Calls.clear();
    list.Call(1, nullptr);
    EXPECT_EQ(g_Calls, (std::vector<std::pair<int, int>>{{2, 1}}));
}

TEST(ScopedOwners, MallocBufferFreesAndNullIsFine)
{
    TScopedMallocBuffer<char> none(nullptr);
    TScopedMallocBuffer<const char> text(strdup("x"));
    EXPECT_STREQ(text.get(), "x");
}

TEST(AppCfg, FixedValuesAndStartFolder)
{
    CAppCfg::DestroyInstance();
    CAppCfg& cfg = CAppCfg::Instance();
    EXPECT_FALSE(cfg.IgnoreReplyStatus());
    EXPECT_FALSE(cfg.ComLog());
    EXPECT_TRUE(cfg.BootloaderFirst());
    EXPECT_TRUE(cfg.StartApplication());
    EXPECT_EQ(cfg.StartFolder(), WorkingDirectory());
    cfg.SetLastDir("");
    EXPECT_EQ(cfg.StartFolder(), WorkingDirectory());
    cfg.SetLastDir("/tmp/fw/");
    EXPECT_EQ(cfg.StartFolder(), "/tmp/fw/");
    EXPECT_EQ(&CAppCfg::Instance(), &cfg);
    CAppCfg::DestroyInstance();
    EXPECT_EQ(CAppCfg::Instance().StartFolder(), WorkingDirectory());
    EXPECT_STREQ(NX_PROGRAM_VERSION, "v0.5.3");
}

TEST(NxException, CarriesFormattedText)
{
    try {
        ThrowNx("Device '%s' not found", "0001");
        FAIL();
    } catch (const NxException& e) {
        EXPECT_EQ(e.Message(), "Device '0001' not found");
    }
}
