// Bytes per second through the whole model: the simulated modem sends at full
// speed, each bulk-in transfer completes into the port driver, and an
// application reads in 64 KiB reads until everything has arrived. Beside it,
// one memcpy of the same bytes. Each iteration runs on a fresh kernel with the
// same seed (ZQ_SEED, else 1), so every iteration makes the same decisions;
// bringing the port up and taking it down are not timed.
#include "bench/support/port_on_modem.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kBytes = 16u << 20;
constexpr ULONG kReadSize = 64 * 1024;

// What the modem generates: 0, 1, ... 255, 0, ...
bool Intact(const std::vector<km::Request *> &reads)
{
    size_t offset = 0;
    for (const km::Request *read : reads) {
        for (uint8_t byte : read->output) {
            if (byte != static_cast<uint8_t>(offset++)) {
                return false;
            }
        }
    }
    return offset == kBytes;
}

void ModelReceive(benchmark::State &state)
{
    static std::string error;
    PortOnModem port;
    size_t readCount = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bool up = port.BringUp(0, state.range(0) != 0);
        state.ResumeTiming();
        std::vector<km::Request *> reads;
        size_t received = 0;
        if (up) {
            km::Run(
                [&] {
                    port.Modem().Direct().Generate(kBytes);
                    while (received < kBytes) {
                        km::Request *read = km::ReadAsync(port.Port(), kReadSize);
                        km::Wait(read);
                        if (read->status != STATUS_SUCCESS || read->information == 0) {
                            break;
                        }
                        reads.push_back(read);
                        received += read->information;
                    }
                },
                "application");
        }
        state.PauseTiming();
        readCount += reads.size();
        if (up && !Intact(reads)) {
            port.Fail("received " + std::to_string(received) + " of " + std::to_string(kBytes) +
                      " bytes, or not the ones sent");
        }
        if (!port.TakeDown()) {
            error = port.Error();
            state.SkipWithError(error.c_str());
            break;
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
    state.counters["bytes_per_read"] = static_cast<double>(state.iterations() * kBytes) / readCount;
    state.SetLabel(state.range(0) != 0 ? "modem completes inline" : "modem completes from its DPC");
}
BENCHMARK(ModelReceive)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void Memcpy(benchmark::State &state)
{
    std::vector<uint8_t> from(kBytes), to(kBytes);
    for (size_t i = 0; i < kBytes; ++i) {
        from[i] = static_cast<uint8_t>(i);
    }
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), kBytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
    state.SetLabel("the same bytes");
}
BENCHMARK(Memcpy)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
