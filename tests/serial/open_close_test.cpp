// Open, close, cleanup and flush of the port on the simulated modem, as an
// application sees them.
#include "tests/support/modem_port_fixture.h"

#include <gtest/gtest.h>

namespace {

using OpenCloseTest = ModemPortFixture;

TEST_F(OpenCloseTest, PortStartsOnTheModemsChildWithItsPipes)
{
    EXPECT_EQ(fdo, km::TopOfStack(pdo));
    EXPECT_EQ(km::Wide(ext->DeviceName), km::LinkTarget(PortLink));
    EXPECT_NE(nullptr, ext->BulkInPipe);
    EXPECT_NE(ext->BulkInPipe, ext->BulkOutPipe);
    EXPECT_EQ(1u, Modem().Status().ChildStarted);
}

} // namespace

namespace {
TEST_F(OpenCloseTest, Smoke)
{
    ASSERT_EQ(STATUS_SUCCESS, Open());
    Send("hello");
    km::Request *r = ReadAndWait(100);
    EXPECT_EQ(STATUS_SUCCESS, r->status);
    EXPECT_EQ("hello", Bytes(r));
    km::Request *w = Read(100);
    EXPECT_FALSE(w->completed);
    Send("abc");
    EXPECT_TRUE(w->completed);
    EXPECT_EQ("abc", Bytes(w));
    EXPECT_EQ(STATUS_SUCCESS, Close());
}
} // namespace
