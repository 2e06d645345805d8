// Memory the kernel hands drivers (pool, IRPs, MDLs, I/O work items, system
// buffers), laid out as Driver Verifier's special pool lays it out: each block
// at the end of its own page(s), aligned as pool is, with an inaccessible
// page after it; on free its pages become inaccessible and wait in a bounded
// FIFO quarantine before they are used again. A read or write past the end,
// or after the free, faults at the access itself (pool_faults.cpp turns the
// fault into a violation). The bytes between the page start and the block,
// and between the block's end and the page end, hold a pattern checked at
// free.
//
// One arena is reserved once. A slot is [data pages][guard page]: the guard
// page is sealed for good, and marked so that the kernel never merges it with
// the data pages around it; sealing and opening a slot's data pages then
// changes one mapping of its own, with one mprotect at free and one at reuse.
// The bookkeeping lives in the model's own memory, never in the driver's
// pages. Built with AddressSanitizer, which owns the fault signal, pages are
// poisoned instead of sealed and each block has a slot of its own, a heap
// block given back when it leaves the quarantine: ASan stops the access and
// names the block with the stack that allocated it (for an address outside
// its heap ASan searches the globals of every module ever loaded, and crashes
// on those of a driver image already unloaded).
#include "model.h"

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KM_POISON(address, bytes) ASAN_POISON_MEMORY_REGION((address), (bytes))
#define KM_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION((address), (bytes))
constexpr bool kPoison = true;
#else
#define KM_POISON(address, bytes) ((void)(address), (void)(bytes))
#define KM_UNPOISON(address, bytes) ((void)(address), (void)(bytes))
constexpr bool kPoison = false;
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_DEFINED(address, bytes) ((void)(address), (void)(bytes))
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>

namespace km::detail {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kAlign = 2 * sizeof(void *);  // 8 on i386, 16 on x64, as pool
constexpr unsigned char kUninitialised = 0xCD; // pool is not zeroed
constexpr unsigned char kSlackPattern = 0xAB;
constexpr size_t kQuarantinePages = 8192; // 32 MB of freed blocks stay inaccessible
// Each slot is two mappings; Linux allows a process 65530.
constexpr size_t kMaxSlots = 24 * 1024;

enum class SlotState : uint8_t { Live, Quarantined, Free };

struct Slot {
    uintptr_t start = 0; // first data page
    uint32_t pages = 0;  // data pages; the guard page follows
    SlotState state = SlotState::Live;
    uintptr_t blockStart = 0;
    PoolBlock block; // the block there, or the last one (freed)
};

struct Arena {
    uintptr_t base = 0;
    size_t pages = 0;     // reserved
    size_t usedPages = 0; // handed to slots so far
    std::vector<Slot> slots;
    std::vector<uint32_t> pageSlot;                   // the slot of each page handed out (guards included)
    std::unordered_map<uintptr_t, uint32_t> heapSlot; // under ASan: the slot of each page
    std::vector<uint32_t> spare;                      // under ASan: records of slots given back
    std::map<uint32_t, std::vector<uint32_t>> free;   // by data pages
    std::deque<uint32_t> quarantine;
    size_t quarantinedPages = 0;
    uint64_t serials[5] = {};
    size_t live[5] = {};
};

Arena &A()
{
    static Arena a;
    return a;
}

[[noreturn]] void Fatal(const char *what)
{
    std::fprintf(stderr, "kernel model: special pool: %s\n", what);
    std::abort();
}

// Maps the first `pages` of the arena afresh, inaccessible: no slot left there.
void MapArena(size_t pages)
{
    Arena &a = A();
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (a.base != 0 ? MAP_FIXED : 0);
    void *at = mmap(reinterpret_cast<void *>(a.base), pages * kPage, PROT_NONE, flags, -1, 0);
    if (at == MAP_FAILED) {
        Fatal("cannot map the arena");
    }
    a.base = reinterpret_cast<uintptr_t>(at);
}

// As much address space as the process will give, up to 4 GB (1 GB on i386).
void Reserve()
{
    Arena &a = A();
    for (size_t bytes = sizeof(void *) == 8 ? size_t(4) << 30 : size_t(1) << 30; a.base == 0 && bytes >= (64u << 20);
         bytes /= 2) {
        a.pages = bytes / kPage;
        MapArena(a.pages);
    }
    if (a.base == 0) {
        Fatal("no address space for the arena");
    }
}

void Protect(uintptr_t start, size_t pages, int protection)
{
    if (mprotect(reinterpret_cast<void *>(start), pages * kPage, protection) != 0) {
        Fatal("mprotect failed (too many blocks live?)");
    }
}

// Makes the pages inaccessible.
void Seal(uintptr_t start, size_t pages)
{
    if (kPoison) {
        KM_POISON(reinterpret_cast<void *>(start), pages * kPage);
        return;
    }
    Protect(start, pages, PROT_NONE);
    VALGRIND_MAKE_MEM_DEFINED(reinterpret_cast<void *>(start), pages * kPage);
}

void Open(uintptr_t start, size_t pages)
{
    if (kPoison) {
        KM_UNPOISON(reinterpret_cast<void *>(start), pages * kPage);
        return;
    }
    Protect(start, pages, PROT_READ | PROT_WRITE);
}

// A new slot, at the end of what the arena has handed out (a heap block of
// its own under AddressSanitizer): data pages accessible, the guard page
// sealed for good. UINT32_MAX when there is no room for one.
uint32_t NewSlot(uint32_t pages)
{
    Arena &a = A();
    Slot slot;
    slot.pages = pages;
    if (kPoison) {
        slot.start = reinterpret_cast<uintptr_t>(std::aligned_alloc(kPage, (pages + 1) * kPage));
        if (slot.start == 0) {
            Fatal("out of memory");
        }
    } else if (a.usedPages + pages + 1 <= a.pages && a.slots.size() < kMaxSlots) {
        slot.start = a.base + a.usedPages * kPage;
        a.usedPages += pages + 1;
    } else {
        return UINT32_MAX;
    }
    uint32_t index = static_cast<uint32_t>(a.slots.size());
    if (a.spare.empty()) {
        a.slots.push_back(slot);
    } else {
        index = a.spare.back();
        a.spare.pop_back();
        a.slots[index] = slot;
    }
    uintptr_t guard = slot.start + pages * kPage;
    if (kPoison) {
        for (uintptr_t page = slot.start; page <= guard; page += kPage) {
            a.heapSlot[page] = index;
        }
        Seal(guard, 1);
    } else {
        a.pageSlot.resize(a.usedPages, index);
        Open(slot.start, pages);
        // A mapping of its own for good: sealing the data pages next to it
        // never merges or splits mappings.
        madvise(reinterpret_cast<void *>(guard), kPage, MADV_DONTDUMP);
        // Under valgrind: the model reports an access to a sealed page, memcheck need not.
        VALGRIND_MAKE_MEM_DEFINED(reinterpret_cast<void *>(guard), kPage);
    }
    return index;
}

void ReleaseOldest()
{
    Arena &a = A();
    uint32_t index = a.quarantine.front();
    a.quarantine.pop_front();
    Slot &slot = a.slots[index];
    a.quarantinedPages -= slot.pages;
    slot.state = SlotState::Free;
    if (slot.block.kind == BlockKind::Irp) {
        ForgetIrp(reinterpret_cast<PIRP>(slot.blockStart));
    }
    if (!kPoison) {
        a.free[slot.pages].push_back(index);
        return;
    }
    for (uintptr_t page = slot.start; page <= slot.start + slot.pages * kPage; page += kPage) {
        a.heapSlot.erase(page);
    }
    Open(slot.start, slot.pages + 1);
    std::free(reinterpret_cast<void *>(slot.start));
    a.spare.push_back(index);
}

uint32_t TakeSlot(uint32_t pages)
{
    Arena &a = A();
    for (;;) {
        std::vector<uint32_t> &list = a.free[pages];
        if (!list.empty()) {
            uint32_t index = list.back();
            list.pop_back();
            Open(a.slots[index].start, pages);
            return index;
        }
        uint32_t index = NewSlot(pages);
        if (index != UINT32_MAX) {
            return index;
        }
        // Out of room: freed blocks leave the quarantine early.
        if (a.quarantine.empty()) {
            Fatal("out of room for new blocks");
        }
        ReleaseOldest();
    }
}

Slot *SlotOf(const void *address)
{
    Arena &a = A();
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    if (kPoison) {
        auto found = a.heapSlot.find(at & ~(kPage - 1));
        return found == a.heapSlot.end() ? nullptr : &a.slots[found->second];
    }
    if (at < a.base || at >= a.base + a.usedPages * kPage) {
        return nullptr;
    }
    return &a.slots[a.pageSlot[(at - a.base) / kPage]];
}

uintptr_t SlotEnd(const Slot &slot)
{
    return slot.start + slot.pages * kPage;
}

size_t Span(size_t bytes)
{
    return (bytes + kAlign - 1) & ~(kAlign - 1);
}

} // namespace

void *SpecialAllocate(PoolBlock block)
{
    Arena &a = A();
    if (a.base == 0 && !kPoison) {
        Reserve();
    }
    size_t span = Span(block.bytes);
    uint32_t pages = static_cast<uint32_t>(span == 0 ? 1 : (span + kPage - 1) / kPage);
    uint32_t index = TakeSlot(pages);
    Slot &slot = a.slots[index];
    slot.state = SlotState::Live;
    slot.blockStart = SlotEnd(slot) - span;
    char *start = reinterpret_cast<char *>(slot.blockStart);
    std::memset(reinterpret_cast<void *>(slot.start), kSlackPattern, slot.blockStart - slot.start);
    std::memset(start, kUninitialised, block.bytes);
    std::memset(start + block.bytes, kSlackPattern, span - block.bytes);
    KM_POISON(reinterpret_cast<void *>(slot.start), slot.blockStart - slot.start);
    KM_POISON(start + block.bytes, span - block.bytes);
    int kind = static_cast<int>(block.kind);
    block.serial = ++a.serials[kind];
    block.slot = index;
    a.live[kind]++;
    slot.block = std::move(block);
    return start;
}

PoolBlock *BlockAt(const void *address)
{
    Slot *slot = SlotOf(address);
    return slot != nullptr && slot->blockStart == reinterpret_cast<uintptr_t>(address) ? &slot->block : nullptr;
}

PoolBlock *BlockHolding(const void *address, BlockPlace *place, ptrdiff_t *offset)
{
    Slot *slot = SlotOf(address);
    if (slot == nullptr || slot->blockStart == 0) {
        return nullptr;
    }
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    *offset = static_cast<ptrdiff_t>(at - slot->blockStart);
    if (at < slot->blockStart) {
        *place = BlockPlace::Before;
    } else if (at < slot->blockStart + slot->block.bytes) {
        *place = BlockPlace::Inside;
    } else {
        *place = BlockPlace::After; // the slack or the guard page
    }
    return &slot->block;
}

bool SlackIntact(const PoolBlock &block, bool *before)
{
    if (kPoison) {
        return true; // poisoned: a write there stopped at the write
    }
    const Slot &slot = A().slots[block.slot];
    uintptr_t end = slot.blockStart + block.bytes;
    *before = !PatternIntact(reinterpret_cast<void *>(slot.start), slot.blockStart - slot.start, kSlackPattern);
    return !*before && PatternIntact(reinterpret_cast<void *>(end), SlotEnd(slot) - end, kSlackPattern);
}

void SpecialFree(PoolBlock &block)
{
    Arena &a = A();
    Slot &slot = a.slots[block.slot];
    block.freed = true;
    slot.state = SlotState::Quarantined;
    a.live[static_cast<int>(block.kind)]--;
    Seal(slot.start, slot.pages);
    a.quarantine.push_back(block.slot);
    a.quarantinedPages += slot.pages;
    while (a.quarantinedPages > kQuarantinePages) {
        ReleaseOldest();
    }
}

void ForEachLiveBlock(const std::function<void(void *, PoolBlock &)> &visit)
{
    for (Slot &slot : A().slots) {
        if (slot.state == SlotState::Live && slot.blockStart != 0) {
            visit(reinterpret_cast<void *>(slot.blockStart), slot.block);
        }
    }
}

size_t LiveBlocks(BlockKind kind)
{
    return A().live[static_cast<int>(kind)];
}

void ResetSpecialPool()
{
    Arena &a = A();
    if (kPoison) {
        for (Slot &slot : a.slots) {
            if (slot.state != SlotState::Free) {
                Open(slot.start, slot.pages + 1);
                std::free(reinterpret_cast<void *>(slot.start));
            }
        }
    } else if (a.usedPages != 0) {
        // Sealed again, as one mapping, but its pages stay in memory: the
        // next kernel lays its slots out afresh from the start of the arena
        // (the same addresses on every run) without a page fault for each
        // page it touches again.
        Seal(a.base, a.usedPages);
        madvise(reinterpret_cast<void *>(a.base), a.usedPages * kPage, MADV_DODUMP);
    }
    a.usedPages = 0;
    a.slots.clear();
    a.pageSlot.clear();
    a.heapSlot.clear();
    a.spare.clear();
    a.free.clear();
    a.quarantine.clear();
    a.quarantinedPages = 0;
    std::memset(a.serials, 0, sizeof a.serials);
    std::memset(a.live, 0, sizeof a.live);
}

} // namespace km::detail

bool km::detail::SpecialPoolFaults()
{
    return !kPoison;
}
