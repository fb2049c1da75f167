# Sorvane: build, test and demo on Debian.
#   make build   programs into build/bin
#   make test    install missing packages (as root), build with sanitizers, run every test
#   make demo    run the system's main job as far as it exists
#   make show    the demo's machine and host, their monitor in a window here (SHOW_ARGS, SHOW_LAN=1)
#   make check   the include rule, and the Windows build with its port suites run under Wine
#   make bench   build and run the benchmarks
#   make soak    stream for SECONDS (default 3600) and fail on growth or a lost second
#   make fuzz    build the fuzzing harnesses (clang) and run each for FUZZ_SECONDS

BUILD      ?= build
TEST_BUILD ?= build-test
TSAN_BUILD ?= build-tsan
WIN_BUILD  ?= build-win
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 180
SECONDS    ?= 3600
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all build test test-asan test-tsan demo show deps check check-includes check-windows bench soak fuzz clean

all: build

# DEPS_DONE=1 skips the package step (CI installs the packages once, first).
deps:
	@[ -n "$(DEPS_DONE)" ] || scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_BUILD_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS)

test: deps test-asan test-tsan

test-asan:
	cmake -S . -B $(TEST_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DSORVANE_SANITIZE=address,undefined \
	  -DSORVANE_BUILD_BENCH=OFF
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

test-tsan:
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DSORVANE_SANITIZE=thread \
	  -DSORVANE_BUILD_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)/bin

show: build
	@scripts/show.sh $(BUILD)/bin $(SHOW_ARGS)

check: check-includes check-windows

check-includes:
	@scripts/check-includes.sh

check-windows: deps
	cmake -S . -B $(WIN_BUILD) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DSORVANE_PORTABLE_ONLY=ON
	cmake --build $(WIN_BUILD) -j $(JOBS)
	scripts/run-windows-tests.sh $(WIN_BUILD)

# Stops at the first benchmark program that fails.
bench: build
	@for b in $(BUILD)/bench/*; do \
	  if [ -f "$$b" ] && [ -x "$$b" ]; then "$$b" --benchmark_min_time=0.2 || { echo "bench: $$b failed"; exit 1; }; fi; \
	done
	bench/media/ffmpeg_peer.sh $(BUILD)/bench
	bench/stream/stream_bench.sh $(BUILD)/bin 10

# Not part of make test: SECONDS of streaming with the host's and the driver's resources sampled.
soak: build
	bench/soak/soak.sh $(BUILD)/bin $(SECONDS)

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVANE_FUZZ=ON -DSORVANE_BUILD_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_harnesses
	tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(TSAN_BUILD) $(WIN_BUILD) $(FUZZ_BUILD)
