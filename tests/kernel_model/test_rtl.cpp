// Counted strings as AddDevice and the port naming build them: a fixed buffer,
// appends that must not run past its maximum length, numbers in base 10.
#include "tests/support/kernel_test.h"

#include <km/harness.h>

namespace {

class RtlStringTest : public KernelTest {
protected:
    // A string over `buffer` with a maximum length of `bytes`; the buffer is
    // filled with 0xAAAA so that stray writes show.
    UNICODE_STRING Over(wchar_t *buffer, USHORT bytes, size_t capacity)
    {
        for (size_t i = 0; i < capacity; ++i) {
            buffer[i] = 0xAAAA;
        }
        UNICODE_STRING s;
        s.Buffer = buffer;
        s.Length = 0;
        s.MaximumLength = bytes;
        return s;
    }
};

TEST_F(RtlStringTest, AppendsFillTheBufferAndRefuseToOverflowIt)
{
    wchar_t buffer[16];
    UNICODE_STRING s = Over(buffer, 12, 16); // room for six characters
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&s, L"COM"));
    EXPECT_EQ(6, s.Length);
    EXPECT_EQ(0, buffer[3]) << "terminated while there is room";

    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&s, L"1234"));
    EXPECT_EQ(u"COM", km::Wide(s)) << "a refused append changes nothing";

    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"123");
    EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&s, &tail));
    EXPECT_EQ(u"COM123", km::Wide(s));
    EXPECT_EQ(0xAAAA, buffer[6]) << "a full string gets no terminator";
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeStringToString(&s, &tail));

    // A copy is cut at the destination's maximum length.
    wchar_t small[4];
    UNICODE_STRING d = Over(small, 4, 4);
    RtlCopyUnicodeString(&d, &s);
    EXPECT_EQ(u"CO", km::Wide(d));
    EXPECT_EQ(0xAAAA, small[2]);
    RtlCopyUnicodeString(&d, nullptr);
    EXPECT_EQ(0, d.Length);
}

TEST_F(RtlStringTest, InitMeasuresAndNullGivesAnEmptyString)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"\\Device\\ZQEVDODIAG");
    EXPECT_EQ(36, s.Length);
    EXPECT_EQ(38, s.MaximumLength);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(nullptr, s.Buffer);
    EXPECT_EQ(0, s.Length);
    EXPECT_EQ(0, s.MaximumLength);
}

TEST_F(RtlStringTest, IntegersAreWrittenInTheirBaseWithRoomForATerminator)
{
    wchar_t buffer[20];
    UNICODE_STRING s = Over(buffer, 40, 20);
    struct {
        ULONG value;
        ULONG base;
        const char16_t *text;
    } cases[] = {{1, 10, u"1"},         {0, 0, u"0"},   {4294967295u, 10, u"4294967295"},
                 {0xBEEF, 16, u"BEEF"}, {5, 2, u"101"}, {8, 8, u"10"}};
    for (const auto &c : cases) {
        ASSERT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(c.value, c.base, &s)) << c.value;
        EXPECT_EQ(c.text, km::Wide(s));
        EXPECT_EQ(0, buffer[s.Length / 2]);
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlIntegerToUnicodeString(1, 7, &s));

    // Two digits need six bytes: four are not enough.
    UNICODE_STRING tight = Over(buffer, 4, 20);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlIntegerToUnicodeString(12, 10, &tight));
    EXPECT_EQ(0xAAAA, buffer[0]);
    tight.MaximumLength = 6;
    EXPECT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(12, 10, &tight));
}

TEST_F(RtlStringTest, ComparisonsHonourCaseAndLength)
{
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, L"\\DosDevices\\COM7");
    RtlInitUnicodeString(&b, L"\\dosdevices\\com7");
    RtlInitUnicodeString(&c, L"\\DosDevices\\COM");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    EXPECT_EQ(0, RtlCompareUnicodeString(&a, &b, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &c, TRUE), 0);
}

} // namespace
