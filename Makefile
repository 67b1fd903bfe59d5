# The two commands a newcomer needs: `make demo` and `make test`.
# Both install missing Debian packages first (as root) and build with CMake.
# `make install` / `make uninstall` put the filter and the PPD into CUPS's
# folders and take them out again; both honour DESTDIR. `make deb` builds the
# Debian packages into out/deb, `make autopkgtest` tests them installed.

BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
BENCH_BUILD ?= build-bench
JOBS ?= $(shell nproc)

.PHONY: all build sanitize-build demo test lint mutants bench install uninstall deb autopkgtest clean

all: build

build:
	@scripts/ensure-packages.sh build test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

demo:
	@scripts/ensure-packages.sh build test demo
	@$(MAKE) --no-print-directory build
	@scripts/demo.sh $(BUILD)

# The whole suite, then once more built with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), which adds a bounded fuzz run.
test: build sanitize-build
	@scripts/ensure-packages.sh deb
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS) -LE e2e

sanitize-build:
	@scripts/ensure-packages.sh build test sanitize
	CC=clang CXX=clang++ cmake -S . -B $(SANITIZE_BUILD) -DRTM_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)

# Static checks: clang-tidy with the repository's .clang-tidy, and cppcheck.
lint: build
	run-clang-tidy -p $(BUILD) -quiet '^$(CURDIR)/(filter|app|tests|tools|fuzz|bench)/'
	cppcheck --project=$(BUILD)/compile_commands.json --library=googletest --enable=warning,style,performance,portability \
	  --inline-suppr --quiet --error-exitcode=1 -i $(BUILD)/_deps --suppress=missingIncludeSystem --suppress=useStlAlgorithm

# Plants a fixed set of small faults in filter/, tools/monodump/ and app/ one
# at a time and runs the fast suite against each (scripts/mutants.sh); the
# build and the mutated sources live in build-mutants/, never in the tree.
mutants:
	@scripts/ensure-packages.sh build test
	@scripts/mutants.sh

# Speed and memory side by side with the floor (reading the raster only) and
# CUPS's rastertohp, encoder micro-benchmarks and a callgrind count; makes
# its corpus on the first run. See docs/performance.md.
bench:
	@scripts/ensure-packages.sh build bench
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRTM_BUILD_TESTS=OFF -DRTM_BUILD_BENCH=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@bench/run.sh $(BENCH_BUILD)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

uninstall:
	DESTDIR="$(DESTDIR)" cmake -P $(BUILD)/uninstall.cmake

# From the committed tree, built outside the work tree; lintian must find no
# error or warning.
deb:
	@scripts/ensure-packages.sh deb
	scripts/build-deb.sh out/deb

# Installs the packages on this machine and prints through the real CUPS and
# the application, then purges them again: left installed, their PPD would be
# a second model in every scheduler's list, the tests' private ones too. The
# README says what else stays changed.
autopkgtest: deb
	@scripts/ensure-packages.sh autopkgtest
	status=0; autopkgtest out/deb/*.changes -- null || status=$$?; \
	  apt-get purge -y -qq rastertomono-printer-app printer-driver-rastertomono; exit $$status

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(BENCH_BUILD) build-mutants out
