// USB request blocks and values of the model, with the DDK's names, values and
// layouts (usb.h, usbdi.h, usbioctl.h; the UsbBuild... macros and
// URB_STATUS of ddk/usbdlib.h).
#pragma once

#include <km/nt_base.h>
#include <km/nt_io.h>

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;
typedef LONG USBD_STATUS;
typedef struct _MDL *PMDL;

// ---------------------------------------------------------------- status

#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)

#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000)
#define USBD_STATUS_HALTED ((USBD_STATUS)0xc0000000)
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000)
#define USBD_STATUS_CRC ((USBD_STATUS)0xc0000001)
#define USBD_STATUS_BTSTUFF ((USBD_STATUS)0xc0000002)
#define USBD_STATUS_DATA_TOGGLE_MISMATCH ((USBD_STATUS)0xc0000003)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xc0000004)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xc0000005)
#define USBD_STATUS_PID_CHECK_FAILURE ((USBD_STATUS)0xc0000006)
#define USBD_STATUS_UNEXPECTED_PID ((USBD_STATUS)0xc0000007)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xc0000008)
#define USBD_STATUS_DATA_UNDERRUN ((USBD_STATUS)0xc0000009)
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xc000000c)
#define USBD_STATUS_BUFFER_UNDERRUN ((USBD_STATUS)0xc000000d)
#define USBD_STATUS_NOT_ACCESSED ((USBD_STATUS)0xc000000f)
#define USBD_STATUS_FIFO ((USBD_STATUS)0xc0000010)
#define USBD_STATUS_XACT_ERROR ((USBD_STATUS)0xc0000011)
#define USBD_STATUS_BABBLE_DETECTED ((USBD_STATUS)0xc0000012)
#define USBD_STATUS_DATA_BUFFER_ERROR ((USBD_STATUS)0xc0000013)
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xc0000030)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300)
#define USBD_STATUS_ERROR_BUSY ((USBD_STATUS)0x80000400)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600)
#define USBD_STATUS_NO_BANDWIDTH ((USBD_STATUS)0x80000700)
#define USBD_STATUS_INTERNAL_HC_ERROR ((USBD_STATUS)0x80000800)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900)
#define USBD_STATUS_BAD_START_FRAME ((USBD_STATUS)0xc0000a00)
#define USBD_STATUS_ISOCH_REQUEST_FAILED ((USBD_STATUS)0xc0000b00)
#define USBD_STATUS_FRAME_CONTROL_OWNED ((USBD_STATUS)0xc0000c00)
#define USBD_STATUS_FRAME_CONTROL_NOT_OWNED ((USBD_STATUS)0xc0000d00)
#define USBD_STATUS_NOT_SUPPORTED ((USBD_STATUS)0xc0000e00)
#define USBD_STATUS_INSUFFICIENT_RESOURCES ((USBD_STATUS)0xc0001000)
#define USBD_STATUS_TIMEOUT ((USBD_STATUS)0xc0006000)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xc0007000)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xc0010000)
#define USBD_STATUS_CANCELLING ((USBD_STATUS)0x00020000)
#define USBD_STATUS_CANCELING ((USBD_STATUS)0x00020000)

// ---------------------------------------------------------------- functions and flags

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_ISOCH_TRANSFER 0x000a
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000b
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001a
#define URB_FUNCTION_CLASS_INTERFACE 0x001b
#define URB_FUNCTION_CLASS_ENDPOINT 0x001c
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001e
#define URB_FUNCTION_RESET_PIPE URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL
#define URB_FUNCTION_SYNC_RESET_PIPE 0x0030
#define URB_FUNCTION_SYNC_CLEAR_STALL 0x0031

#define USBD_SHORT_TRANSFER_OK 0x00000002
#define USBD_START_ISO_TRANSFER_ASAP 0x00000004
#define USBD_DEFAULT_PIPE_TRANSFER 0x00000008
#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
// As usbdi.h leaves it: a test of the direction bit.
#define USBD_TRANSFER_DIRECTION(x) ((x)&USBD_TRANSFER_DIRECTION_IN)

// ---------------------------------------------------------------- internal device control

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_PORT_STATUS 4
#define IOCTL_INTERNAL_USB_SUBMIT_URB CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS                                                                             \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "submit URB");

#define URB_FROM_IRP(Irp) ((IoGetCurrentIrpStackLocation(Irp))->Parameters.Others.Argument1)

// ---------------------------------------------------------------- request blocks

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    struct _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB *UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB *UrbLink;
    struct _URB_HCD_AREA hca;
};

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

// The largest member: it gives the union its size (96 bytes, 152 on x64).
struct _URB_ISOCH_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB *UrbLink;
    struct _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_PIPE_REQUEST UrbPipeRequest;
        struct _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        struct _URB_CONTROL_TRANSFER UrbControlTransfer;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
    };
} URB, *PURB;

static_assert(sizeof(struct _URB_HEADER) == KM_I386_X64(16, 24), "URB header");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == KM_I386_X64(24, 40), "pipe request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == KM_I386_X64(72, 128), "bulk transfer URB");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == KM_I386_X64(24, 36),
              "transfer length");
static_assert(sizeof(URB) == KM_I386_X64(96, 152), "URB union");

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,             \
                                               transferBufferLength, transferFlags, link)                              \
    {                                                                                                                  \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                           \
        (urb)->UrbHeader.Length = (length);                                                                            \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                                   \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                               \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                                     \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                           \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                             \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                            \
    }
