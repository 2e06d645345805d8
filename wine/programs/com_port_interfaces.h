// The present GUID_DEVINTERFACE_COMPORT interfaces, as an application finds
// COM ports through the setup API: for the probe and the conformance suite.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ComPortInterface {
    std::wstring path;     // the interface's device path, which CreateFile opens
    std::wstring instance; // the device's instance ID, e.g. ZQMODEM\DIAG\0000
    bool active = false;
    std::wstring portName; // the device's "PortName", empty when it has none
};

// False, with the last error set, when the list could not be made; an
// interface whose details cannot be read is left out.
bool ListComPortInterfaces(std::vector<ComPortInterface> *found);
