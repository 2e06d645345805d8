// The port driver's own paths, 4 KiB at a time, each beside memcpy of the
// same bytes in the same run: a bulk-in transfer into a read that waits for
// it, a bulk-in transfer into the receive ring with no read waiting, a written
// 4 KiB piece, and the ring's copies across the end of its storage. The
// modem completes inline, so that the model's share is as small as it gets;
// scripts/driver-instructions.sh counts the driver's own instructions in
// these same paths, split from the model's and the modem's.
//
// Each iteration moves kPieces pieces; under callgrind (started with
// --collect-atstart=no) only those moves are counted, whichever context of
// the model runs them.
#include "bench/support/port_on_modem.h"

#include "driver/core/device_extension.h"

#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr ULONG kPiece = 4096;
constexpr int kPieces = 200; // fits the receive ring with room to spare

enum class Path { WaitingRead, Ring, Write };

// Called once per piece moved, for the instruction count to divide by.
__attribute__((noinline)) void NotePiece()
{
    asm volatile("");
}

// Moves kPieces pieces along the path; false when one went wrong.
bool MovePieces(PortOnModem &port, Path path, const std::vector<uint8_t> &piece)
{
    bool ok = true;
    ModemClient modem = port.Modem().Direct();
    CALLGRIND_TOGGLE_COLLECT;
    km::Run(
        [&] {
            for (int i = 0; i < kPieces && ok; i++) {
                NotePiece();
                km::Request *request = nullptr;
                if (path == Path::WaitingRead) {
                    request = km::ReadAsync(port.Port(), kPiece); // waits: the ring is empty
                    modem.Generate(kPiece);
                } else if (path == Path::Write) {
                    request = km::WriteAsync(port.Port(), piece.data(), kPiece);
                } else {
                    modem.Generate(kPiece);
                }
                if (request != nullptr) {
                    km::Wait(request);
                    ok = request->status == STATUS_SUCCESS && request->information == kPiece;
                }
            }
        },
        "application");
    km::RunUntilIdle();
    CALLGRIND_TOGGLE_COLLECT;
    return ok;
}

void DriverPath(benchmark::State &state, Path path)
{
    static std::string error;
    PortOnModem port;
    std::vector<uint8_t> piece(kPiece, 0x5A);
    if (!port.BringUp(0, true)) {
        error = port.Error();
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        if (!MovePieces(port, path, piece)) {
            port.Fail("a request did not move its 4 KiB");
            break;
        }
        if (path == Path::Ring) {
            // Not timed: the ring is emptied for the next iteration.
            state.PauseTiming();
            ULONG purge = SERIAL_PURGE_RXCLEAR;
            km::Run([&] { km::Wait(km::IoctlAsync(port.Port(), IOCTL_SERIAL_PURGE, &purge, sizeof purge, 0)); });
            state.ResumeTiming();
        }
    }
    if (!port.TakeDown()) {
        error = port.Error();
        state.SkipWithError(error.c_str());
        return;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPieces * kPiece);
}

void ReceiveIntoWaitingRead(benchmark::State &state)
{
    DriverPath(state, Path::WaitingRead);
    state.SetLabel("4 KiB bulk-in transfers, each into a read waiting for it");
}
BENCHMARK(ReceiveIntoWaitingRead)->Unit(benchmark::kMicrosecond);

void ReceiveIntoRing(benchmark::State &state)
{
    DriverPath(state, Path::Ring);
    state.SetLabel("4 KiB bulk-in transfers into the ring, no read waiting");
}
BENCHMARK(ReceiveIntoRing)->Unit(benchmark::kMicrosecond);

void WritePiece(benchmark::State &state)
{
    DriverPath(state, Path::Write);
    state.SetLabel("4 KiB writes, one bulk-out piece each");
}
BENCHMARK(WritePiece)->Unit(benchmark::kMicrosecond);

// The ring's two copies, in and out, of 4 KiB that straddle the end of its
// storage: the driver's RingPut and RingGet on a record of its own.
bool RingRoundTrips(PortOnModem &port, DeviceExtension *extension, const std::vector<uint8_t> &piece,
                    std::vector<uint8_t> *out)
{
    using RingPut = NTSTATUS(PDEVICE_EXTENSION, const UCHAR *, ULONG, PULONG);
    using RingGet = NTSTATUS(PDEVICE_EXTENSION, PUCHAR, ULONG, PULONG);
    RingPut *put = km::SymbolAs<RingPut>(port.PortImage(), "RingPut");
    RingGet *get = km::SymbolAs<RingGet>(port.PortImage(), "RingGet");
    bool ok = true;
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < kPieces; i++) {
        NotePiece();
        extension->RingHead = extension->RingTail = RING_CAPACITY - kPiece / 2;
        extension->RingCount = 0;
        ULONG moved = 0;
        put(extension, piece.data(), kPiece, &moved);
        ok = ok && moved == kPiece;
        get(extension, out->data(), kPiece, &moved);
        ok = ok && moved == kPiece;
    }
    CALLGRIND_TOGGLE_COLLECT;
    return ok;
}

void RingAcrossTheWrap(benchmark::State &state)
{
    static std::string error;
    PortOnModem port;
    if (!port.BringUp(0, true)) {
        error = port.Error();
        state.SkipWithError(error.c_str());
        return;
    }
    std::unique_ptr<DeviceExtension> extension(new DeviceExtension());
    std::vector<uint8_t> piece(kPiece, 0x5A), out(kPiece);
    for (auto _ : state) {
        if (!RingRoundTrips(port, extension.get(), piece, &out)) {
            state.SkipWithError("the ring did not move 4 KiB");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    port.TakeDown();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPieces * kPiece);
    state.SetLabel("4 KiB in and out across the end of the storage (two copies)");
}
BENCHMARK(RingAcrossTheWrap)->Unit(benchmark::kMicrosecond);

using CopyRoutine = void *(void *, const void *, size_t);

// The yardstick: `copies` memcpy of each 4 KiB piece, through a call of the C
// library's memcpy (the compiler would inline a copy of a known length).
__attribute__((noinline)) void CopyPieces(CopyRoutine *copy, uint8_t *to, const uint8_t *from, int copies)
{
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < kPieces; i++) {
        NotePiece();
        for (int c = 0; c < copies; c++) {
            copy(to + c * kPiece, from, kPiece);
        }
        benchmark::ClobberMemory();
    }
    CALLGRIND_TOGGLE_COLLECT;
}

// Arguments: the copies of each piece, and which memcpy: the current one, or
// the one the driver's image binds. Its reference carries no symbol version
// (the image is linked without the C library), so the loader gives it the
// oldest: memcpy@GLIBC_2.2.5, which is an SSE2 memmove.
void Memcpy(benchmark::State &state)
{
    int copies = static_cast<int>(state.range(0));
    bool asDriver = state.range(1) != 0;
    CopyRoutine *copy = std::memcpy;
    if (asDriver) {
        copy = reinterpret_cast<CopyRoutine *>(dlvsym(RTLD_DEFAULT, "memcpy", "GLIBC_2.2.5"));
    }
    if (copy == nullptr) {
        state.SkipWithError("no memcpy@GLIBC_2.2.5");
        return;
    }
    std::vector<uint8_t> from(kPiece, 0x5A), to(2 * kPiece);
    for (auto _ : state) {
        CopyPieces(copy, to.data(), from.data(), copies);
        benchmark::DoNotOptimize(to.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPieces * kPiece);
    state.SetLabel(std::string(copies == 1 ? "one copy" : "two copies") + " of each 4 KiB, " +
                   (asDriver ? "the memcpy the driver binds" : "the current memcpy"));
}
BENCHMARK(Memcpy)->Args({1, 0})->Args({2, 0})->Args({1, 1})->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
