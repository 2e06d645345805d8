// Loading and unloading the driver: the banners, the refusal without WDM 1.0,
// and the dispatch table as the I/O manager uses it.
#include "tests/support/port_fixture.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <map>
#include <regex>
#include <string>

using CoreTest = PortFixture;

namespace {

const std::string Rule(79, '*');

void ExpectBanner(const std::vector<std::string> &lines, const char *word)
{
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], Rule + "\n");
    // The build time as hh:mm:ss and the date as "Mmm dd yyyy", a day below
    // 10 padded with a blank.
    std::regex middle(std::string("VAREDOD\\(Ver 1\\.0\\)  Time: [0-2][0-9]:[0-5][0-9]:[0-5][0-9]  Date: "
                                  "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12][0-9]|3[01]) "
                                  "[0-9]{4} ") +
                      word + " \n");
    EXPECT_TRUE(std::regex_match(lines[1], middle)) << lines[1];
    EXPECT_EQ(lines[2], Rule + "\n\n");
}

// True when the routine lives in the image at `path`.
bool InImage(PVOID routine, const std::string &path)
{
    Dl_info info = {};
    return routine != nullptr && dladdr(reinterpret_cast<void *>(routine), &info) != 0 && info.dli_fname != nullptr &&
           path == info.dli_fname;
}

} // namespace

TEST_F(CoreTest, LoadPrintsBannerFillsTableAndUnloadPrintsBanner)
{
    km::ClearDebugOutput();
    LoadPortDriver();
    ASSERT_EQ(image->entryStatus, STATUS_SUCCESS);
    ExpectBanner(km::DebugOutput(), "LOADED");

    PDRIVER_OBJECT driver = image->driver;
    EXPECT_EQ(reinterpret_cast<PVOID>(driver->DriverExtension->AddDevice), km::Symbol(image, "AddDevice"));
    EXPECT_EQ(reinterpret_cast<PVOID>(driver->DriverUnload), km::Symbol(image, "DriverUnload"));
    EXPECT_EQ(driver->DriverStartIo, nullptr);
    EXPECT_EQ(driver->FastIoDispatch, nullptr);

    const std::map<int, const char *> table = {
        {IRP_MJ_CREATE, "DispatchCreate"},
        {IRP_MJ_CLOSE, "DispatchClose"},
        {IRP_MJ_READ, "DispatchRead"},
        {IRP_MJ_WRITE, "DispatchWrite"},
        {IRP_MJ_FLUSH_BUFFERS, "DispatchFlush"},
        {IRP_MJ_DEVICE_CONTROL, "DispatchDeviceControl"},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, "DispatchForward"},
        {IRP_MJ_CLEANUP, "DispatchCleanup"},
        {IRP_MJ_POWER, "DispatchPower"},
        {IRP_MJ_SYSTEM_CONTROL, "DispatchForward"},
        {IRP_MJ_PNP, "DispatchPnp"},
    };
    PDEVICE_OBJECT fdo = AddPort();
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        PVOID routine = reinterpret_cast<PVOID>(driver->MajorFunction[major]);
        auto entry = table.find(major);
        if (entry != table.end()) {
            EXPECT_EQ(routine, km::Symbol(image, entry->second)) << "major " << major;
            continue;
        }
        // Left to the I/O manager, which fails the request without the driver
        // seeing it.
        EXPECT_FALSE(InImage(routine, image->path)) << "major " << major;
        km::Request *request = km::NewRequest(fdo, static_cast<UCHAR>(major));
        km::Run([&] { EXPECT_EQ(km::Dispatch(request), STATUS_INVALID_DEVICE_REQUEST) << "major " << major; });
        EXPECT_TRUE(request->completed);
        EXPECT_EQ(request->status, STATUS_INVALID_DEVICE_REQUEST);
    }
    DeletePort(fdo);

    km::ClearDebugOutput();
    UnloadPortDriver();
    ExpectBanner(km::DebugOutput(), "UNLOADED");
}

class NoWdm10Test : public CoreTest {
protected:
    km::Options BootOptions() const override
    {
        km::Options options = CoreTest::BootOptions();
        options.wdm10 = false;
        return options;
    }
};

TEST_F(NoWdm10Test, LoadFailsSilently)
{
    km::ClearDebugOutput();
    LoadPortDriver();
    EXPECT_EQ(image->entryStatus, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(km::DebugOutput().empty());
    EXPECT_EQ(image->driver->DriverUnload, nullptr);
    EXPECT_EQ(image->driver->DriverExtension->AddDevice, nullptr);
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        EXPECT_FALSE(InImage(reinterpret_cast<PVOID>(image->driver->MajorFunction[major]), image->path));
    }
}
