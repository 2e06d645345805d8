// The serial control requests on the port, as an application's comm calls
// send them: stored settings with their checks, the emulated modem lines,
// wait masks, purges, statistics and the communication status.
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ControlTest : public ModemPortFixture {
protected:
    void SetUp() override
    {
        ModemPortFixture::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, Open());
        km::RunUntilIdle();
    }

    template <class T> km::Request *Set(ULONG code, const T &input, ULONG inLength = sizeof(T))
    {
        return Control(code, &input, inLength);
    }

    km::Request *Get(ULONG code, ULONG outLength)
    {
        return Control(code, nullptr, 0, outLength);
    }

    template <class T> static T Output(const km::Request *request)
    {
        T value{};
        EXPECT_EQ(sizeof(T), request->output.size());
        std::memcpy(&value, request->output.data(), std::min(sizeof(T), request->output.size()));
        return value;
    }

    SERIAL_STATUS CommStatus()
    {
        km::Request *status = Get(IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS));
        EXPECT_EQ(STATUS_SUCCESS, status->Reported());
        return Output<SERIAL_STATUS>(status);
    }

    ULONG BaudRate()
    {
        return Output<ULONG>(Get(IOCTL_SERIAL_GET_BAUD_RATE, sizeof(ULONG)));
    }
};

// Every value the tables accept is stored and handed back; a refused value
// changes nothing.
TEST_F(ControlTest, BaudRateAndLineControlAreChecked)
{
    EXPECT_EQ(115200u, BaudRate()) << "the default of every open";
    for (ULONG rate :
         {300u, 600u, 1200u, 1800u, 2400u, 4800u, 7200u, 9600u, 14400u, 19200u, 38400u, 57600u, 115200u, 128000u}) {
        EXPECT_EQ(STATUS_SUCCESS, Set<ULONG>(IOCTL_SERIAL_SET_BAUD_RATE, rate)->Reported()) << rate;
        EXPECT_EQ(rate, BaudRate());
    }
    for (ULONG refused : {230400u, 110u, 56000u, 0u}) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Set<ULONG>(IOCTL_SERIAL_SET_BAUD_RATE, refused)->Reported());
    }
    EXPECT_EQ(128000u, BaudRate());

    for (UCHAR stop = STOP_BIT_1; stop <= STOP_BITS_2; ++stop) {
        for (UCHAR parity = NO_PARITY; parity <= SPACE_PARITY; ++parity) {
            for (UCHAR word = 5; word <= 8; ++word) {
                SERIAL_LINE_CONTROL line = {stop, parity, word};
                EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_LINE_CONTROL, line)->Reported());
                SERIAL_LINE_CONTROL stored =
                    Output<SERIAL_LINE_CONTROL>(Get(IOCTL_SERIAL_GET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)));
                EXPECT_EQ(0, std::memcmp(&line, &stored, sizeof(line))) << int(stop) << int(parity) << int(word);
            }
        }
    }
    const SERIAL_LINE_CONTROL refused[] = {
        {STOP_BIT_1, NO_PARITY, 4}, {STOP_BIT_1, NO_PARITY, 9}, {3, NO_PARITY, 8}, {STOP_BIT_1, 5, 8}};
    for (const SERIAL_LINE_CONTROL &bad : refused) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Set(IOCTL_SERIAL_SET_LINE_CONTROL, bad)->Reported());
    }
    SERIAL_LINE_CONTROL last = {STOP_BITS_2, SPACE_PARITY, 8};
    SERIAL_LINE_CONTROL stored =
        Output<SERIAL_LINE_CONTROL>(Get(IOCTL_SERIAL_GET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)));
    EXPECT_EQ(0, std::memcmp(&last, &stored, sizeof(last)));
}

// Each code with a size takes a buffer of exactly its size and refuses one
// byte less, reporting nothing; what a setting stores comes back whole, but
// for the handflow limits, which are kept.
TEST_F(ControlTest, SizesAtTheirLimitAndSettingsWhole)
{
    struct Sized {
        ULONG code;
        ULONG in;  // the input the code needs
        ULONG out; // the output it needs
        ULONG information;
        const void *input = nullptr; // a valid one, when zeros are not
    };
    const ULONG rate = 9600;
    const SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    const Sized codes[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, 0, &rate},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, 0, &line},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, 0},
        {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, 20},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, 4},
        {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, 4},
        {IOCTL_SERIAL_PURGE, 4, 0, 4},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, 4},
        {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, 3},
        {IOCTL_SERIAL_GET_CHARS, 0, 6, 6},
        {IOCTL_SERIAL_SET_CHARS, 6, 0, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, 16},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, 0},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, 4},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, 20},
        {IOCTL_SERIAL_GET_STATS, 0, 24, 24},
    };
    const UCHAR zeros[24] = {};
    for (const Sized &c : codes) {
        const void *input = c.input != nullptr ? c.input : zeros;
        SCOPED_TRACE(testing::Message() << "function " << ((c.code >> 2) & 0xFFF));
        ULONG in = c.in != 0 ? c.in - 1 : 0;
        ULONG out = c.in != 0 ? c.out : c.out - 1;
        km::Request *small = Control(c.code, input, in, out);
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, small->Reported());
        EXPECT_EQ(0u, small->information);
        km::Request *exact = Control(c.code, input, c.in, c.out);
        EXPECT_EQ(STATUS_SUCCESS, exact->Reported());
        EXPECT_EQ(c.information, exact->information);
    }

    const SERIAL_CHARS chars = {'e', 'r', 'b', 'v', 0x11, 0x13};
    EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_CHARS, chars)->Reported());
    SERIAL_CHARS storedChars = Output<SERIAL_CHARS>(Get(IOCTL_SERIAL_GET_CHARS, sizeof(SERIAL_CHARS)));
    EXPECT_EQ(0, std::memcmp(&chars, &storedChars, sizeof(chars)));
    // Handflow takes the handshake and replacement bits but keeps its limits.
    UnderLock([&] { ext->HandFlow = {0, 0, 100, 200}; });
    const SERIAL_HANDFLOW flow = {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 1, 2};
    EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_HANDFLOW, flow)->Reported());
    const SERIAL_HANDFLOW kept = {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 100, 200};
    SERIAL_HANDFLOW storedFlow = Output<SERIAL_HANDFLOW>(Get(IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW)));
    EXPECT_EQ(0, std::memcmp(&kept, &storedFlow, sizeof(kept)));
    const SERIAL_TIMEOUTS timeouts = {1, 2, 3, 4, 5};
    EXPECT_EQ(STATUS_SUCCESS, Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts)->Reported());
    SERIAL_TIMEOUTS storedTimeouts = Output<SERIAL_TIMEOUTS>(Get(IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS)));
    EXPECT_EQ(0, std::memcmp(&timeouts, &storedTimeouts, sizeof(timeouts)));
}

// DTR shows as DSR; RTS as CTS and DCD. A line that changes raises its event
// when the mask asks for it, as a standard port's lines do: a pending wait
// hears of it at once, a later one from the history.
TEST_F(ControlTest, ModemLinesFollowDtrAndRtsAndRaiseTheirEvents)
{
    auto lines = [&] { return Output<ULONG>(Get(IOCTL_SERIAL_GET_MODEMSTATUS, sizeof(ULONG))); };
    // With EV_RXCHAR, which no line raises.
    const ULONG mask = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RXCHAR;
    EXPECT_EQ(STATUS_SUCCESS, Set<ULONG>(IOCTL_SERIAL_SET_WAIT_MASK, mask)->Reported());
    struct Step {
        ULONG code;
        ULONG lines;
        ULONG events;
    };
    const Step steps[] = {
        {IOCTL_SERIAL_SET_DTR, 0x20, SERIAL_EV_DSR},
        {IOCTL_SERIAL_SET_RTS, 0xB0, SERIAL_EV_CTS | SERIAL_EV_RLSD},
        {IOCTL_SERIAL_SET_RTS, 0xB0, 0},
        {IOCTL_SERIAL_CLR_RTS, 0x20, SERIAL_EV_CTS | SERIAL_EV_RLSD},
        {IOCTL_SERIAL_CLR_DTR, 0, SERIAL_EV_DSR},
    };
    EXPECT_EQ(0u, lines());
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
        SCOPED_TRACE(i);
        // Every other step with the wait already pending.
        km::Request *wait = i % 2 != 0 ? Get(IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG)) : nullptr;
        EXPECT_EQ(STATUS_SUCCESS, Get(steps[i].code, 0)->Reported());
        EXPECT_EQ(steps[i].lines, lines());
        if (wait == nullptr) {
            wait = Get(IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG));
        }
        if (steps[i].events == 0) {
            EXPECT_FALSE(wait->completed) << "an event without a change";
            EXPECT_EQ(STATUS_SUCCESS, Set<ULONG>(IOCTL_SERIAL_SET_WAIT_MASK, mask)->Reported());
        } else {
            ASSERT_TRUE(wait->completed);
            EXPECT_EQ(steps[i].events, Output<ULONG>(wait));
        }
    }
    EXPECT_EQ(STATUS_SUCCESS, Set<ULONG>(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_DSR)->Reported());
    EXPECT_EQ(STATUS_SUCCESS, Get(IOCTL_SERIAL_SET_RTS, 0)->Reported());
    EXPECT_EQ(0u, ext->EventHistory) << "an event the mask does not ask for";
}

// A new mask ends the pending wait with no event; a mask beyond the known
// events is refused and leaves the wait alone.
TEST_F(ControlTest, WaitMaskLimitsAndThePendingWait)
{
    EXPECT_EQ(STATUS_SUCCESS, Set<ULONG>(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR)->Reported());
    km::Request *wait = Get(IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG));
    EXPECT_FALSE(wait->completed);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Get(IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG))->Reported()) << "a second wait";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Set<ULONG>(IOCTL_SERIAL_SET_WAIT_MASK, 0x2000)->Reported());
    EXPECT_FALSE(wait->completed);
    EXPECT_EQ(STATUS_SUCCESS, Set<ULONG>(IOCTL_SERIAL_SET_WAIT_MASK, 0x1FFF)->Reported());
    ASSERT_TRUE(wait->completed);
    EXPECT_EQ(STATUS_SUCCESS, wait->status);
    EXPECT_EQ(0u, Output<ULONG>(wait));
    EXPECT_EQ(0x1FFFu, Output<ULONG>(Get(IOCTL_SERIAL_GET_WAIT_MASK, sizeof(ULONG))));

    // A wait already cancelled when it arrives was marked pending as it was
    // queued: the dispatch answers STATUS_PENDING, and it ends cancelled.
    km::Request *cancelled =
        km::NewRequest(fdo, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    cancelled->irp->Cancel = TRUE;
    NTSTATUS returned = STATUS_SUCCESS;
    km::Run([&] { returned = km::Dispatch(cancelled); });
    EXPECT_EQ(STATUS_PENDING, returned);
    EXPECT_EQ(STATUS_CANCELLED, cancelled->status);
    EXPECT_EQ(0, RemoveLockHolds());
}

// Purge acts by its bits; it reports 4 bytes, but never more than the
// caller's output buffer holds.
TEST_F(ControlTest, PurgeByItsBits)
{
    Send("abc");
    EXPECT_EQ(3u, CommStatus().AmountInInQueue);
    const ULONG txClearBit = SERIAL_PURGE_TXCLEAR;
    km::Request *txClear = Control(IOCTL_SERIAL_PURGE, &txClearBit, 4, 4);
    EXPECT_EQ(STATUS_SUCCESS, txClear->Reported());
    EXPECT_EQ(4u, txClear->information);
    EXPECT_EQ(3u, CommStatus().AmountInInQueue) << "TXCLEAR does nothing";

    km::Request *rxClear = Set<ULONG>(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR);
    EXPECT_EQ(STATUS_SUCCESS, rxClear->Reported());
    EXPECT_EQ(4u, rxClear->information) << "no output buffer, nothing copied back";
    EXPECT_EQ(0u, CommStatus().AmountInInQueue);
    Send("d");
    EXPECT_EQ(1u, CommStatus().AmountInInQueue);

    km::Request *read = Read(10);
    ASSERT_TRUE(read->completed) << "the byte was there";
    SetReadTimeouts(0, 0, 1000);
    read = Read(10);
    EXPECT_FALSE(read->completed);
    const ULONG rxAbortBit = SERIAL_PURGE_RXABORT;
    km::Request *rxAbort = Control(IOCTL_SERIAL_PURGE, &rxAbortBit, 4, 3);
    EXPECT_EQ(STATUS_SUCCESS, rxAbort->Reported());
    EXPECT_EQ(0u, rxAbort->information) << "a 3-byte output buffer cannot take 4";
    EXPECT_EQ(STATUS_CANCELLED, read->status);
}

// A receive purge takes Lock, as the completion of a transfer does while it
// fills the ring: the two come one after the other, whichever first, and the
// ring is never left half emptied, with a count that its indexes do not match.
TEST_F(ControlTest, AReceivePurgeRacingATransfer)
{
    TakeAllDown();
    auto seen = ForEachSeed(
        200,
        [&](uint64_t seed) -> std::string {
            Send("0123456789");
            EXPECT_EQ("0123", Bytes(Read(4))) << "the ring does not start at its beginning";
            ModemClient modem = Modem().Direct();
            km::Spawn([&] { modem.Queue("abc"); }, "modem");
            km::Spawn(
                [&, seed] {
                    PassSwitchPoints(seed % 10);
                    const ULONG rxClear = SERIAL_PURGE_RXCLEAR;
                    km::IoctlAsync(handle, IOCTL_SERIAL_PURGE, &rxClear, sizeof(rxClear), 0);
                },
                "application");
            km::RunUntilIdle();
            ULONG count = static_cast<ULONG>(ext->RingCount);
            std::string left = Bytes(Read(100));
            EXPECT_EQ(count, left.size());
            EXPECT_TRUE(left.empty() || left == "abc") << left;
            return left.empty() ? "purged after the transfer" : "purged before the transfer";
        },
        2);
    EXPECT_EQ(2u, seen.size()) << Describe(seen);
}

// Statistics count what went each way. A full ring holds the modem back rather
// than drop bytes; bytes that arrive with no room for them (the ring filled
// behind a transfer in flight, which only a test can do) are dropped and
// counted, and the overrun shows once in the communication status.
TEST_F(ControlTest, StatisticsAndReceiveOverrun)
{
    UnderLock([&] { ext->RingHead = ext->RingTail = RING_CAPACITY - 3; }); // across the end of the storage
    Send("hello");
    ASSERT_EQ("hello", Bytes(ReadAndWait(10)));
    Write("xy");
    km::RunUntilIdle();
    SERIALPERF_STATS stats = Output<SERIALPERF_STATS>(Get(IOCTL_SERIAL_GET_STATS, sizeof(SERIALPERF_STATS)));
    EXPECT_EQ(5u, stats.ReceivedCount);
    EXPECT_EQ(2u, stats.TransmittedCount);
    EXPECT_EQ(0u, stats.BufferOverrunErrorCount);

    // 1000 bytes more than the ring holds, with nobody reading.
    ASSERT_EQ(STATUS_SUCCESS, Modem().Generate(RING_CAPACITY + 1000));
    km::RunUntilIdle();
    EXPECT_EQ(0u, CommStatus().Errors);
    EXPECT_EQ(1000u, Modem().Status().HostQueued);
    // The purge makes room: the loop takes the 1000 bytes held, then waits
    // with a transfer in flight while the ring fills with 2000 bytes to spare.
    ASSERT_EQ(STATUS_SUCCESS, Set<ULONG>(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR)->Reported());
    km::RunUntilIdle();
    EXPECT_EQ(1000, ext->RingCount);
    std::vector<UCHAR> filler(RING_CAPACITY);
    ULONG taken = 0;
    UnderLock([&] { port.RingPut(ext, filler.data(), RING_CAPACITY - 3000, &taken); });
    Send(std::string(3000, 'o'));
    SERIAL_STATUS status = CommStatus();
    EXPECT_EQ(static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN), status.Errors);
    EXPECT_EQ(static_cast<ULONG>(RING_CAPACITY), status.AmountInInQueue);
    EXPECT_EQ(0u, CommStatus().Errors) << "reported once";
    stats = Output<SERIALPERF_STATS>(Get(IOCTL_SERIAL_GET_STATS, sizeof(SERIALPERF_STATS)));
    EXPECT_EQ(1000u, stats.BufferOverrunErrorCount);

    EXPECT_EQ(STATUS_SUCCESS, Get(IOCTL_SERIAL_CLEAR_STATS, 0)->Reported());
    stats = Output<SERIALPERF_STATS>(Get(IOCTL_SERIAL_GET_STATS, sizeof(SERIALPERF_STATS)));
    SERIALPERF_STATS zero = {};
    EXPECT_EQ(0, std::memcmp(&zero, &stats, sizeof(stats)));
}

// The codes that do nothing succeed with nothing to report; unknown codes,
// the comm-config pair among them, are refused.
TEST_F(ControlTest, AcceptedAndUnknownCodes)
{
    for (ULONG code :
         {IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_RESET_DEVICE,
          IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_GET_PROPERTIES,
          IOCTL_SERIAL_GET_DTRRTS, IOCTL_SERIAL_LSRMST_INSERT, IOCTL_SERIAL_CONFIG_SIZE, IOCTL_SERIAL_GET_MODEM_CONTROL,
          IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL}) {
        km::Request *request = Get(code, 64);
        EXPECT_EQ(STATUS_SUCCESS, request->Reported()) << code;
        EXPECT_EQ(0u, request->information) << code;
    }
    const ULONG getCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS);
    const ULONG foreign = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
    for (ULONG code : {getCommConfig, foreign}) {
        km::Request *request = Get(code, 64);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, request->Reported());
        EXPECT_EQ(0u, request->information);
    }
}

// On a device marked failed only the communication status is served, and it
// tells of the failure; every other code is refused and the noted events go.
TEST_F(ControlTest, AFailedDeviceAnswersOnlyTheStatus)
{
    Send("abc");
    ASSERT_EQ(STATUS_SUCCESS,
              Modem().Fail(MODEM_PIPE_BULK_IN, 1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING));
    km::RunUntilIdle();
    ASSERT_EQ(FAILURE_MARKER_FAILED, ext->FailureMarker);
    SERIAL_STATUS status = CommStatus();
    EXPECT_EQ(31u, status.Errors);
    EXPECT_EQ(0u, status.AmountInInQueue);
    UnderLock([&] { ext->EventHistory = SERIAL_EV_RXCHAR; });
    km::Request *refused = Get(IOCTL_SERIAL_GET_BAUD_RATE, sizeof(ULONG));
    EXPECT_EQ(STATUS_DELETE_PENDING, refused->Reported());
    EXPECT_EQ(0u, refused->information);
    EXPECT_EQ(0u, ext->EventHistory);
}

// Control requests need an open port: none after the cleanup, nor once it is
// closed. A wait admitted just before the cleanup (the test plays the
// dispatcher's halves on each side of it) is refused as it is queued: the
// cleanup that would have ended it has run, and the close would never come.
TEST_F(ControlTest, OnlyAnOpenPortAnswers)
{
    km::Request *wait = km::NewRequest(fdo, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    EXPECT_EQ(STATUS_SUCCESS, Set<ULONG>(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR)->Reported());
    km::Run([&] { ASSERT_EQ(STATUS_SUCCESS, port.AcquireRemoveLock(ext, wait->irp)); });
    ASSERT_TRUE(ext->PortOpen) << "admitted on the open port";
    ASSERT_EQ(STATUS_SUCCESS, Cleanup());
    NTSTATUS queued = STATUS_PENDING;
    km::Run([&] { queued = port.WaitOnMask(ext, wait->irp); });
    if (queued == STATUS_PENDING) {
        ADD_FAILURE() << "queued after the cleanup, with nothing left to end it";
        Cancel(wait);
    } else {
        EXPECT_EQ(STATUS_CANCELLED, queued);
        km::Run([&] {
            port.CompleteRequest(wait->irp, queued);
            port.ReleaseRemoveLock(ext, wait->irp);
        });
    }
    EXPECT_EQ(STATUS_SUCCESS, Close());
    ASSERT_EQ(STATUS_SUCCESS, Open());

    ASSERT_EQ(STATUS_SUCCESS, Cleanup());
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Get(IOCTL_SERIAL_GET_BAUD_RATE, sizeof(ULONG))->Reported());
    EXPECT_EQ(STATUS_SUCCESS, Close());

    km::Request *early = km::NewRequest(fdo, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 4);
    km::Run([&] { km::Dispatch(early); });
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, early->Reported());
    EXPECT_EQ(0, RemoveLockHolds());
}

} // namespace
