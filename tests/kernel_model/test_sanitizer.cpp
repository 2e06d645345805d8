// What the AddressSanitizer build adds to the model's own checks: freed pool
// stays poisoned in the quarantine, so even a read after free, which leaves
// the freed pattern intact for the model to find, stops the program at the
// read.
#include "tests/support/kernel_test.h"

#include <km/nt.h>

#if defined(__SANITIZE_ADDRESS__)

namespace {

class SanitizerTest : public KernelTest {};

TEST_F(SanitizerTest, ReadOfFreedPoolStopsAtTheRead)
{
    EXPECT_DEATH(km::Run([] {
                     volatile char *p = static_cast<char *>(ExAllocatePool(NonPagedPool, 24));
                     ExFreePool(const_cast<char *>(p));
                     (void)p[5];
                 }),
                 "use-after-poison");
}

} // namespace

#endif
