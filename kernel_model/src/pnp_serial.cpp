// The PnP manager's one-at-a-time rule: Windows runs PnP operations
// (enumeration, start, stop, removal) from a single worker, so a driver never
// sees two of them on a device tree at once. Here every operation holds one
// kernel-wide PnP lock; an operation started while another runs (an
// IoInvalidateDeviceRelations from a bus driver, a last close that ends a
// surprise removal) waits its turn in arrival order. The lock is recursive
// for the context that holds it, since a sequence such as removal is built
// from single requests.
#include "model.h"

namespace km::detail {
namespace {

struct PnpLock {
    Context *owner = nullptr;
    int depth = 0;
    std::string what; // the operation running, for deadlock reports
};

PnpLock &L()
{
    static PnpLock lock;
    return lock;
}

} // namespace

PnpOperation::PnpOperation(const char *what)
{
    PnpLock &lock = L();
    Context *self = Current();
    while (lock.owner != nullptr && lock.owner != self) {
        if (lock.owner->state == ContextState::Dead) {
            lock = PnpLock(); // its holder broke a rule and never runs again
            break;
        }
        if (!Block(&lock, std::string("the PnP manager (busy with ") + lock.what + " in " + lock.owner->name + ")")) {
            break;
        }
    }
    if (lock.owner != self) {
        lock.owner = self;
        lock.what = what;
        Trace(std::string("PnP operation begins: ") + what);
    }
    ++lock.depth;
}

PnpOperation::~PnpOperation()
{
    PnpLock &lock = L();
    if (--lock.depth > 0) {
        return;
    }
    Trace("PnP operation ends: " + lock.what);
    lock.owner = nullptr;
    lock.what.clear();
    // The next operation in arrival order.
    Context *next = FirstWaiter(&lock);
    if (next != nullptr) {
        next->satisfied = true;
        WakeOne(next);
    }
}

void ResetPnpLock()
{
    L() = PnpLock();
}

} // namespace km::detail
