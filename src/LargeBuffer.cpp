#include "LargeBuffer.h"

#include <cstdint>
#include <sys/mman.h>

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
