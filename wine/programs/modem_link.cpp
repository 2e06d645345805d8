#include "wine/programs/modem_link.h"

#include <vector>

ModemLink::~ModemLink()
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

bool ModemLink::Open()
{
    handle_ =
        CreateFileW(MODEM_CONTROL_WIN32_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
}

bool ModemLink::Call(uint32_t code, const void *in, DWORD inLength, void *out, DWORD outLength, DWORD *returned) const
{
    DWORD ignored = 0;
    return DeviceIoControl(handle_, MODEM_CONTROL_IOCTL(code), const_cast<void *>(in), inLength, out, outLength,
                           returned != nullptr ? returned : &ignored, nullptr) != FALSE;
}

bool ModemLink::Queue(const void *bytes, size_t length) const
{
    std::vector<uint8_t> in(sizeof(MODEM_SELECT) + length);
    const MODEM_SELECT select = {0};
    memcpy(in.data(), &select, sizeof(select));
    if (length != 0)
        memcpy(in.data() + sizeof(select), bytes, length);
    return Call(MODEM_CONTROL_QUEUE_BYTES, in.data(), static_cast<DWORD>(in.size()));
}

bool ModemLink::ReadCaptured(void *buffer, DWORD length, DWORD *got) const
{
    const MODEM_SELECT select = {0};
    return Call(MODEM_CONTROL_READ_CAPTURED, &select, sizeof(select), buffer, length, got);
}

bool ModemLink::Value(uint32_t code, uint32_t value) const
{
    const MODEM_VALUE in = {0, value};
    return Call(code, &in, sizeof(in));
}

bool ModemLink::Fault(uint32_t pipe, uint32_t kind, uint32_t count, int32_t status, int32_t usbdStatus,
                      uint32_t length) const
{
    const MODEM_FAULT in = {0, pipe, kind, count, status, usbdStatus, length};
    return Call(MODEM_CONTROL_INJECT_FAULT, &in, sizeof(in));
}

bool ModemLink::Select(uint32_t code) const
{
    const MODEM_SELECT in = {0};
    return Call(code, &in, sizeof(in));
}

bool ModemLink::Status(MODEM_STATUS *status) const
{
    const MODEM_SELECT in = {0};
    DWORD got = 0;
    return Call(MODEM_CONTROL_GET_STATUS, &in, sizeof(in), status, sizeof(*status), &got) && got == sizeof(*status);
}
