// A whole life of the port as a user has it: open, configure, a megabyte
// each way through the echoing modem with a sleep in the middle, close, the
// modem unplugged, the driver unloaded; the verifier silent throughout.
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class LifetimeTest : public ModemPortFixture {
protected:
    template <class T> void Configure(ULONG code, const T &value)
    {
        EXPECT_EQ(STATUS_SUCCESS, Control(code, &value, sizeof(value))->Reported()) << code;
    }

    // Reads until `length` bytes have come, each read ending with what the
    // ring holds.
    std::string ReadExactly(size_t length)
    {
        std::string got;
        for (int reads = 0; got.size() < length && reads < 64; ++reads) {
            km::Request *read = ReadAndWait(static_cast<ULONG>(length - got.size()));
            EXPECT_EQ(STATUS_SUCCESS, read->status);
            got += Bytes(read);
        }
        return got;
    }
};

TEST_F(LifetimeTest, OpenEchoAMegabyteAcrossASleepCloseUnplugUnload)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    Configure<ULONG>(IOCTL_SERIAL_SET_BAUD_RATE, 57600);
    Configure(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8});
    Configure(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 1000, 0, 0});
    Configure<ULONG>(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_SERIAL_SET_DTR)->Reported());
    ASSERT_EQ(STATUS_SUCCESS, Modem().Echo(true));

    const size_t total = 1 << 20;
    const size_t chunk = 16384;
    std::string sent;
    std::string received;
    for (size_t offset = 0; offset < total; offset += chunk) {
        if (offset == total / 2) {
            ASSERT_EQ(STATUS_SUCCESS, km::SystemSleep());
            ASSERT_EQ(STATUS_SUCCESS, km::SystemResume());
            km::RunUntilIdle();
        }
        std::string data = Pattern(chunk, static_cast<unsigned>(offset / chunk));
        km::Request *write = Write(data);
        received += ReadExactly(chunk);
        Wait(write);
        ASSERT_EQ(STATUS_SUCCESS, write->status) << "at " << offset;
        ASSERT_EQ(chunk, write->information);
        sent += data;
    }
    EXPECT_TRUE(sent == received) << "the echo differs from what was written";
    EXPECT_EQ(total, ext->PerfStats.TransmittedCount);
    EXPECT_EQ(total, ext->PerfStats.ReceivedCount);
    EXPECT_EQ(total, Modem().Status().CapturedTotal);

    EXPECT_EQ(STATUS_SUCCESS, Close());
    ASSERT_EQ(STATUS_SUCCESS, Modem().Unplug());
    km::RunUntilIdle();
    EXPECT_FALSE(km::DeviceExists(fdo)) << "surprise removal, then removal";
    UnloadPortDriver();
    EXPECT_TRUE(km::Violations().empty());
}

} // namespace
