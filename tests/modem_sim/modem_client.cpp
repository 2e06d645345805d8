#include "tests/modem_sim/modem_client.h"

#include <cstring>

ModemClient::ModemClient(km::Image *image, ULONG modem, bool direct)
    : entry_(km::SymbolAs<Entry>(image, "ModemControl")), modem_(modem), direct_(direct)
{
}

NTSTATUS ModemClient::Call(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                           ULONG *returned) const
{
    uint32_t ignored = 0;
    uint32_t *count = returned != nullptr ? returned : &ignored;
    if (direct_) {
        return entry_(code, const_cast<void *>(in), inLength, out, outLength, count);
    }
    NTSTATUS status = STATUS_PENDING;
    km::Run([&] { status = entry_(code, const_cast<void *>(in), inLength, out, outLength, count); }, "modem control");
    km::RunUntilIdle();
    return status;
}

NTSTATUS ModemClient::Queue(const std::vector<uint8_t> &bytes) const
{
    std::vector<uint8_t> record(sizeof(MODEM_SELECT) + bytes.size());
    MODEM_SELECT select = {modem_};
    std::memcpy(record.data(), &select, sizeof(select));
    if (!bytes.empty()) {
        std::memcpy(record.data() + sizeof(select), bytes.data(), bytes.size());
    }
    return Call(MODEM_CONTROL_QUEUE_BYTES, record.data(), (ULONG)record.size());
}

NTSTATUS ModemClient::Queue(const std::string &bytes) const
{
    return Queue(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::string ModemClient::Captured() const
{
    MODEM_SELECT select = {modem_};
    std::string bytes(MODEM_CAPTURE_CAPACITY, '\0');
    ULONG returned = 0;
    Call(MODEM_CONTROL_READ_CAPTURED, &select, sizeof(select), &bytes[0], (ULONG)bytes.size(), &returned);
    bytes.resize(returned);
    return bytes;
}

NTSTATUS ModemClient::Fail(ULONG pipe, ULONG count, NTSTATUS status, USBD_STATUS usbdStatus) const
{
    MODEM_FAULT fault = {modem_, pipe, MODEM_FAULT_FAIL, count, status, usbdStatus, 0};
    return Call(MODEM_CONTROL_INJECT_FAULT, &fault, sizeof(fault));
}

NTSTATUS ModemClient::Short(ULONG pipe, ULONG count, ULONG length) const
{
    MODEM_FAULT fault = {modem_, pipe, MODEM_FAULT_SHORT, count, 0, 0, length};
    return Call(MODEM_CONTROL_INJECT_FAULT, &fault, sizeof(fault));
}

NTSTATUS ModemClient::OverReport(ULONG pipe, ULONG count, ULONG extra) const
{
    MODEM_FAULT fault = {modem_, pipe, MODEM_FAULT_OVERREPORT, count, 0, 0, extra};
    return Call(MODEM_CONTROL_INJECT_FAULT, &fault, sizeof(fault));
}

NTSTATUS ModemClient::Fault(ULONG pipe, ULONG kind) const
{
    MODEM_FAULT fault = {modem_, pipe, kind, 0, 0, 0, 0};
    return Call(MODEM_CONTROL_INJECT_FAULT, &fault, sizeof(fault));
}

NTSTATUS ModemClient::SetDeviceStates(const ULONG (&states)[7]) const
{
    MODEM_DEVICE_STATES record = {};
    record.Modem = modem_;
    std::memcpy(record.DeviceState, states, sizeof(record.DeviceState));
    return Call(MODEM_CONTROL_SET_DEVICE_STATES, &record, sizeof(record));
}

NTSTATUS ModemClient::FailPower(ULONG count, NTSTATUS status, ULONG minor) const
{
    MODEM_POWER_FAULT fault = {modem_, count, status, minor};
    return Call(MODEM_CONTROL_FAIL_POWER, &fault, sizeof(fault));
}

MODEM_STATUS ModemClient::Status() const
{
    MODEM_SELECT select = {modem_};
    MODEM_STATUS status = {};
    Call(MODEM_CONTROL_GET_STATUS, &select, sizeof(select), &status, sizeof(status));
    return status;
}

NTSTATUS ModemClient::Value(ULONG code, ULONG value) const
{
    MODEM_VALUE record = {modem_, value};
    return Call(code, &record, sizeof(record));
}

NTSTATUS ModemClient::Select(ULONG code) const
{
    MODEM_SELECT select = {modem_};
    return Call(code, &select, sizeof(select));
}
