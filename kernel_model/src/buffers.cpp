// The caller's buffers as the I/O manager hands them to a request, by
// transfer type as Windows does: buffered I/O gets a system buffer of
// uninitialised pool (a fill pattern here) with the input copied in; direct
// I/O an MDL for the caller's own buffer (and, for a device control, a
// system buffer holding only the input); neither I/O the caller's buffers
// themselves. System buffers and MDLs are special pool; the caller's own
// buffers are guarded at their end, and a write past one is reported when
// the request ends.
#include "model.h"

#include <cstring>

namespace km::detail {
namespace {

constexpr unsigned char kUninitialised = 0xCD; // what fresh pool holds here
constexpr unsigned char kGuardPattern = 0xAB;
constexpr size_t kGuardBytes = 16;
constexpr USHORT kMdlMappedToSystemVa = 0x0001;
constexpr USHORT kMdlPagesLocked = 0x0002;
constexpr uintptr_t kPageMask = 0xFFF;

// `bytes` of pattern (the first `inLength` from `input`), then the guard.
void *GuardedBlock(size_t bytes, const void *input, size_t inLength)
{
    unsigned char *block = static_cast<unsigned char *>(ModelAlloc(bytes + kGuardBytes));
    std::memset(block, kUninitialised, bytes);
    std::memset(block + bytes, kGuardPattern, kGuardBytes);
    if (input != nullptr && inLength != 0) {
        std::memcpy(block, input, inLength);
    }
    return block;
}

// Pool the I/O manager allocates for a request.
void *IoManagerPool(BlockKind kind, size_t bytes)
{
    PoolBlock block;
    block.kind = kind;
    block.bytes = bytes;
    block.allocator = "the I/O manager";
    block.allocatedIn = Current()->name;
    return SpecialAllocate(std::move(block));
}

void AttachSystemBuffer(PIRP irp, IrpInfo *info, const void *input, ULONG inLength, ULONG bytes)
{
    if (bytes == 0) {
        return;
    }
    info->systemBuffer = IoManagerPool(BlockKind::SystemBuffer, bytes);
    if (input != nullptr && inLength != 0) {
        std::memcpy(info->systemBuffer, input, inLength);
    }
    info->systemBytes = bytes;
    irp->AssociatedIrp.SystemBuffer = info->systemBuffer;
}

// The caller's own buffer, locked and mapped as MmProbeAndLockPages and a
// system mapping would leave it.
void AttachMdl(PIRP irp, IrpInfo *info)
{
    PMDL mdl = static_cast<PMDL>(IoManagerPool(BlockKind::Mdl, sizeof(MDL)));
    std::memset(static_cast<void *>(mdl), 0, sizeof(MDL));
    uintptr_t address = reinterpret_cast<uintptr_t>(info->userBuffer);
    mdl->Size = sizeof(MDL);
    mdl->MdlFlags = kMdlMappedToSystemVa | kMdlPagesLocked;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~kPageMask);
    mdl->ByteOffset = static_cast<ULONG>(address & kPageMask);
    mdl->ByteCount = static_cast<ULONG>(info->userBytes);
    mdl->MappedSystemVa = info->userBuffer;
    info->mdl = mdl;
    irp->MdlAddress = mdl;
}

void AttachUserBuffer(PIRP irp, IrpInfo *info, const void *data, ULONG bytes, bool direct)
{
    if (bytes == 0) {
        return;
    }
    info->userBuffer = GuardedBlock(bytes, data, data != nullptr ? bytes : 0);
    info->userBytes = bytes;
    irp->UserBuffer = info->userBuffer;
    if (direct) {
        AttachMdl(irp, info);
    }
}

void CheckGuard(const void *block, size_t bytes, const char *what, PIRP irp)
{
    if (block != nullptr &&
        !PatternIntact(static_cast<const unsigned char *>(block) + bytes, kGuardBytes, kGuardPattern)) {
        Violate("POOL_OVERRUN", std::string(what) + " of " + std::to_string(bytes) + " bytes of " +
                                    DescribeAddress(irp) + " was written past its end");
    }
}

} // namespace

void AttachBuffers(PDEVICE_OBJECT top, PIRP irp, IrpInfo *info, ULONG code, const void *input, ULONG inLength,
                   ULONG outLength)
{
    if (top == nullptr) {
        // A request a test builds for a routine: one system buffer, as for a
        // buffered device control.
        AttachSystemBuffer(irp, info, input, inLength, inLength > outLength ? inLength : outLength);
        return;
    }
    if (info->major == IRP_MJ_READ || info->major == IRP_MJ_WRITE) {
        const void *data = info->major == IRP_MJ_WRITE ? input : nullptr;
        ULONG bytes = info->major == IRP_MJ_WRITE ? inLength : outLength;
        if ((top->Flags & DO_BUFFERED_IO) != 0) {
            AttachSystemBuffer(irp, info, data, data != nullptr ? bytes : 0, bytes);
        } else {
            AttachUserBuffer(irp, info, data, bytes, (top->Flags & DO_DIRECT_IO) != 0);
        }
        return;
    }
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
        AttachSystemBuffer(irp, info, input, inLength, inLength > outLength ? inLength : outLength);
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        AttachSystemBuffer(irp, info, input, inLength, inLength);
        AttachUserBuffer(irp, info, nullptr, outLength, true);
        break;
    default:
        // METHOD_NEITHER: the caller's addresses, no copy at either end.
        if (inLength != 0) {
            info->userInput = GuardedBlock(inLength, input, inLength);
        }
        IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer = info->userInput;
        AttachUserBuffer(irp, info, nullptr, outLength, false);
        break;
    }
}

const uint8_t *CallerOutput(const IrpInfo *info)
{
    bool buffered = info->major == IRP_MJ_READ ? info->userBuffer == nullptr
                                               : METHOD_FROM_CTL_CODE(info->ioControlCode) == METHOD_BUFFERED;
    return static_cast<const uint8_t *>(buffered ? info->systemBuffer : info->userBuffer);
}

void ReleaseBuffers(PIRP irp, IrpInfo *info, bool check)
{
    if (check) {
        CheckGuard(info->userBuffer, info->userBytes, "the caller's buffer", irp);
        if (info->systemBuffer != nullptr) {
            FreeBlock(info->systemBuffer, BlockKind::SystemBuffer, "the I/O manager", nullptr);
        }
        if (info->mdl != nullptr) {
            FreeBlock(info->mdl, BlockKind::Mdl, "the I/O manager", nullptr);
        }
    }
    // At reset the special pool goes as a whole.
    for (void *block : {info->userBuffer, info->userInput}) {
        if (block != nullptr) {
            ModelFree(block);
        }
    }
    info->systemBuffer = info->userBuffer = info->userInput = nullptr;
    info->mdl = nullptr;
}

} // namespace km::detail
