// A device judged failed while it is still present: the reader has stopped,
// and nothing the application queued may be left waiting for data that will
// never come (with the default timeouts a blocking read would never return).
// The waiting read, the queued writes and the pending wait-on-mask request end
// with STATUS_DELETE_PENDING at once; the write on the bus ends the same way
// when its piece returns (write.cpp). From then on every new request is
// refused as the device is unusable.
#include "driver/core/core.h"
#include "driver/serial/serial.h"

// Lock held. The requests taken go onto Done, to be completed once Lock is
// released.
VOID FailDevice(PDEVICE_EXTENSION Extension, PLIST_ENTRY Done)
{
    Extension->FailureMarker = FAILURE_MARKER_FAILED;
    EndWaitingRead(Extension, STATUS_DELETE_PENDING, Done);
    EndQueuedWrites(Extension, STATUS_DELETE_PENDING, Done);
    EndPendingWait(Extension, STATUS_DELETE_PENDING, Done);
}

BOOLEAN IsDeviceFailed(PDEVICE_EXTENSION Extension)
{
    return Extension->FailureMarker == FAILURE_MARKER_FAILED;
}
