// What the generator, the runner and the sweeps share.
#pragma once

#include <km/nt.h>

#include <cstdint>

namespace stress {

// splitmix64: cheap, and the same sequence on every architecture.
struct Rng {
    explicit Rng(uint64_t seed) : state(seed)
    {
    }
    uint64_t Next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n)
    {
        return static_cast<uint32_t>(Next() % n);
    }
    bool Chance(uint32_t percent)
    {
        return Below(100) < percent;
    }
    template <class T, size_t N> T Pick(const T (&items)[N])
    {
        return items[Below(N)];
    }
    uint64_t state;
};

// What the modem's failed transfers end with: the request's status and the
// URB's.
struct FailStatus {
    NTSTATUS status;
    USBD_STATUS usbd;
};
extern const FailStatus FailStatuses[];
extern const uint32_t FailStatusCount;

// Bytes a scenario writes, and sends from the modem, at most: both stay below
// the modem's queues, so that every byte is accounted for.
const uint32_t WriteBudget = 50000;
const uint32_t DataBudget = 60000;

} // namespace stress
