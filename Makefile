# The two commands of the README, and the targets around them.  Every target
# first runs the bootstrap, which installs what a fresh machine lacks.
MAKEFLAGS += --no-print-directory
PRESET ?= default
BUILD := build/$(PRESET)
ARGS ?=

.PHONY: all bootstrap configure build test run demo bench clean

all: build

bootstrap:
	@scripts/bootstrap.sh

configure: bootstrap
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

test: build
	@ctest --preset $(PRESET)

run: build
	@$(BUILD)/bin/qgate-server $(ARGS)

# A one-minute show: the server under a spoofed flood, filter on, then off.
demo: build
	@scripts/demo.sh $(BUILD)/bin

# The soak: the server under a 200,000-source flood for SOAK_SECONDS while
# its console is driven; checks agreement and memory, writes docs/soak.md.
# (A 15-second form runs in `make test`, label `soak`.)
SOAK_SECONDS ?= 120
.PHONY: soak
soak: configure
	@cmake --build --preset $(PRESET) --target soak_test
	@QG_BIN_DIR=$(CURDIR)/$(BUILD)/bin SOAK_SECONDS=$(SOAK_SECONDS) \
	  SOAK_REPORT=$(CURDIR)/docs/soak.md $(BUILD)/bin/soak_test

# Benchmarks: the receive path in Google Benchmark, then the server under the
# flood tool; writes docs/performance.md and its plot.
bench: configure
	@scripts/bootstrap.sh gnuplot-nox python3
	@cmake --build --preset $(PRESET)
	@$(BUILD)/bin/filter_bench --benchmark_min_time=0.3 \
	  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BUILD)/bench-micro.json --benchmark_out_format=json
	@if [ -x bench/e2e.sh ]; then bench/e2e.sh $(BUILD)/bin $(BUILD)/bench-e2e.json; fi
	@bench/report.py $(BUILD)/bench-micro.json $(BUILD)/bench-e2e.json docs
	@echo "wrote docs/performance.md and docs/cost-per-datagram.png"

# Hardening passes, each in its own build folder (see README, "Hardening"):
# the whole suite at the real target's word size (-m32), under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer; then every libFuzzer target for FUZZ_SECONDS seconds.
FUZZ_SECONDS ?= 20
I386_GTEST := build/i386-deps/lib/cmake/GTest/GTestConfig.cmake

.PHONY: test-i386 test-sanitize test-tsan fuzz

test-i386:
	@scripts/bootstrap.sh g++-multilib googletest
	@$(MAKE) $(I386_GTEST)
	@$(MAKE) test PRESET=i386

# GoogleTest for i386, built with -m32 from Debian's own googletest sources.
$(I386_GTEST):
	@cmake -S /usr/src/googletest -B build/i386-deps/src \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i386.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_LIBDIR=lib \
	  -DCMAKE_INSTALL_PREFIX=$(CURDIR)/build/i386-deps >/dev/null
	@cmake --build build/i386-deps/src -j2
	@cmake --install build/i386-deps/src >/dev/null

test-sanitize:
	@$(MAKE) test PRESET=sanitize

test-tsan:
	@$(MAKE) test PRESET=tsan

fuzz: bootstrap
	@scripts/bootstrap.sh clang libclang-rt-dev
	@scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build
