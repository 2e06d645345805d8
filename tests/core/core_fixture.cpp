#include "tests/core/core_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

#define LOOK_UP(name) core.name = km::SymbolAs<decltype(::name)>(image, #name)

void CoreTest::LoadCore()
{
    image = km::LoadDriver(ZQ_DRIVER_PATH, L"zqevdodiag");
    ASSERT_NE(image, nullptr);
    LOOK_UP(AddDevice);
    LOOK_UP(AllocateUnicodeString);
    LOOK_UP(DispatchForward);
    LOOK_UP(CopyAndPassDown);
    LOOK_UP(IncrementIo);
    LOOK_UP(DecrementIo);
    LOOK_UP(WaitForIdle);
    LOOK_UP(SyncForwardToLower);
    LOOK_UP(ForwardAndWait);
    LOOK_UP(CompleteRequest);
    LOOK_UP(CompleteRequestWithInformation);
    ASSERT_NE(core.CompleteRequestWithInformation, nullptr);
}

PDEVICE_OBJECT CoreTest::AddPort()
{
    PDEVICE_OBJECT pdo = km::CreatePdo();
    NTSTATUS status = km::AddDevice(image, pdo);
    EXPECT_EQ(status, STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = km::TopOfStack(pdo);
    EXPECT_NE(fdo, pdo);
    ports.push_back(fdo);
    return fdo;
}

void CoreTest::DeletePort(PDEVICE_OBJECT fdo)
{
    km::Run(
        [&] {
            PDEVICE_EXTENSION ext = Ext(fdo);
            if (ext->InterfaceName.Buffer != nullptr) {
                RtlFreeUnicodeString(&ext->InterfaceName);
            }
            ExFreePool(ext->DeviceName.Buffer);
            IoDetachDevice(ext->LowerDevice);
            IoDeleteDevice(fdo);
        },
        "delete port");
    ports.erase(std::remove(ports.begin(), ports.end(), fdo), ports.end());
}

LONG CoreTest::InstanceCounter() const
{
    return *km::SymbolAs<LONG>(image, "InstanceCounter");
}

void CoreTest::TearDown()
{
    // A context woken by the test's last step may still be inside the driver
    // (say, returning from KeSetEvent in a completion routine); let it leave
    // before the image goes.
    km::RunUntilIdle();
    while (!ports.empty()) {
        DeletePort(ports.back());
    }
    if (image != nullptr) {
        km::UnloadDriver(image);
        image = nullptr;
    }
    KernelTest::TearDown();
}
