// A small C++ face over the simulated modem's ModemControl entry, found by
// name in the loaded image. Other test folders may use it to drive the modem
// behind the port driver.
#pragma once

#include "modem_sim/modem_control.h"

#include <km/harness.h>

#include <cstdint>
#include <string>
#include <vector>

class ModemClient {
public:
    // Calls run as their own context through km::Run, and everything they
    // set going (transfers completing from the modem's DPC) runs before they
    // return; a client made with direct = true calls straight in, for use
    // inside a running context.
    explicit ModemClient(km::Image *image, ULONG modem = 0, bool direct = false);
    ModemClient Direct() const
    {
        return ModemClient(entry_, modem_, true);
    }

    NTSTATUS Call(ULONG code, const void *in, ULONG inLength, void *out = nullptr, ULONG outLength = 0,
                  ULONG *returned = nullptr) const;

    NTSTATUS Queue(const std::string &bytes) const;
    NTSTATUS Queue(const std::vector<uint8_t> &bytes) const;
    std::string Captured() const; // takes the captured bytes out of the modem
    NTSTATUS Echo(bool on) const
    {
        return Value(MODEM_CONTROL_SET_ECHO, on ? 1 : 0);
    }
    NTSTATUS Rate(ULONG bytesPerSecond) const
    {
        return Value(MODEM_CONTROL_SET_RATE, bytesPerSecond);
    }
    NTSTATUS Generate(ULONG count) const
    {
        return Value(MODEM_CONTROL_GENERATE, count);
    }
    NTSTATUS Fail(ULONG pipe, ULONG count, NTSTATUS status, USBD_STATUS usbdStatus) const;
    NTSTATUS Short(ULONG pipe, ULONG count, ULONG length) const;
    // The device holds transfers on the pipe until Ack.
    NTSTATUS Nak(ULONG pipe) const
    {
        return Fault(pipe, MODEM_FAULT_NAK);
    }
    NTSTATUS Ack(ULONG pipe) const
    {
        return Fault(pipe, MODEM_FAULT_ACK);
    }
    // The next transfer on the pipe stalls and halts it until a reset.
    NTSTATUS Stall(ULONG pipe) const
    {
        return Fault(pipe, MODEM_FAULT_STALL);
    }
    // The next `count` good transfers report `extra` bytes more than their buffer.
    NTSTATUS OverReport(ULONG pipe, ULONG count, ULONG extra) const;
    NTSTATUS Unplug() const
    {
        return Select(MODEM_CONTROL_UNPLUG);
    }
    NTSTATUS Replug() const
    {
        return Select(MODEM_CONTROL_REPLUG);
    }
    NTSTATUS Reset() const
    {
        return Select(MODEM_CONTROL_RESET);
    }
    // How served transfers complete: inline (in the submitter's context and
    // at its IRQL) or, the default, later from the modem's DPC.
    NTSTATUS CompleteInline(bool inline_) const
    {
        return Value(MODEM_CONTROL_SET_COMPLETION, inline_ ? MODEM_COMPLETE_INLINE : MODEM_COMPLETE_FROM_DPC);
    }
    // MODEM_UNPOWERED_FAIL (the default) or MODEM_UNPOWERED_HOLD.
    NTSTATUS UnpoweredPolicy(ULONG policy) const
    {
        return Value(MODEM_CONTROL_SET_UNPOWERED_POLICY, policy);
    }
    // MODEM_CAPTURE_DROP (the default) or MODEM_CAPTURE_HOLD.
    NTSTATUS CapturePolicy(ULONG policy) const
    {
        return Value(MODEM_CONTROL_SET_CAPTURE_POLICY, policy);
    }
    NTSTATUS SetDeviceStates(const ULONG (&states)[7]) const;
    NTSTATUS FailPower(ULONG count, NTSTATUS status, ULONG minor = MODEM_ANY_POWER_MINOR) const;
    MODEM_STATUS Status() const;

private:
    using Entry = decltype(ModemControl);
    ModemClient(Entry *entry, ULONG modem, bool direct) : entry_(entry), modem_(modem), direct_(direct)
    {
    }
    NTSTATUS Value(ULONG code, ULONG value) const;
    NTSTATUS Select(ULONG code) const;
    NTSTATUS Fault(ULONG pipe, ULONG kind) const;

    Entry *entry_;
    ULONG modem_;
    bool direct_;
};
