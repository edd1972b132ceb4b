# torvi-cli and korvan-sim. `make demo` and `make test` work on a fresh
# Debian 12 machine: both install what is missing first.

BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build test demo bench asan fuzz format clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

demo: build
	scripts/demo $(BUILD)

bench: build
	$(BUILD)/torvi-bench

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTORVI_SANITIZE=ON -DTORVI_BENCH=OFF
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS) --timeout 900

# Each fuzz target for FUZZ_SECONDS (libFuzzer, clang).
FUZZ_SECONDS ?= 30
fuzz: deps
	scripts/fuzz $(FUZZ_SECONDS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-fuzz demo-out
