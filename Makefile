# torvi-cli and korvan-sim. `make demo` and `make test` work on a fresh
# Debian 12 machine: both install what is missing first.

BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build test demo bench asan fuzz format clean install package windows windows-package windows-check

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

# cmake --install into PREFIX (DESTDIR is honoured for staged installs).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package $(BUILD)/torvi_1.0.0_amd64.deb (install it with dpkg -i).
package: build
	cd $(BUILD) && cpack -G DEB
	@echo "package: $(BUILD)/torvi_1.0.0_amd64.deb"

# Windows: torvi-cli.exe, torvi-inspect.exe and torvi-site.exe in $(WINDOWS_BUILD)/,
# cross-compiled with mingw-w64 and linked static against libraries built
# from Debian's source packages (scripts/windows-deps, cached under
# ~/.cache/torvi/windows/). windows-check also builds every unit test for
# Windows and runs them, the programs against korvan-sim and the installer
# under wine (WINE=no builds without running). windows-package writes the
# ZIP folder and the installer.
WINDOWS_BUILD ?= build-windows
windows:
	cmake/windows-check/install-deps
	JOBS=$(JOBS) scripts/windows-build $(WINDOWS_BUILD) torvi-cli torvi-inspect torvi-site

windows-package:
	cmake/windows-check/install-deps
	JOBS=$(JOBS) scripts/windows-build $(WINDOWS_BUILD) torvi-cli torvi-inspect torvi-site
	scripts/windows-package $(WINDOWS_BUILD)

windows-check:
	scripts/install-deps
	cmake/windows-check/install-deps
	JOBS=$(JOBS) scripts/windows-build $(WINDOWS_BUILD) all
	scripts/windows-package $(WINDOWS_BUILD)
	JOBS=$(JOBS) cmake/windows-check/run $(WINDOWS_BUILD) $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-windows demo-out
