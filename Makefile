# Entry points: `make demo` and `make test` (both install what is missing first).
#
# Five build folders: the kernel images for i386 and for x64 (mingw-w64), and
# the host build against the kernel model for i386, for x86-64, and for x86-64
# with AddressSanitizer and UndefinedBehaviorSanitizer. Where this machine runs
# no 32-bit programs (scripts/runs-i386.sh; ZQ_NO_I386=1 forces that path), the
# i386 host tests run through qemu-i386-static and the 32-bit Wine test is
# reported skipped.
HOST32   := build/host32
HOST64   := build/host64
ASAN     := build/host64-asan
TARGET32 := build/target32
TARGET64 := build/target64
BENCH    := build/bench
JOBS     ?= 2
QEMU_I386 := /usr/bin/qemu-i386-static
# Empty where i386 programs run natively; evaluated once per make run, at its
# first use in a recipe, so after `deps` has installed what the probe needs.
I386_EMULATOR = $(eval I386_EMULATOR := $(shell bash scripts/runs-i386.sh >/dev/null || echo $(QEMU_I386)))$(I386_EMULATOR)

.PHONY: all deps hosts targets host32 host64 asan target32 target64 test demo wine-bench seeds stress valgrind bench driver-instructions lint mutants format clean

all: hosts targets
hosts: host32 host64 asan
targets: target32 target64

deps:
	@bash scripts/install-deps.sh

host32: deps
	cmake -S . -B $(HOST32) -DCMAKE_BUILD_TYPE=Debug -DZQ_HOST_ARCH=i386 \
	  -DCMAKE_CROSSCOMPILING_EMULATOR="$(I386_EMULATOR)"
	cmake --build $(HOST32) -j$(JOBS)

host64: deps
	cmake -S . -B $(HOST64) -DCMAKE_BUILD_TYPE=Debug -DZQ_HOST_ARCH=x86_64
	cmake --build $(HOST64) -j$(JOBS)

asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DZQ_HOST_ARCH=x86_64 -DZQ_SANITIZE=ON
	cmake --build $(ASAN) -j$(JOBS)

target32: deps
	cmake -S . -B $(TARGET32) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(TARGET32) -j$(JOBS)

target64: deps
	cmake -S . -B $(TARGET64) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/x86_64-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(TARGET64) -j$(JOBS)

# Every build's tests, each host suite once; a failure in one build does not
# hide the results of the others.
test: all
	@bash scripts/run-tests.sh $(JOBS) $(TARGET64) $(TARGET32) $(HOST64) $(ASAN) $(HOST32)

demo: targets
	@bash scripts/demo.sh $(TARGET32) $(TARGET64)

# The port against Wine's serial port on a pseudo-terminal, whose far end is
# pty_peer, a Linux program. WINE_BENCH_ARGS go to the client, e.g.
# "--repeat 9" or "--receive 16 --echo 0 --intact 0".
PTY_PEER := build/tools/pty_peer
WINE_BENCH_ARGS ?=
$(PTY_PEER): tools/pty_peer/pty_peer.cpp
	@mkdir -p $(dir $@)
	$(CXX) -std=c++17 -O2 -Wall -Wextra -Werror -o $@ $<

wine-bench: targets $(PTY_PEER)
	@bash scripts/wine-bench.sh $(TARGET32) $(TARGET64) $(PTY_PEER) $(WINE_BENCH_ARGS)

# ZQ_SEED 1..100 over the x86-64 and sanitizer host suites, and the i386 one
# where it runs natively. SEEDS=first-last narrows the range. The i386 build
# is named in the recipe, not the prerequisites: a prerequisite list is
# expanded when the Makefile is read, before `deps` could install the 32-bit
# compiler, and the answer would stick for the whole run.
SEEDS ?= 1-100
seeds: host64 asan host32
	@bash scripts/seeds.sh $(SEEDS) $(HOST64) $(ASAN) $(if $(I386_EMULATOR),,$(HOST32))

# The reliability campaign: SCENARIOS generated scenarios and the complete
# sweeps on the x86-64 host build, SCENARIOS32 on the i386 one (fewer under qemu).
SCENARIOS ?= 100000
SCENARIOS32 = $(if $(I386_EMULATOR),5000,20000)
stress: host64 host32
	@bash scripts/stress.sh $(JOBS) $(SCENARIOS) $(HOST64) $(SCENARIOS32) $(HOST32)

# The x86-64 host suites under valgrind's memcheck.
valgrind: host64
	@bash scripts/valgrind.sh $(HOST64)

# The benchmarks, optimised (-O2, x86-64, the verifier on, no sanitizers); not
# part of `make test`. BENCH_ARGS goes to each program, e.g.
# BENCH_ARGS=--benchmark_filter=Model.
bench: deps
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_HOST_ARCH=x86_64
	cmake --build $(BENCH) -j$(JOBS) --target benchmarks
	@for program in $(BENCH)/bench/*_bench; do echo "== $$program"; $$program $(BENCH_ARGS) || exit 1; done

# The port driver's instructions per 4 KiB in the benchmark's paths, counted
# by callgrind in the optimised build, beside memcpy of 4 KiB.
driver-instructions: deps
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_HOST_ARCH=x86_64
	cmake --build $(BENCH) -j$(JOBS) --target driver_bench
	@bash scripts/driver-instructions.sh $(BENCH)

lint: host64
	@bash scripts/lint.sh $(HOST64)

# Mutation testing: plausible breakages of the driver, one at a time, against
# the x86-64 host suites. MUTANTS_ARGS, e.g. "driver/serial/write.cpp" or
# "--survivors".
MUTANTS_ARGS ?=
mutants: host64
	python3 scripts/mutants.py --build $(HOST64) -j$(JOBS) $(MUTANTS_ARGS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
