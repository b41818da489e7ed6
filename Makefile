# Velmora: `make run` and `make test` are the two entry points; both install what is missing.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 30
CMAKE_GEN  := -G Ninja

.PHONY: all deps build package run demo-cli test test-main test-asan test-tsan fuzz bench clean ts-update

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The Debian packages velmora_<version>_amd64.deb and velmora-sim_<version>_amd64.deb in $(BUILD).
package: build
	cmake --build $(BUILD) --target package

run: build
	scripts/run.sh $(BUILD)

# The command-line walk-through against the simulator.
demo-cli: build
	scripts/demo-cli.sh $(BUILD)

test: deps test-main test-asan test-tsan

# The packages are built from the same build folder and checked (contents, --version from an
# unpacked root, AppStream data, lintian).
test-main: build
	cd $(BUILD) && ctest -j2 --output-on-failure
	scripts/check-package.sh $(BUILD)

# The core (no benchmarks) and the windows' live tests (video panes, main window, upgrade window
# closing while it works) under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=address \
	  -DVELMORA_BUILD_UI=ON -DVELMORA_BUILD_BENCH=OFF
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ctest -j2 --output-on-failure -L 'core|ui-asan'

# Threaded parts of the core under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=thread \
	  -DVELMORA_BUILD_UI=OFF -DVELMORA_BUILD_BENCH=OFF
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && ctest -j2 --output-on-failure -L threads

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DVELMORA_BUILD_FUZZ=ON -DVELMORA_BUILD_UI=OFF -DVELMORA_BUILD_BENCH=OFF -DVELMORA_BUILD_TESTS=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	scripts/run-fuzz.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

# Gathers the windows' texts into translations/velmora_en.ts (new texts arrive unfinished).
ts-update: build
	cmake --build $(BUILD) --target ts-update

bench: build
	scripts/run-bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ)
