# The two commands a newcomer needs: `make demo` and `make test`.
# Both install missing Debian packages first (as root) and build with CMake.

BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build demo test clean

all: build

build:
	@scripts/ensure-packages.sh build test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

demo:
	@scripts/ensure-packages.sh build test demo
	@$(MAKE) --no-print-directory build
	@scripts/demo.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) out
