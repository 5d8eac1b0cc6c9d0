# Front door of the project: every target installs what is missing, configures and builds.
#   make demo    build (Release) and run the demonstration
#   make test    build with ASan+UBSan (clang, with fuzzers) and run every test, then the
#                concurrency tests again under ThreadSanitizer
#   make bench   build the benchmarks (Release) and run them
#   make install PREFIX=/usr/local
#   make format  clang-format every source file

SHELL := /bin/bash
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
CLANG := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

export ASAN_OPTIONS ?= detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1

.PHONY: deps demo test test-asan test-tsan bench install format clean

deps:
	@scripts/install-deps

demo: deps
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF
	cmake --build build/release -j$(JOBS)
	scripts/demo build/release

test: deps test-asan test-tsan

test-asan: deps
	cmake -S . -B build/asan $(CLANG) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DKIV_SANITIZE=address,undefined -DKIV_BUILD_FUZZ=ON
	cmake --build build/asan -j$(JOBS)
	cd build/asan && ctest -j$(JOBS) --output-on-failure

test-tsan: deps
	cmake -S . -B build/tsan $(CLANG) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_SANITIZE=thread
	cmake --build build/tsan -j$(JOBS) --target kiv_tsan_tests
	cd build/tsan && ctest -L tsan -j$(JOBS) --output-on-failure

bench: deps
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCH=ON
	cmake --build build/bench -j$(JOBS)
	scripts/run-benchmarks build/bench

install: deps
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF
	cmake --build build/release -j$(JOBS)
	cmake --install build/release --prefix $(PREFIX)

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
