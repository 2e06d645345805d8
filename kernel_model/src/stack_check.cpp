// Kernel stacks are small: 12 KB on i386, 24 KB on x64. Two ways a driver
// outgrows one are caught here. Nesting: a completion routine that sends the
// next request, to a driver that completes it at once, is entered again on
// the same stack, as deep as the requests go. Depth: on the i386 host build
// the stack below the point where the model calls into the driver is
// painted, and a driver that reaches more than 6 KB below it (half the real
// stack, since the host build's frames are not the image's) is reported.
#include "model.h"

#include <algorithm>
#include <cstring>

namespace km::detail {
namespace {

constexpr int kMaxNesting = 8;

#if defined(__i386__) && !defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasureDepth = true;
#else
constexpr bool kMeasureDepth = false; // frames of other builds differ, and sanitizers own the stack
#endif
constexpr size_t kDepthLimit = 6 * 1024;
constexpr size_t kPainted = 6 * 1024; // from kDepthLimit down
constexpr uint32_t kPaint = 0x5AC3A55Cu;

uint32_t *PaintedBase(uintptr_t entry)
{
    return reinterpret_cast<uint32_t *>((entry - kDepthLimit - kPainted) & ~uintptr_t(3));
}

} // namespace

// Only the band below the limit is painted: whatever the driver writes there
// (its frames, or the model's while it serves the driver) is beyond it.
__attribute__((noinline)) void PaintStackBelow(uintptr_t entry)
{
    if (!kMeasureDepth || !InContext()) {
        return;
    }
    uint32_t *base = PaintedBase(entry);
    std::fill(base, base + kPainted / sizeof(uint32_t), kPaint);
}

__attribute__((noinline)) void MeasureStackBelow(uintptr_t entry)
{
    if (!kMeasureDepth || !InContext()) {
        return;
    }
    uint32_t *base = PaintedBase(entry);
    uint32_t *end = base + kPainted / sizeof(uint32_t);
    uint32_t *touched = std::find_if(base, end, [](uint32_t word) { return word != kPaint; });
    if (touched == end) {
        return;
    }
    size_t depth = entry - reinterpret_cast<uintptr_t>(touched);
    Violate("STACK_DEPTH", "driver code used " + std::to_string(depth) + " bytes of kernel stack below the point " +
                               "where the kernel called it (more than " + std::to_string(kDepthLimit) +
                               " on the host build is more than half of a 12 KB kernel stack on i386)");
}

void EnterCompletion(PDRIVER_OBJECT driver)
{
    std::vector<PDRIVER_OBJECT> &completing = Current()->completing;
    completing.push_back(driver);
    if (driver != nullptr && std::count(completing.begin(), completing.end(), driver) > kMaxNesting) {
        Violate("STACK_NESTING", km::Narrow(km::Wide(driver->DriverName)) +
                                     "'s completion routine is entered more than " + std::to_string(kMaxNesting) +
                                     " times on one stack: each completion sends the next request, which is "
                                     "completed at once; on a 12 KB kernel stack this overflows");
    }
}

void LeaveCompletion()
{
    Current()->completing.pop_back();
}

} // namespace km::detail

bool km::ChecksStackDepth()
{
    return km::detail::kMeasureDepth;
}
