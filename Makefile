# Entry points: `make run` starts the listener, `make run-web` the listener and the web console,
# `make test` runs every test, `make package` builds the Debian package vorn-server.
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: deps build run run-web test test-release test-package test-asan test-tsan format-check \
	lint bench fuzz package clean

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./scripts/run.sh $(BUILD) $(ARGS)

# orxgui in the background and the web console orxweb in the foreground (https://127.0.0.1:8443/).
run-web: build
	./scripts/run-web.sh $(BUILD) $(ARGS)

test: deps format-check test-release test-package test-asan test-tsan

test-release:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORX_BENCH=OFF
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

# The package's life on this machine, from the Release build test-release made: build, lintian,
# install, run under the unit's command line, upgrade, purge (root; installs and removes
# vorn-server).
test-package:
	./tests/package/package_test.sh build

test-asan:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORX_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS) -LE slow

# Only the tests labelled threaded run under the thread sanitizer, so the fuzz replays are not built.
test-tsan:
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORX_TSAN=ON -DORX_FUZZ_REPLAY=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L threaded

format-check:
	./scripts/format.sh --check

# clang-tidy with the checks of .clang-tidy over the project's sources (not part of `make test`).
lint: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	./scripts/lint.sh $(BUILD)

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build build-bench -j $(JOBS) --target bench
	./build-bench/bench/bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DORX_FUZZ=ON -DORX_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS)

# build/vorn-server_<version>-<release>_<arch>.deb (ORX_PACKAGE_RELEASE=N sets the Debian revision).
package: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORX_BENCH=OFF
	cmake --build build -j $(JOBS)
	cd build && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
