// A Win32 program's side of the simulated modem's control device (the codes
// and records of modem_sim/modem_control.h): what the conformance suite and the
// demo client use to make the modem send, capture, echo, fail or go away.
#pragma once

#include <windows.h>

#include "modem_sim/modem_control.h"

#include <cstddef>
#include <cstdint>

class ModemLink {
public:
    ModemLink() = default;
    ~ModemLink();
    ModemLink(const ModemLink &) = delete;
    ModemLink &operator=(const ModemLink &) = delete;

    // Opens the control device; false (with the last error set) when the bus
    // driver is not running.
    bool Open();

    // One control call; Returned gets the output's byte count. False with the
    // last error set when the request failed.
    bool Call(uint32_t code, const void *in, DWORD inLength, void *out = nullptr, DWORD outLength = 0,
              DWORD *returned = nullptr) const;

    bool Queue(const void *bytes, size_t length) const; // toward the host, all of them or none
    bool ReadCaptured(void *buffer, DWORD length, DWORD *got) const;
    bool Value(uint32_t code, uint32_t value) const; // SET_ECHO, SET_RATE, GENERATE, the modes
    bool Fault(uint32_t pipe, uint32_t kind, uint32_t count = 0, int32_t status = 0, int32_t usbdStatus = 0,
               uint32_t length = 0) const;
    bool Select(uint32_t code) const; // UNPLUG, REPLUG, RESET
    bool Status(MODEM_STATUS *status) const;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};
