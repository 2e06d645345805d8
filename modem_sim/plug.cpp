// Unplug and replug. An unplugged modem's child fails what it holds as a
// device gone from the bus would, then leaves the bus relations; the PnP
// manager, told the relations changed, surprise-removes and removes it. A
// replug brings a new child.
#include "modem_sim/sim.h"

extern "C" {

void SimUnplug(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    BOOLEAN wasPlugged = Modem->Plugged;
    Modem->Plugged = FALSE;
    if (Modem->Child != nullptr) {
        ((PCHILD_EXTENSION)Modem->Child->DeviceExtension)->Gone = TRUE;
    }
    SimUnlock(Modem, irql);
    if (!wasPlugged) {
        return;
    }
    SimFailAllPending(Modem, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING);
    IoInvalidateDeviceRelations(Modem->Bus->Pdo, BusRelations);
}

void SimReplug(PMODEM Modem)
{
    KIRQL irql = SimLock(Modem);
    BOOLEAN wasPlugged = Modem->Plugged;
    Modem->Plugged = TRUE;
    SimUnlock(Modem, irql);
    if (!wasPlugged) {
        IoInvalidateDeviceRelations(Modem->Bus->Pdo, BusRelations);
    }
}

} // extern "C"
