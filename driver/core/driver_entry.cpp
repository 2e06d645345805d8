// The driver's entry point, its dispatch table and its unload routine.
#include "driver/core/core.h"
#include "driver/pnp_power/pnp_power.h"
#include "driver/serial/serial.h"

#define BANNER_RULE "*******************************************************************************"
#define DRIVER_VERSION_TEXT "Ver 1.0"

static_assert(sizeof(BANNER_RULE) == 80, "the banner rule is 79 asterisks");

// The three banner lines go out as three separate DbgPrint calls, so that a
// debugger shows each as its own line.
static void PrintBanner(PCSTR MiddleFormat)
{
    DbgPrint(BANNER_RULE "\n");
    DbgPrint(MiddleFormat, DRIVER_VERSION_TEXT, __TIME__, __DATE__);
    DbgPrint(BANNER_RULE "\n\n");
}

static void FillDispatchTable(PDRIVER_OBJECT DriverObject)
{
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchForward;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchForward;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    // Without WDM 1.0 the load fails quietly: no slot filled, no banner.
    if (!IoIsWdmVersionAvailable(1, 0)) {
        return STATUS_UNSUCCESSFUL;
    }
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    FillDispatchTable(DriverObject);
    PrintBanner("VAREDOD(%s)  Time: %s  Date: %s LOADED \n");
    return STATUS_SUCCESS;
}

// Every device object is gone by now (the removal path deleted it) and the
// driver holds nothing global, so only the banner remains to be done.
VOID NTAPI DriverUnload(PDRIVER_OBJECT)
{
    PrintBanner("VAREDOD(%s)  Time: %s  Date: %s UNLOADED \n");
}
