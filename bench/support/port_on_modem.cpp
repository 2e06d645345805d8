#include "bench/support/port_on_modem.h"

#include <vector>

bool PortOnModem::Fail(const std::string &why)
{
    if (error_.empty()) {
        error_ = why;
    }
    return false;
}

bool PortOnModem::BringUp(uint64_t seed, bool completeInline)
{
    error_.clear();
    km::Options options;
    options.seed = seed;
    km::Boot(options);
    bus_ = km::LoadDriver(ZQ_MODEM_SIM_PATH, L"zqmodemsim");
    if (bus_->entryStatus != STATUS_SUCCESS) {
        return Fail("the modem's DriverEntry failed");
    }
    modem_ = std::make_unique<ModemClient>(bus_);
    root_ = km::CreateRootDevice(bus_);
    if (modem_->CompleteInline(completeInline) != STATUS_SUCCESS) {
        return Fail("the modem refused its completion mode");
    }
    std::vector<PDEVICE_OBJECT> children = km::Children(root_);
    if (children.size() != 1) {
        return Fail("the modem's bus has no child");
    }
    static const char16_t portName[] = u"COM7";
    km::SetDeviceValue(children[0], L"PortName", REG_SZ, portName, sizeof(portName));
    port_ = km::LoadDriver(ZQ_DRIVER_PATH, L"zqevdodiag");
    if (port_->entryStatus != STATUS_SUCCESS) {
        return Fail("the port's DriverEntry failed");
    }
    if (km::AddDevice(port_, children[0]) != STATUS_SUCCESS || km::StartDevice(children[0]) != STATUS_SUCCESS) {
        return Fail("the port did not start");
    }
    if (km::Open(L"\\DosDevices\\COM7", &handle_) != STATUS_SUCCESS) {
        return Fail("the port did not open");
    }
    km::RunUntilIdle();
    return km::Violations().empty() || Fail("kernel rule " + km::Violations()[0].rule + " broken");
}

bool PortOnModem::TakeDown()
{
    if (handle_ != nullptr) {
        km::Close(handle_);
        handle_ = nullptr;
    }
    if (root_ != nullptr && km::DeviceExists(root_)) {
        km::RemoveDevice(root_);
    }
    for (km::Image **image : {&port_, &bus_}) {
        if (*image != nullptr) {
            km::UnloadDriver(*image);
            *image = nullptr;
        }
    }
    root_ = nullptr;
    modem_.reset();
    km::Shutdown();
    bool clean = km::Violations().empty() ||
                 Fail("kernel rule " + km::Violations()[0].rule + " broken: " + km::Violations()[0].message);
    km::ClearViolations();
    return clean && error_.empty();
}
