// What the child tells the PnP manager about itself: its IDs, its texts and
// its capabilities. Strings go to paged pool; the PnP manager frees them.
#include "modem_sim/sim.h"

extern "C" {

static ULONG WideLength(const WCHAR *Text)
{
    ULONG length = 0;
    while (Text[length] != 0) {
        length++;
    }
    return length;
}

// Copies Text (and, for a multi-sz, the extra terminating null) into a new
// pool block whose address becomes the request's Information.
static NTSTATUS ReturnString(PIRP Irp, const WCHAR *Text, BOOLEAN MultiSz)
{
    ULONG length = WideLength(Text);
    ULONG chars = length + 1 + (MultiSz ? 1 : 0);
    PWCHAR copy = (PWCHAR)ExAllocatePool(PagedPool, chars * sizeof(WCHAR));
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < length; i++) {
        copy[i] = Text[i];
    }
    for (ULONG i = length; i < chars; i++) {
        copy[i] = 0;
    }
    Irp->IoStatus.Information = (ULONG_PTR)copy;
    return STATUS_SUCCESS;
}

// "0000", "0001", ...: the instance ID is the modem's index in four digits.
static void FormatInstance(ULONG Index, WCHAR *Text)
{
    for (int i = 3; i >= 0; i--) {
        Text[i] = (WCHAR)(L'0' + Index % 10);
        Index /= 10;
    }
    Text[4] = 0;
}

NTSTATUS SimChildQueryId(PCHILD_EXTENSION Child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    WCHAR instance[5];
    switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        return ReturnString(Irp, L"ZQMODEM\\DIAG", FALSE);
    case BusQueryHardwareIDs:
        return ReturnString(Irp, L"ZQMODEM\\DIAG", TRUE);
    case BusQueryCompatibleIDs:
        return ReturnString(Irp, L"ZQMODEM\\COMPORT", TRUE);
    case BusQueryInstanceID:
        FormatInstance(Child->Modem->Index, instance);
        return ReturnString(Irp, instance, FALSE);
    default:
        return Irp->IoStatus.Status;
    }
}

NTSTATUS SimChildQueryText(PCHILD_EXTENSION Child, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Child);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription:
        return ReturnString(Irp, L"Simulated EV-DO modem diagnostic interface", FALSE);
    case DeviceTextLocationInformation:
        return ReturnString(Irp, L"Simulated modem bus", FALSE);
    default:
        return Irp->IoStatus.Status;
    }
}

NTSTATUS SimChildQueryCapabilities(PCHILD_EXTENSION Child, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return STATUS_UNSUCCESSFUL;
    }
    PMODEM modem = Child->Modem;
    KIRQL irql = SimLock(modem);
    for (ULONG i = 0; i < 7; i++) {
        caps->DeviceState[i] = (DEVICE_POWER_STATE)modem->DeviceStates[i];
    }
    SimUnlock(modem, irql);
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->Address = modem->Index;
    caps->UINumber = 0xFFFFFFFF;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    return STATUS_SUCCESS;
}

} // extern "C"
