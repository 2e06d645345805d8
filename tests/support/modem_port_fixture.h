// The port driver as a system brings it up on the simulated modem: the modem's
// bus on a root device, the port's driver added on the bus's child and started
// by the PnP manager, and an application that opens the port by its COM name
// and reads, cancels, flushes and closes through the I/O manager. The modem
// behind it is driven through ModemClient.
//
// Everything the application does runs as its own context ("application"), so
// the requests reach the driver at PASSIVE_LEVEL as they would from a thread.
#pragma once

#include "tests/modem_sim/modem_client.h"
#include "tests/support/port_fixture.h"

#include <km/harness.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class ModemPortFixture : public PortFixture {
protected:
    // The port's name in the child's hardware key, as its INF writes it.
    static constexpr const wchar_t *PortLink = L"\\DosDevices\\COM7";

    void SetUp() override;
    // Closes a handle still open, removes the child (and with it the port)
    // and the bus through the PnP manager, unloads both drivers, then checks
    // the kernel as every test does.
    void TearDown() override;
    // The port leaves with its child, through the PnP manager.
    void TakeDown(PDEVICE_OBJECT port) override;

    // What TearDown does before the kernel's checks; a test that brings the
    // port up once per seed takes it all down before the next seed's boot.
    void TakeAllDown();

    // Loads the bus and the port drivers and starts the port on the child.
    // With observeBelowPort set, a filter between the port and the child
    // shows it every request the port sends down, before passing it on.
    void BringUp();
    std::function<void(PIRP)> observeBelowPort;
    // How the modem ends its transfers: from its DPC (as a bus driver does
    // after the hardware's interrupt) or inline, before the submission returns.
    bool completeInline = false;
    // With holdBelowPort set as well, the filter keeps the requests it
    // answers true for (pending) until ReleaseHeld passes them on.
    std::function<bool(PIRP)> holdBelowPort;
    void ReleaseHeld();
    std::vector<PIRP> held;

    // ---- the application
    // CreateFile on PortLink; the handle is kept for the calls below.
    NTSTATUS Open();
    // A second handle, for the tests that need two; nullptr when refused.
    NTSTATUS OpenAnother(km::Handle **handle);
    // ReadFile without waiting: the request as the I/O manager built it.
    km::Request *Read(ULONG length);
    // ReadFile that waits; the request has completed when it returns (the
    // clock runs on while nothing else can).
    km::Request *ReadAndWait(ULONG length);
    // CancelIo for one request; true when a cancel routine ran.
    bool Cancel(km::Request *request);
    km::Request *Flush();
    // Cleanup only: the I/O manager's first step of CloseHandle.
    NTSTATUS Cleanup();
    // CloseHandle: cleanup, then close once the handle's requests have ended.
    NTSTATUS Close();
    // WriteFile without waiting.
    km::Request *Write(const std::string &bytes);
    // DeviceIoControl without waiting; most control requests have completed
    // when it returns.
    km::Request *Control(ULONG code, const void *input = nullptr, ULONG inLength = 0, ULONG outLength = 0);
    // Bytes that differ from one seed to the next and along each run.
    static std::string Pattern(size_t length, unsigned seed);
    // Waits for a request in an application context.
    void Wait(km::Request *request);
    // The bytes a read delivered.
    static std::string Bytes(const km::Request *request)
    {
        return std::string(request->output.begin(), request->output.end());
    }

    // The read timeouts, as IOCTL_SERIAL_SET_TIMEOUTS stores them.
    void SetReadTimeouts(ULONG interval, ULONG multiplier, ULONG constant);

    // ---- the modem
    ModemClient &Modem()
    {
        return *modem_;
    }
    // Bytes toward the host; they complete the pending bulk-in transfer.
    void Send(const std::string &bytes);
    // The counters of a pipe of the modem.
    MODEM_PIPE_STATUS Pipe(ULONG pipe) const
    {
        return modem_->Status().Pipes[pipe];
    }

    // Runs `scenario` once per seed, each on a fresh kernel with the port
    // brought up and opened for it; returns how often each interleaving the
    // scenario named was seen. With `kinds`, it stops once that many kinds of
    // interleaving have been seen, so that a rare one gets up to `seeds` tries
    // whatever the first seed.
    std::map<std::string, int> ForEachSeed(int seeds, const std::function<std::string(uint64_t seed)> &scenario,
                                           size_t kinds = 0);

    km::Image *busImage = nullptr;
    PDEVICE_OBJECT root = nullptr;
    km::Handle *handle = nullptr;

private:
    void AttachObserver(PDEVICE_OBJECT child);
    void TearDownBus();
    std::unique_ptr<ModemClient> modem_;
    PDEVICE_OBJECT belowPort_ = nullptr;
};

// A suite whose every test runs twice: with the modem completing its transfers
// from its DPC, and inline.
class ModemPortCompletionTest : public ModemPortFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        completeInline = GetParam();
        ModemPortFixture::SetUp();
    }
};

std::string CompletionModeName(const ::testing::TestParamInfo<bool> &info);

#define INSTANTIATE_COMPLETION_MODES(suite)                                                                            \
    INSTANTIATE_TEST_SUITE_P(Completion, suite, ::testing::Values(false, true), CompletionModeName)
