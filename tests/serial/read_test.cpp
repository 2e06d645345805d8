// Reads on the open port: served from the ring at once, or waiting, one at a
// time, for the next transfer or for the total timeout the serial timeouts
// give, measured on the virtual clock.
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

namespace {

const ULONG Max = 0xFFFFFFFF;

class ReadTest : public ModemPortCompletionTest {
protected:
    void SetUp() override
    {
        ModemPortCompletionTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Open());
        km::RunUntilIdle();
    }

    static void ExpectEnded(const km::Request *read, NTSTATUS status, const std::string &bytes)
    {
        EXPECT_TRUE(read->completed);
        EXPECT_EQ(1, read->completions);
        EXPECT_EQ(status, read->status);
        EXPECT_EQ(bytes, Bytes(read));
        EXPECT_EQ(bytes.size(), read->information);
    }
};

// With the timeouts all zero a read on an empty ring waits without a timer,
// until the next good transfer: with bytes, or with none (STATUS_TIMEOUT, a
// success). A failed transfer leaves it waiting.
TEST_P(ReadTest, AWaitingReadEndsWithTheNextGoodTransfer)
{
    km::Request *read = Read(100);
    km::AdvanceMs(3600 * 1000);
    EXPECT_FALSE(read->completed);
    Send("hello");
    ExpectEnded(read, STATUS_SUCCESS, "hello");

    read = Read(100);
    ASSERT_EQ(STATUS_SUCCESS, Modem().Fail(MODEM_PIPE_BULK_IN, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    km::RunUntilIdle();
    EXPECT_FALSE(read->completed);
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending) << "the failed transfer was retried";
    ASSERT_EQ(STATUS_SUCCESS, Modem().Short(MODEM_PIPE_BULK_IN, 1, 0));
    km::RunUntilIdle();
    ExpectEnded(read, STATUS_TIMEOUT, "");
    EXPECT_EQ(0u, ext->ReadRemaining);
    EXPECT_EQ(1u, Pipe(MODEM_PIPE_BULK_IN).Pending) << "an empty transfer is followed by the next";
}

// What a read on an empty ring does under a row's timeouts.
enum class Wait { AtOnce, Forever, Timed };

struct TimeoutRow {
    ULONG interval, multiplier, constant, length;
    Wait wait;
    ULONG ms; // for Wait::Timed
};

// The table of the total timeouts, MAXULONG cases included, and the
// saturation of a product far beyond any real time.
TEST_P(ReadTest, TotalTimeoutsAsTheTimeoutsSay)
{
    const TimeoutRow rows[] = {
        {Max, 0, 0, 20, Wait::AtOnce, 0},      {Max, 7, Max, 20, Wait::Forever, 0},
        {Max, Max, 500, 20, Wait::Timed, 500}, {Max, 0, 250, 20, Wait::Timed, 250},
        {Max, 10, 100, 20, Wait::Timed, 300},  {Max, Max, 0, 20, Wait::Timed, 0},
        {50, 0, 0, 20, Wait::Forever, 0},      {0, 0, 0, 20, Wait::Forever, 0},
        {0, 10, 100, 20, Wait::Timed, 300},    {0, 0, 7, 20, Wait::Timed, 7},
        {5, Max, 0, 1, Wait::Timed, Max},
    };
    for (const TimeoutRow &row : rows) {
        SCOPED_TRACE(testing::Message() << "interval " << row.interval << ", multiplier " << row.multiplier
                                        << ", constant " << row.constant);
        SetReadTimeouts(row.interval, row.multiplier, row.constant);
        km::Request *read = Read(row.length);
        switch (row.wait) {
        case Wait::AtOnce:
            ExpectEnded(read, STATUS_SUCCESS, "");
            break;
        case Wait::Forever:
            // Longer than the 49.7 days of a MAXULONG constant taken as a number.
            EXPECT_EQ(ReadTimerIdle, ext->ReadTimerState) << "a timer for a read that waits for ever";
            km::AdvanceMs(50LL * 24 * 3600 * 1000);
            EXPECT_FALSE(read->completed);
            EXPECT_TRUE(Cancel(read));
            EXPECT_EQ(STATUS_CANCELLED, read->status);
            break;
        case Wait::Timed:
            if (row.ms > 0) {
                km::AdvanceMs(row.ms - 1LL);
                EXPECT_FALSE(read->completed);
                km::AdvanceMs(1);
            }
            km::RunUntilIdle();
            ExpectEnded(read, STATUS_TIMEOUT, "");
            break;
        }
    }

    // 2^20 bytes at MAXULONG ms each, plus MAXULONG: armed at 2^40 ms.
    SetReadTimeouts(0, Max, Max);
    km::Request *read = Read(1u << 20);
    km::AdvanceMs((1LL << 40) - 1);
    EXPECT_FALSE(read->completed) << "the due time wrapped into the past";
    km::AdvanceMs(1);
    ExpectEnded(read, STATUS_TIMEOUT, "");
    EXPECT_EQ(2, ext->OutstandingIo) << "the base count and the pending transfer";
}

// A second read while one waits ends at once with nothing, and the waiting
// read keeps its timer; so does a read of no length.
TEST_P(ReadTest, ASecondReadLeavesTheWaitingReadItsTimer)
{
    SetReadTimeouts(Max, Max, 500);
    km::Request *first = Read(10);
    km::AdvanceMs(200);
    ExpectEnded(Read(10), STATUS_SUCCESS, "");
    ExpectEnded(Read(0), STATUS_SUCCESS, "");
    km::AdvanceMs(299);
    EXPECT_FALSE(first->completed);
    km::AdvanceMs(1);
    ExpectEnded(first, STATUS_TIMEOUT, "");
}

// A cancelled read ends with nothing (its byte count written, not left), and
// its timer goes with it, leaving no count for close. One already cancelled
// when it is queued is answered STATUS_PENDING (marked so) and ends cancelled.
TEST_P(ReadTest, ACancelledReadEndsWithoutDataAndTakesItsTimer)
{
    km::Request *early = km::NewRequest(fdo, IRP_MJ_READ, 0, nullptr, 0, 10);
    early->irp->Cancel = TRUE;
    km::Run([&] { km::Dispatch(early); });
    EXPECT_EQ(STATUS_PENDING, early->returned);
    ExpectEnded(early, STATUS_CANCELLED, "");
    EXPECT_TRUE(IsListEmpty(&ext->ReadQueue));

    SetReadTimeouts(0, 0, 500);
    km::Request *read = Read(10);
    ASSERT_FALSE(read->completed);
    EXPECT_EQ(4, ext->OutstandingIo) << "base, transfer, read and its timer";
    read->irp->IoStatus.Information = 0xDEAD;
    km::AdvanceMs(100);
    EXPECT_TRUE(Cancel(read));
    ExpectEnded(read, STATUS_CANCELLED, "");
    EXPECT_EQ(2, ext->OutstandingIo);
    km::AdvanceMs(1000);
    EXPECT_EQ(0, RemoveLockHolds());
}

INSTANTIATE_COMPLETION_MODES(ReadTest);

} // namespace
