// Pool with the checks of a special pool: every block is tracked with the
// context that allocated it; a freed block is filled with a pattern and kept
// aside, so a second free is caught at once and a write after free when the
// pattern is checked (when the quarantine is trimmed, and at shutdown). A
// guard after each block catches overruns at free. Built with AddressSanitizer,
// the guard and the quarantined blocks are also poisoned, so that a read after
// free or past the end is reported at the access itself.
#include "model.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KM_POISON(address, bytes) ASAN_POISON_MEMORY_REGION((address), (bytes))
#define KM_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION((address), (bytes))
#else
#define KM_POISON(address, bytes) ((void)(address), (void)(bytes))
#define KM_UNPOISON(address, bytes) ((void)(address), (void)(bytes))
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace km::detail {
namespace {

constexpr unsigned char kFreedPattern = 0xDF;
constexpr unsigned char kGuardPattern = 0xAB;
constexpr size_t kGuardBytes = 16;
constexpr size_t kQuarantineLimit = 64u << 20;

struct PoolBlock {
    size_t bytes = 0;
    uint64_t serial = 0; // names the block in traces independently of its address
    std::string owner;
    bool freed = false;
    std::string freedBy;
    bool paged = false;
    PDRIVER_OBJECT driver = nullptr; // whose pool it is (nullptr: the model's own)
    bool leakReported = false;
};

struct Pool {
    std::map<void *, PoolBlock> blocks;
    std::deque<void *> quarantine;
    size_t quarantined = 0;
    size_t inUse = 0;
    uint64_t serial = 0;
};

Pool &P()
{
    static Pool p;
    return p;
}

void Release(void *block)
{
    Pool &p = P();
    auto found = p.blocks.find(block);
    KM_UNPOISON(block, found->second.bytes + kGuardBytes);
    if (!PatternIntact(block, found->second.bytes, kFreedPattern)) {
        Violate("POOL_USE_AFTER_FREE", "pool block " + DescribeAddress(block) + " of " +
                                           std::to_string(found->second.bytes) + " bytes (allocated by " +
                                           found->second.owner + ") was written after " + found->second.freedBy +
                                           " freed it");
    }
    p.quarantined -= found->second.bytes;
    std::free(block);
    p.blocks.erase(found);
}

} // namespace

static void *AllocateBlock(size_t bytes, const char *owner, bool paged, PDRIVER_OBJECT driver)
{
    Pool &p = P();
    unsigned char *block = static_cast<unsigned char *>(std::malloc(bytes + kGuardBytes));
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0xCD, bytes); // pool is not zeroed; callers that rely on zeroes show up
    std::memset(block + bytes, kGuardPattern, kGuardBytes);
    KM_POISON(block + bytes, kGuardBytes);
    PoolBlock b;
    b.bytes = bytes;
    b.serial = ++p.serial;
    b.owner = std::string(owner) + " in " + Current()->name;
    b.paged = paged;
    b.driver = driver;
    p.blocks[block] = b;
    ++p.inUse;
    return block;
}

void *PoolAllocate(size_t bytes, const char *owner)
{
    return AllocateBlock(bytes, owner, false, CurrentDriver());
}

// The block, freed or not, whose bytes hold `address`; blocks.end() if none.
static std::map<void *, PoolBlock>::iterator Containing(const void *address)
{
    Pool &p = P();
    auto after = p.blocks.upper_bound(const_cast<void *>(address));
    if (after == p.blocks.begin()) {
        return p.blocks.end();
    }
    --after;
    const char *base = static_cast<const char *>(after->first);
    return static_cast<const char *>(address) < base + after->second.bytes ? after : p.blocks.end();
}

// The live block that holds `address`, or nullptr.
static PoolBlock *BlockHolding(const void *address)
{
    auto found = Containing(address);
    return found == P().blocks.end() || found->second.freed ? nullptr : &found->second;
}

void CheckResident(const void *object, const char *routine, bool always)
{
    if (object == nullptr || (!always && Irql() < DISPATCH_LEVEL)) {
        return;
    }
    PoolBlock *block = BlockHolding(object);
    if (block != nullptr && block->paged) {
        Violate("IRQL", std::string(routine) + " on " + DescribeAddress(object) + ", which lies in paged pool (" +
                            block->owner + ")" +
                            (always ? ": the kernel touches it at DISPATCH_LEVEL" : " at DISPATCH_LEVEL"));
    }
}

void CheckPoolOfImage(PDRIVER_OBJECT driver)
{
    for (auto &entry : P().blocks) {
        PoolBlock &b = entry.second;
        if (!b.freed && b.driver == driver && !b.leakReported) {
            b.leakReported = true;
            Violate("POOL_LEAK", "pool block " + DescribeAddress(entry.first) + " of " + std::to_string(b.bytes) +
                                     " bytes allocated by " + b.owner + " is still allocated when its driver unloads");
        }
    }
}

void PoolFree(void *block, const char *routine)
{
    Pool &p = P();
    auto found = p.blocks.find(block);
    if (found == p.blocks.end()) {
        Violate("POOL_BAD_FREE", std::string(routine) + " of " + DescribeAddress(block) + ", not a pool block");
        return;
    }
    PoolBlock &b = found->second;
    if (b.freed) {
        Violate("POOL_DOUBLE_FREE", std::string(routine) + " of pool block " + DescribeAddress(block) +
                                        " (allocated by " + b.owner + "), already freed by " + b.freedBy);
        return;
    }
    if (b.paged && Irql() >= DISPATCH_LEVEL) {
        Violate("IRQL", std::string(routine) + " of paged pool block " + DescribeAddress(block) + " at IRQL " +
                            std::to_string(Irql()));
        return;
    }
    unsigned char *bytes = static_cast<unsigned char *>(block);
    KM_UNPOISON(bytes + b.bytes, kGuardBytes);
    if (!PatternIntact(bytes + b.bytes, kGuardBytes, kGuardPattern)) {
        Violate("POOL_OVERRUN", "pool block " + DescribeAddress(block) + " of " + std::to_string(b.bytes) +
                                    " bytes (allocated by " + b.owner + ") was written past its end");
    }
    CheckTimersIn(block, b.bytes, routine);
    ForgetLocksIn(block, b.bytes);
    std::memset(bytes, kFreedPattern, b.bytes);
    KM_POISON(bytes, b.bytes + kGuardBytes);
    b.freed = true;
    b.freedBy = std::string(routine) + " in " + Current()->name;
    --p.inUse;
    p.quarantine.push_back(block);
    p.quarantined += b.bytes;
    while (p.quarantined > kQuarantineLimit && !p.quarantine.empty()) {
        void *oldest = p.quarantine.front();
        p.quarantine.pop_front();
        Release(oldest);
    }
}

void CheckPoolAtShutdown()
{
    Pool &p = P();
    std::vector<void *> all;
    for (auto &entry : p.blocks) {
        all.push_back(entry.first);
    }
    for (void *block : all) {
        PoolBlock &b = p.blocks[block];
        if (!b.freed && !b.leakReported) {
            Violate("POOL_LEAK", "pool block " + DescribeAddress(block) + " of " + std::to_string(b.bytes) +
                                     " bytes allocated by " + b.owner + " was never freed");
        }
    }
    for (void *block : p.quarantine) {
        KM_UNPOISON(block, p.blocks[block].bytes);
        bool intact = PatternIntact(block, p.blocks[block].bytes, kFreedPattern);
        KM_POISON(block, p.blocks[block].bytes);
        if (!intact) {
            Violate("POOL_USE_AFTER_FREE", "pool block " + DescribeAddress(block) + " (allocated by " +
                                               p.blocks[block].owner + ") was written after " +
                                               p.blocks[block].freedBy + " freed it");
        }
    }
}

void ResetPool()
{
    Pool &p = P();
    for (auto &entry : p.blocks) {
        KM_UNPOISON(entry.first, entry.second.bytes + kGuardBytes);
        std::free(entry.first);
    }
    p.blocks.clear();
    p.quarantine.clear();
    p.quarantined = 0;
    p.inUse = 0;
    p.serial = 0;
}

bool DescribePoolAddress(const void *address, std::string *out)
{
    auto found = Containing(address);
    if (found == P().blocks.end()) {
        return false;
    }
    *out = "pool block #" + std::to_string(found->second.serial) + "+" +
           std::to_string(static_cast<const char *>(address) - static_cast<const char *>(found->first));
    return true;
}

void *ModelAlloc(size_t bytes)
{
    void *block = std::calloc(1, bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        std::fprintf(stderr, "kernel model: out of memory\n");
        std::abort();
    }
    return block;
}

void ModelFree(void *block)
{
    std::free(block);
}

} // namespace km::detail

using namespace km::detail;

namespace {

PVOID Allocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const char *routine, const void *caller)
{
    bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
    RequireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, routine);
    NTSTATUS status;
    if (ShouldFail(routine, &status)) {
        return nullptr;
    }
    char owner[160];
    std::snprintf(owner, sizeof owner, "%s(%zu) from %s", routine, static_cast<size_t>(NumberOfBytes),
                  DescribeAddress(caller).c_str());
    PDRIVER_OBJECT driver = DriverOfAddress(caller);
    return AllocateBlock(NumberOfBytes, owner, paged, driver != nullptr ? driver : CurrentDriver());
}

} // namespace

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return Allocate(PoolType, NumberOfBytes, "ExAllocatePool", __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    (void)Tag;
    return Allocate(PoolType, NumberOfBytes, "ExAllocatePoolWithTag", __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    PoolFree(P, "ExFreePool");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    (void)Tag;
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
    PoolFree(P, "ExFreePoolWithTag");
}

namespace km {

size_t PoolBlocksInUse()
{
    return detail::P().inUse;
}

} // namespace km
