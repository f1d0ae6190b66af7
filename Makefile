# Thin wrapper over CMake. `make test` is the one command CI runs.
BUILD_DIR ?= build
JOBS ?= 2
PREFIX ?= /usr/local
CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DBRENIK_WERROR=ON
endif

.PHONY: all deps configure build test format format-check bench demo install package clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS) --timeout 300

# The C++ sources as .clang-format lays them out.
FORMAT_FILES = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'server/*.cpp' 'server/*.hpp' 'bench/*.cpp')

format:
	@clang-format -i $(FORMAT_FILES)

format-check: deps
	@clang-format --dry-run --Werror $(FORMAT_FILES)

bench: build
	@scripts/run-benchmarks $(BUILD_DIR)

demo: build
	@scripts/demo $(BUILD_DIR)

# `make install PREFIX=~/.local`; DESTDIR stages it elsewhere (packaging).
install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX) --strip

# A .deb in $(BUILD_DIR): `sudo apt install ./$(BUILD_DIR)/brenik_*.deb`.
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

clean:
	@rm -rf $(BUILD_DIR)
