// DbgPrint's and the kernel swprintf's formatting: the conversions drivers use,
// and the NT rule that %s follows the caller's character width.
#include "tests/support/kernel_test.h"

#include <km/harness.h>

namespace {

class FormatTest : public KernelTest {
protected:
    std::string Last() const
    {
        return km::DebugOutput().empty() ? std::string() : km::DebugOutput().back();
    }
};

TEST_F(FormatTest, DbgPrintFormatsNumbersWithWidthsAndFlags)
{
    DbgPrint("%s|%d|%i|%u|%ld|%lu\n", "zq", -42, 7, 4000000000u, LONG{-1}, ULONG{5});
    EXPECT_EQ("zq|-42|7|4000000000|-1|5\n", Last());
    DbgPrint("%x|%X|%lx|%08x|%#x|%I64x|%lld", 0xbeefu, 0xbeefu, ULONG{0x1f}, 0xabu, 0x10u, 0x123456789abcULL, -5LL);
    EXPECT_EQ("beef|BEEF|1f|000000ab|0x10|123456789abc|-5", Last());
    DbgPrint("[%5d][%-5d][%05d][%-3s][%3s][%.2s][%c][%%]", 42, 42, -42, "a", "b", "xyz", 'Q');
    EXPECT_EQ("[   42][42   ][-0042][a  ][  b][xy][Q][%]", Last());
    DbgPrint("%p|%s", reinterpret_cast<void *>(0x1234), static_cast<const char *>(nullptr));
    EXPECT_EQ(sizeof(void *) == 8 ? "0000000000001234|(null)" : "00001234|(null)", Last());
    ASSERT_EQ(4u, km::DebugOutput().size());
    km::ClearDebugOutput();
    EXPECT_TRUE(km::DebugOutput().empty());
}

TEST_F(FormatTest, DbgPrintTakesWideStringsThroughWsSAndWZ)
{
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, L"\\Device\\ZQEVDODIAG1 and more");
    counted.Length = 19 * 2; // not terminated where it ends
    DbgPrint("%ws|%S|%wZ|%-6ws|%C", L"COM7", L"wide", &counted, L"ab", L'w');
    EXPECT_EQ("COM7|wide|\\Device\\ZQEVDODIAG1|ab    |w", Last());
}

// The kernel converts Unicode arguments with pageable code.
TEST_F(FormatTest, DbgPrintOfAUnicodeArgumentAtDispatchLevelIsAViolation)
{
    km::Run([] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        DbgPrint("plain text is fine: %d\n", 1);
        KeLowerIrql(old);
    });
    EXPECT_FALSE(km::HasViolation("IRQL"));
    km::Run([] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        DbgPrint("%ws\n", L"COM7");
        KeLowerIrql(old);
    });
    EXPECT_TRUE(km::HasViolation("IRQL"));
    km::ClearViolations();
}

TEST_F(FormatTest, SwprintfWritesWideTextWhereSIsWide)
{
    wchar_t buffer[64];
    EXPECT_EQ(16, swprintf(buffer, L"\\DosDevices\\%ws", L"COM7"));
    EXPECT_EQ(u"\\DosDevices\\COM7", km::Wide(buffer));

    EXPECT_EQ(12, swprintf(buffer, L"%s-%hs-%S", L"wide", "nar", "row"));
    EXPECT_EQ(u"wide-nar-row", km::Wide(buffer));

    swprintf(buffer, L"%-4d|%04X|%u|%c|%I64d", -7, 0x2a, 12u, L'z', -1234567890123LL);
    EXPECT_EQ(u"-7  |002A|12|z|-1234567890123", km::Wide(buffer));
}

} // namespace
