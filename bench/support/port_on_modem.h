// The port driver as a system brings it up on the simulated modem, for
// benchmarks (no GoogleTest): a fresh kernel, the modem's bus on a root
// device, the port's driver added and started on the bus's child, and the port
// opened by its COM name. Every step that fails leaves its reason in Error().
#pragma once

#include "tests/modem_sim/modem_client.h"

#include <km/harness.h>

#include <cstdint>
#include <memory>
#include <string>

class PortOnModem {
public:
    // Boots a kernel with `seed`, brings the port up on the modem and opens it;
    // the modem completes its transfers inline or from its DPC.
    bool BringUp(uint64_t seed, bool completeInline);
    // Closes the port, removes the bus with its child, unloads both drivers
    // and shuts the kernel down; false when the verifier saw a broken rule.
    bool TakeDown();

    ModemClient &Modem()
    {
        return *modem_;
    }
    km::Handle *Port() const
    {
        return handle_;
    }
    const std::string &Error() const
    {
        return error_;
    }
    // Notes a failure (the first one is kept); returns false.
    bool Fail(const std::string &why);

private:
    km::Image *bus_ = nullptr;
    km::Image *port_ = nullptr;
    PDEVICE_OBJECT root_ = nullptr;
    km::Handle *handle_ = nullptr;
    std::unique_ptr<ModemClient> modem_;
    std::string error_;
};
