// System power transitions as the power manager of Windows 2000/XP runs them:
// the order of the stacks, the query before the set, and the veto.
#include "tests/kernel_model/fake_stack.h"
#include "tests/support/kernel_test.h"

#include <algorithm>

namespace {

class PowerTest : public KernelTest {};

struct Delivery {
    PDEVICE_OBJECT device;
    UCHAR minor;
    int state; // S<n>
};
std::vector<Delivery> deliveries;

VOID NTAPI NoteSystemPower(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->Parameters.Power.Type == SystemPowerState) {
        deliveries.push_back({device, location->MinorFunction, int(location->Parameters.Power.State.SystemState) - 1});
    }
}

// Which of `tops` got each request, in order: "q3 c0" is a query for S3 to tops[0].
std::vector<std::string> Order(const std::vector<PDEVICE_OBJECT> &tops)
{
    std::vector<std::string> order;
    for (const Delivery &d : deliveries) {
        auto top = std::find(tops.begin(), tops.end(), d.device);
        if (top != tops.end()) {
            order.push_back(std::string(d.minor == IRP_MN_QUERY_POWER ? "q" : "s") + std::to_string(d.state) + " " +
                            std::to_string(top - tops.begin()));
        }
    }
    return order;
}

TEST_F(PowerTest, SleepGoesChildrenFirstAndResumeParentsFirst)
{
    deliveries.clear();
    km::Image *bus = km::LoadDriver(KM_TEST_BUS, L"kmbus");
    km::Image *function = km::LoadDriver(KM_TEST_DRIVER, L"kmtest");
    *km::SymbolAs<decltype(&NoteSystemPower)>(bus, "PowerSeen") = NoteSystemPower;
    *km::SymbolAs<decltype(&NoteSystemPower)>(function, "PowerSeen") = NoteSystemPower;
    km::RegisterFunctionDriver(L"kmtest\\child", function);
    *km::SymbolAs<LONG>(bus, "WantedChildren") = 2;
    PDEVICE_OBJECT root = km::CreateRootDevice(bus);
    std::vector<PDEVICE_OBJECT> children = km::Children(root);
    ASSERT_EQ(children.size(), 2u);
    std::vector<PDEVICE_OBJECT> tops = {km::TopOfStack(root), km::TopOfStack(children[0]), km::TopOfStack(children[1])};

    EXPECT_EQ(km::SystemHibernate(), STATUS_SUCCESS);
    EXPECT_EQ(km::SystemPower(), PowerSystemHibernate);
    EXPECT_EQ(km::SystemSleep(), STATUS_INVALID_DEVICE_STATE) << "not from hibernation";
    EXPECT_EQ(km::SystemResume(), STATUS_SUCCESS);
    EXPECT_EQ(km::SystemPower(), PowerSystemWorking);
    EXPECT_EQ(Order(tops),
              (std::vector<std::string>{"q4 1", "q4 2", "q4 0", "s4 1", "s4 2", "s4 0", "s0 0", "s0 1", "s0 2"}));

    *km::SymbolAs<LONG>(bus, "WantedChildren") = 0;
    km::EnumerateBus(root); // the children go
    EXPECT_EQ(km::RemoveDevice(root), STATUS_SUCCESS);
    km::UnloadDriver(function);
    km::UnloadDriver(bus);
}

// A stack that fails the query vetoes the sleep: every stack queried so far
// gets a set-power for S0; the ones after it hear nothing.
TEST_F(PowerTest, AVetoedSleepReaffirmsTheWorkingState)
{
    std::vector<DeviceLog> logs(3);
    std::vector<PDEVICE_OBJECT> pdos;
    for (DeviceLog &log : logs) {
        pdos.push_back(km::CreatePdo());
        AddLoggingDevice(pdos.back(), &log);
    }
    km::VetoSystemQueries(pdos[1], 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(km::SystemSleep(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(km::SystemPower(), PowerSystemWorking);
    using Seen = std::vector<std::string>;
    EXPECT_EQ(logs[0].seen, (Seen{"query S3", "set S0"}));
    EXPECT_EQ(logs[1].seen, (Seen{"query S3", "set S0"}));
    EXPECT_EQ(logs[2].seen, Seen{});

    // The veto was for one query: the next sleep goes through.
    EXPECT_EQ(km::SystemSleep(), STATUS_SUCCESS);
    EXPECT_EQ(logs[2].seen, (Seen{"query S3", "set S3"}));
}

} // namespace
