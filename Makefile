# The two commands of the README, and the targets around them.  Every target
# first runs the bootstrap, which installs what a fresh machine lacks.
PRESET ?= default
BUILD := build/$(PRESET)
ARGS ?=

.PHONY: all bootstrap configure build test run clean

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

clean:
	rm -rf build
