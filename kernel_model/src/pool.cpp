// Pool as drivers see it, on the special pool (guarded_pool.cpp): every block
// is tracked with the routine and context that allocated it, so that a leak,
// a double or bad free, paged pool at DISPATCH_LEVEL and a write into the
// bytes around a block are reported with the block's name and history.
#include "model.h"

#include <cstdio>
#include <cstdlib>

namespace km::detail {
namespace {

const char *KindName(BlockKind kind)
{
    switch (kind) {
    case BlockKind::Pool:
        return "pool block";
    case BlockKind::Irp:
        return "IRP";
    case BlockKind::Mdl:
        return "MDL";
    case BlockKind::WorkItem:
        return "work item";
    case BlockKind::SystemBuffer:
        return "system buffer";
    }
    return "block";
}

// A pool tag shows as its four bytes in memory order, as debuggers print it.
std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

std::string DoneBy(const char *service, const void *from, const std::string &context)
{
    return std::string(service) + (from != nullptr ? " in " + CodeName(from) : std::string()) + " on " + context;
}

bool IsPool(const PoolBlock &block)
{
    return block.kind == BlockKind::Pool || block.kind == BlockKind::WorkItem;
}

void ReportLeak(PoolBlock &block, const char *when)
{
    block.leakReported = true;
    Violate("POOL_LEAK", BlockName(block) + " " + BlockHistory(block) + " is still allocated " + when);
}

} // namespace

std::string BlockName(const PoolBlock &block)
{
    std::string name = std::string(KindName(block.kind)) + " #" + std::to_string(block.serial);
    return block.tag != 0 ? name + " '" + TagText(block.tag) + "'" : name;
}

std::string BlockHistory(const PoolBlock &block)
{
    std::string history = "of " + std::to_string(block.bytes) + " bytes, allocated by " +
                          DoneBy(block.allocator, block.allocatedFrom, block.allocatedIn);
    if (block.freed) {
        history += ", freed by " + DoneBy(block.freer, block.freedFrom, block.freedIn);
    }
    return history;
}

void *PoolAllocate(size_t bytes, const char *owner)
{
    PoolBlock block;
    block.bytes = bytes;
    block.allocator = owner;
    block.allocatedIn = Current()->name;
    block.driver = CurrentDriver();
    return SpecialAllocate(std::move(block));
}

void PoolFree(void *block, const char *routine)
{
    FreeBlock(block, BlockKind::Pool, routine, nullptr);
}

void FreeBlock(void *address, BlockKind kind, const char *routine, const void *caller)
{
    PoolBlock *block = BlockAt(address);
    if (block == nullptr || block->kind != kind) {
        Violate("POOL_BAD_FREE", std::string(routine) + " of " + DescribeAddress(address) + ", not a " +
                                     KindName(kind) + " the kernel allocated");
        return;
    }
    if (block->freed) {
        Violate("POOL_DOUBLE_FREE",
                std::string(routine) + " of " + BlockName(*block) + " " + BlockHistory(*block) + ": already freed");
        return;
    }
    if (block->paged && Irql() >= DISPATCH_LEVEL) {
        Violate("IRQL", std::string(routine) + " of paged " + BlockName(*block) + " at IRQL " + std::to_string(Irql()));
        return;
    }
    bool before = false;
    if (!SlackIntact(*block, &before)) {
        Violate("POOL_OVERRUN", BlockName(*block) + " " + BlockHistory(*block) + " was written " +
                                    (before ? "before its start" : "past its end"));
    }
    CheckTimersIn(address, block->bytes, routine);
    ForgetLocksIn(address, block->bytes);
    block->freer = routine;
    block->freedFrom = caller;
    block->freedIn = Current()->name;
    SpecialFree(*block);
}

void CheckResident(const void *object, const char *routine, bool always)
{
    if (object == nullptr || (!always && Irql() < DISPATCH_LEVEL)) {
        return;
    }
    BlockPlace place;
    ptrdiff_t offset;
    PoolBlock *block = BlockHolding(object, &place, &offset);
    if (block != nullptr && !block->freed && place == BlockPlace::Inside && block->paged) {
        Violate("IRQL", std::string(routine) + " on " + DescribeAddress(object) + ", which lies in paged pool (" +
                            BlockHistory(*block) + ")" +
                            (always ? ": the kernel touches it at DISPATCH_LEVEL" : " at DISPATCH_LEVEL"));
    }
}

void CheckPoolOfImage(PDRIVER_OBJECT driver)
{
    ForEachLiveBlock([driver](void *, PoolBlock &block) {
        if (IsPool(block) && block.driver == driver && !block.leakReported) {
            ReportLeak(block, "when its driver unloads");
        }
    });
}

void CheckPoolAtShutdown()
{
    ForEachLiveBlock([](void *, PoolBlock &block) {
        if (IsPool(block) && !block.leakReported) {
            ReportLeak(block, "at shutdown: never freed");
        }
    });
}

void ResetPool()
{
    ResetSpecialPool();
    InstallFaultHandler();
}

bool DescribePoolAddress(const void *address, std::string *out)
{
    BlockPlace place;
    ptrdiff_t offset;
    PoolBlock *block = BlockHolding(address, &place, &offset);
    if (block == nullptr) {
        return false;
    }
    *out = BlockName(*block) + (offset == 0 ? "" : (offset > 0 ? "+" : "") + std::to_string(offset));
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

PVOID Allocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG tag, const char *routine, const void *caller)
{
    bool paged = PoolType == PagedPool || PoolType == PagedPoolCacheAligned;
    RequireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, routine);
    NTSTATUS status;
    if (ShouldFail(routine, &status)) {
        return nullptr;
    }
    PoolBlock block;
    block.bytes = NumberOfBytes;
    block.tag = tag;
    block.paged = paged;
    block.allocator = routine;
    block.allocatedFrom = caller;
    block.allocatedIn = Current()->name;
    PDRIVER_OBJECT driver = DriverOfAddress(caller);
    block.driver = driver != nullptr ? driver : CurrentDriver();
    return SpecialAllocate(std::move(block));
}

} // namespace

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return Allocate(PoolType, NumberOfBytes, 0, "ExAllocatePool", __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag", __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    FreeBlock(P, BlockKind::Pool, "ExFreePool", __builtin_return_address(0));
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    (void)Tag;
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
    FreeBlock(P, BlockKind::Pool, "ExFreePoolWithTag", __builtin_return_address(0));
}

namespace km {

size_t PoolBlocksInUse()
{
    return detail::LiveBlocks(detail::BlockKind::Pool) + detail::LiveBlocks(detail::BlockKind::WorkItem);
}

} // namespace km
