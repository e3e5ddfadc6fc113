# The two commands of the README, and the targets around them.  Every target
# first runs the bootstrap, which installs what a fresh machine lacks.
PRESET ?= default
BUILD := build/$(PRESET)
ARGS ?=

.PHONY: all bootstrap configure build test run bench clean

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

clean:
	rm -rf build
