// The lock-order validator: every "A held while taking B" is remembered; a
// new edge that closes a cycle is a violation, even when this run did not
// deadlock, because another interleaving would.
#include "model.h"

namespace km::detail {
namespace {

struct LockGraph {
    std::map<const void *, std::set<const void *>> after; // A -> every B taken while A held
    std::map<const void *, const char *> kinds;           // "spin lock", "fast mutex"
};

LockGraph &G()
{
    static LockGraph g;
    return g;
}

bool Reaches(const void *from, const void *to, std::set<const void *> &seen)
{
    if (from == to) {
        return true;
    }
    if (!seen.insert(from).second) {
        return false;
    }
    auto edges = G().after.find(from);
    if (edges == G().after.end()) {
        return false;
    }
    for (const void *next : edges->second) {
        if (Reaches(next, to, seen)) {
            return true;
        }
    }
    return false;
}

// Named only for a report, when both locks of the edge are in use.
std::string Name(const void *lock)
{
    if (lock == &g_cancelSpinLock) {
        return "the cancel spin lock";
    }
    auto found = G().kinds.find(lock);
    return (found == G().kinds.end() ? std::string() : std::string(found->second) + " ") + DescribeAddress(lock);
}

} // namespace

void NoteLockOrder(const void *lock, const char *kind)
{
    LockGraph &g = G();
    g.kinds[lock] = kind;
    for (const void *held : Current()->held) {
        if (held == lock || g.after[held].count(lock) != 0) {
            continue;
        }
        std::set<const void *> seen;
        if (Reaches(lock, held, seen)) {
            Violate("LOCK_ORDER", Name(held) + " held while taking " + Name(lock) + ", but elsewhere " + Name(lock) +
                                      " was held while taking " + Name(held));
            return;
        }
        g.after[held].insert(lock);
    }
}

void ForgetLocksIn(const void *begin, size_t bytes)
{
    auto inside = [begin, bytes](const void *p) { return AddressIn(p, begin, bytes); };
    LockGraph &g = G();
    for (auto it = g.after.begin(); it != g.after.end();) {
        if (inside(it->first)) {
            it = g.after.erase(it);
            continue;
        }
        for (auto e = it->second.begin(); e != it->second.end();) {
            e = inside(*e) ? it->second.erase(e) : std::next(e);
        }
        ++it;
    }
    for (auto it = g.kinds.begin(); it != g.kinds.end();) {
        it = inside(it->first) ? g.kinds.erase(it) : std::next(it);
    }
}

void ResetLockOrder()
{
    G().after.clear();
    G().kinds.clear();
}

} // namespace km::detail
