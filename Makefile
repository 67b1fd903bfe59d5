# The two commands a newcomer needs: `make demo` and `make test`.
# Both install missing Debian packages first (as root) and build with CMake.
# `make install` / `make uninstall` put the filter and the PPD into CUPS's
# folders and take them out again; both honour DESTDIR.

BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build demo test install uninstall clean

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

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

uninstall:
	DESTDIR="$(DESTDIR)" cmake -P $(BUILD)/uninstall.cmake

clean:
	rm -rf $(BUILD) out
