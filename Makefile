# Wraps CMake and CTest. `make test` is what CI runs: dependencies, build, every test.
BUILD       ?= build
SAN_BUILD   ?= build-sanitize
BUILD_TYPE  ?= RelWithDebInfo
WERROR      ?= $(if $(CI),ON,OFF)
JOBS        ?= $(shell nproc)
BENCH       ?=
CMAKE       ?= cmake
CTEST_FLAGS ?= --output-on-failure --timeout 600

.PHONY: all deps configure build test test-sanitize bench demo fuzz clean

all: build

deps:
	bash scripts/install-deps.sh

configure:
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUERN_WERROR=$(WERROR) > /dev/null

build: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS)

test: deps build
	ctest --test-dir $(BUILD) $(CTEST_FLAGS) -j $(JOBS)

test-sanitize: deps
	$(CMAKE) -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUERN_SANITIZE=ON -DQUERN_BUILD_BENCH=OFF \
	  -DQUERN_WERROR=$(WERROR) > /dev/null
	$(CMAKE) --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SAN_BUILD) $(CTEST_FLAGS) -j $(JOBS)

# Benchmarks print one line per measurement: `bench=<name> key=value ...`.
bench: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	bash bench/run.sh $(BUILD) $(BENCH)

# A local room with the scripted word processor and the agent carrying out one instruction.
demo: deps build
	bash tools/room/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
