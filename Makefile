# Thin wrapper over CMake. `make test` is the one command CI runs.
BUILD_DIR ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DBRENIK_WERROR=ON
endif

.PHONY: all deps configure build test bench demo clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS) --timeout 300

bench: build
	@scripts/run-benchmarks $(BUILD_DIR)

demo: build
	@scripts/demo $(BUILD_DIR)

clean:
	@rm -rf $(BUILD_DIR)
