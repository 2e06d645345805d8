// The receive ring: wrap-around at the end of its 1,024,000-byte storage,
// exact fullness, refusals when full or empty, and reset.
#include "tests/ring_wait/ring_wait_fixture.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace {

// The capacity is not a multiple of 256, but a byte pattern with a short period
// could still hide an off-by-capacity copy: use pseudo-random bytes.
std::vector<UCHAR> Bytes(size_t n, uint32_t seed)
{
    std::vector<UCHAR> bytes(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<UCHAR>(x >> 24);
    }
    return bytes;
}

class RingTest : public PortTest {
protected:
    struct Result {
        NTSTATUS status;
        ULONG count;
    };

    Result Put(const std::vector<UCHAR> &bytes)
    {
        Result r = {STATUS_PENDING, 0xDEAD};
        UnderLock([&] { r.status = port.RingPut(ext, bytes.data(), bytes.size(), &r.count); });
        return r;
    }

    Result Get(std::vector<UCHAR> *into, ULONG wanted)
    {
        into->assign(wanted, 0xEE);
        Result r = {STATUS_PENDING, 0xDEAD};
        UnderLock([&] { r.status = port.RingGet(ext, into->data(), wanted, &r.count); });
        into->resize(r.count);
        return r;
    }

    // Starts from an empty ring whose indices both stand at `index`.
    void EmptyAt(LONG index)
    {
        ext->RingHead = ext->RingTail = index;
        ext->RingCount = 0;
    }
};

TEST_F(RingTest, PutAndGetAreSplitAtTheEndOfTheStorage)
{
    EmptyAt(RING_CAPACITY - 10);
    auto in = Bytes(25, 1);
    Result put = Put(in);
    EXPECT_EQ(put.status, STATUS_SUCCESS);
    EXPECT_EQ(put.count, 25u);
    EXPECT_EQ(ext->RingHead, 15);
    EXPECT_EQ(port.GetRingCount(ext), 25);
    EXPECT_EQ(std::vector<UCHAR>(ext->Ring + RING_CAPACITY - 10, ext->Ring + RING_CAPACITY),
              std::vector<UCHAR>(in.begin(), in.begin() + 10));
    EXPECT_EQ(std::vector<UCHAR>(ext->Ring, ext->Ring + 15), std::vector<UCHAR>(in.begin() + 10, in.end()));

    std::vector<UCHAR> out;
    Result got = Get(&out, 25);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(out, in);
    EXPECT_EQ(ext->RingTail, 15);
    EXPECT_EQ(port.GetRingCount(ext), 0);

    // An index that lands exactly on the end becomes 0, for both indices.
    EmptyAt(RING_CAPACITY - 10);
    in = Bytes(10, 2);
    EXPECT_EQ(Put(in).count, 10u);
    EXPECT_EQ(ext->RingHead, 0);
    EXPECT_EQ(Get(&out, 10).count, 10u);
    EXPECT_EQ(ext->RingTail, 0);
    EXPECT_EQ(out, in);
}

TEST_F(RingTest, FillsExactlyRefusesWhenFullAndDrainsInOneGet)
{
    auto first = Bytes(RING_CAPACITY - 1000, 3);
    auto transfer = Bytes(TRANSFER_SIZE, 4);
    EXPECT_EQ(Put(first).count, first.size());

    // A transfer larger than the free space is cut to it and still succeeds.
    Result put = Put(transfer);
    EXPECT_EQ(put.status, STATUS_SUCCESS);
    EXPECT_EQ(put.count, 1000u);
    EXPECT_EQ(port.GetRingCount(ext), RING_CAPACITY);
    EXPECT_EQ(ext->RingHead, 0);
    EXPECT_EQ(ext->RingTail, 0);

    // Full: refused, nothing moves, the held bytes stay intact.
    put = Put(Bytes(1, 5));
    EXPECT_EQ(put.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(put.count, 0u);
    EXPECT_EQ(port.GetRingCount(ext), RING_CAPACITY);
    EXPECT_EQ(ext->RingHead, 0);

    // Asking for more than is held delivers everything, oldest first.
    std::vector<UCHAR> out;
    Result got = Get(&out, 2 * RING_CAPACITY);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    ASSERT_EQ(got.count, static_cast<ULONG>(RING_CAPACITY));
    std::vector<UCHAR> expected = first;
    expected.insert(expected.end(), transfer.begin(), transfer.begin() + 1000);
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(port.GetRingCount(ext), 0);

    got = Get(&out, 1);
    EXPECT_EQ(got.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(got.count, 0u);
}

// Many puts and gets of uneven sizes wrap the storage several times; the ring
// must behave as a byte queue bounded by its capacity, with its indices
// consistent after every step.
TEST_F(RingTest, BehavesAsABoundedByteQueueAcrossManyWraps)
{
    std::deque<UCHAR> model;
    uint32_t x = 12345;
    auto next = [&] {
        x = x * 1103515245u + 12345u;
        return x >> 8;
    };
    std::vector<UCHAR> out;
    for (int step = 0; step < 300; ++step) {
        ULONG size = next() % 300000;
        if (next() % 5 < 3) { // more puts than gets, so the ring also runs full
            auto in = Bytes(size, step + 10);
            Result put = Put(in);
            ULONG fits = static_cast<ULONG>(RING_CAPACITY - model.size());
            ASSERT_EQ(put.count, std::min(size, fits)) << "step " << step;
            ASSERT_EQ(put.status, fits == 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS) << "step " << step;
            model.insert(model.end(), in.begin(), in.begin() + put.count);
        } else {
            Result got = Get(&out, size);
            ULONG held = static_cast<ULONG>(model.size());
            ASSERT_EQ(got.count, std::min(size, held)) << "step " << step;
            ASSERT_EQ(got.status, held == 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS) << "step " << step;
            ASSERT_TRUE(std::equal(out.begin(), out.end(), model.begin())) << "step " << step;
            model.erase(model.begin(), model.begin() + got.count);
        }
        ASSERT_EQ(static_cast<size_t>(port.GetRingCount(ext)), model.size());
        ASSERT_GE(ext->RingHead, 0);
        ASSERT_LT(ext->RingHead, RING_CAPACITY);
        ASSERT_EQ(ext->RingHead, (ext->RingTail + ext->RingCount) % RING_CAPACITY) << "step " << step;
    }
}

} // namespace
