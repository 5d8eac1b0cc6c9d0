# SPDX-License-Identifier: Apache-2.0
# Front door of the project: every target installs what is missing, configures and builds.
#   make demo    build (Release) and run the demonstration
#   make test    warnings as errors everywhere: an ASan+UBSan build (clang, with fuzzers) with
#                every test, the concurrency tests again under ThreadSanitizer, and a GCC
#                Release build with its unit tests (the slow tests run in the ASan build only),
#                and Debug builds with both compilers
#   make bench   build the benchmarks (Release) and run them
#   make install PREFIX=/usr/local
#   make format  clang-format every source file

SHELL := /bin/bash
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
CLANG := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
GCC := -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
# A runaway test fails fast instead of taking the machine's memory: sanitizer builds stop a
# process whose resident memory passes the limit, the GCC build caps each test's address space.
TEST_MEMORY_MB ?= 4096

# The defaults come first, so that settings from the environment override them.
export ASAN_OPTIONS := detect_leaks=1:strict_string_checks=1:hard_rss_limit_mb=$(TEST_MEMORY_MB):malloc_limit_mb=$(TEST_MEMORY_MB)$(if $(ASAN_OPTIONS),:$(ASAN_OPTIONS))
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS := halt_on_error=1:second_deadlock_stack=1:hard_rss_limit_mb=$(TEST_MEMORY_MB)$(if $(TSAN_OPTIONS),:$(TSAN_OPTIONS))

.PHONY: demo test test-asan test-tsan test-gcc test-debug bench install format clean

demo:
	@scripts/install-deps build
	@scripts/demo --build build/release

test: test-asan test-tsan test-gcc test-debug

test-asan:
	@scripts/install-deps test
	cmake -S . -B build/asan $(CLANG) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON \
	      -DKIV_SANITIZE=address,undefined -DKIV_BUILD_FUZZ=ON
	cmake --build build/asan -j$(JOBS)
	cd build/asan && ctest -j$(JOBS) --output-on-failure

test-tsan:
	@scripts/install-deps test
	cmake -S . -B build/tsan $(CLANG) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_WERROR=ON \
	      -DKIV_SANITIZE=thread
	cmake --build build/tsan -j$(JOBS) --target kiv_tsan_tests
	cd build/tsan && ctest -L tsan -j$(JOBS) --output-on-failure

# ulimit -v cannot apply to the sanitizer builds: their shadow memory is reserved address space.
test-gcc:
	@scripts/install-deps test
	cmake -S . -B build/gcc $(GCC) -DCMAKE_BUILD_TYPE=Release -DKIV_WERROR=ON
	cmake --build build/gcc -j$(JOBS)
	cd build/gcc && ulimit -v $$(($(TEST_MEMORY_MB) * 1024)) && \
	    ctest -LE slow -j$(JOBS) --output-on-failure

# Debug builds compile without optimisation and with assertions, which catches code that only
# builds when inlined. Both compilers build everything; the GCC build also runs the quick tests
# (about a minute), the clang build is a build-only check, since the ASan build tests clang code.
test-debug:
	@scripts/install-deps test
	cmake -S . -B build/debug-gcc $(GCC) -DCMAKE_BUILD_TYPE=Debug -DKIV_WERROR=ON
	cmake --build build/debug-gcc -j$(JOBS)
	cmake -S . -B build/debug-clang $(CLANG) -DCMAKE_BUILD_TYPE=Debug -DKIV_WERROR=ON
	cmake --build build/debug-clang -j$(JOBS)
	cd build/debug-gcc && ulimit -v $$(($(TEST_MEMORY_MB) * 1024)) && \
	    ctest -LE 'slow|fuzz' -j$(JOBS) --output-on-failure

bench:
	@scripts/install-deps bench
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCH=ON
	cmake --build build/bench -j$(JOBS)
	scripts/run-benchmarks build/bench

install:
	@scripts/install-deps build
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF
	cmake --build build/release -j$(JOBS)
	cmake --install build/release --prefix $(PREFIX)

format:
	git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
