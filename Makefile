# Entry points: `make demo` and `make test` (both install what is missing first).
HOST_BUILD   := build/host
TARGET_BUILD := build/target
JOBS         ?= 2

.PHONY: all deps host target test demo lint format clean

all: host target

deps:
	@bash scripts/install-deps.sh

host: deps
	cmake -S . -B $(HOST_BUILD) -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(HOST_BUILD) -j$(JOBS)

target: deps
	cmake -S . -B $(TARGET_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(TARGET_BUILD) -j$(JOBS)

test: host target
	ctest --test-dir $(TARGET_BUILD) --output-on-failure
	ctest --test-dir $(HOST_BUILD) --output-on-failure -j$(JOBS)

demo: target
	@bash scripts/demo.sh $(TARGET_BUILD)

lint: host
	@bash scripts/lint.sh $(HOST_BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
