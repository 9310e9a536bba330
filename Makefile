# Entry points. `make demo` runs the main job; `make test` builds and runs every test;
# `make dist` packs the Windows programs into a zip. demo and test (and the
# sanitizer and fuzz runs) install what is missing first (scripts/install-deps);
# build, windows, dist and bench only build, and never install anything or write
# outside the tree.
JOBS ?= 2
MAKEFLAGS += --no-print-directory
CMAKE_FLAGS ?=

.PHONY: all deps build windows dist test test-native test-windows test-sanitize fuzz demo bench format clean

all: build

deps:
	@scripts/install-deps

build:
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS)

# The toolchain file is given only when build-win is first configured: CMake keeps
# it in the cache and warns about it as unused when it is given again.
windows:
	@cmake -S . -B build-win $(if $(wildcard build-win/CMakeCache.txt),,-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-win -j $(JOBS)

# The Windows package: build-win/harborgate-VERSION-win64.zip.
dist: windows
	@scripts/make-dist build-win

test: deps
	@$(MAKE) --no-print-directory build windows
	@$(MAKE) --no-print-directory test-native test-windows

test-native:
	@cd build && ctest --output-on-failure -j $(JOBS) --timeout 600

test-windows:
	@scripts/with-wine ctest --test-dir build-win --output-on-failure --timeout 300

# GLib and GStreamer (devcloud's video) are Debian's builds: LeakSanitizer is
# told of what they keep to the end (cmake/lsan.supp), and ThreadSanitizer,
# which cannot see their futexes, leaves their own calls to malloc, free and
# memcpy unchecked (ignore_noninstrumented_modules); ours it still checks.
test-sanitize: deps
	@cmake -S . -B build-asan -DHG_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && LSAN_OPTIONS="suppressions=$(CURDIR)/cmake/lsan.supp" ctest --output-on-failure -j $(JOBS) --timeout 900
	@cmake -S . -B build-tsan -DHG_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS="suppressions=$(CURDIR)/cmake/tsan.supp halt_on_error=1 ignore_noninstrumented_modules=1" ctest --output-on-failure -j $(JOBS) --timeout 900
	@$(MAKE) --no-print-directory fuzz

# Every libFuzzer target for FUZZ_SECONDS (default 30) from its seed corpus.
fuzz: deps
	@JOBS=$(JOBS) fuzz/run-all

demo: deps
	@$(MAKE) --no-print-directory build windows
	@scripts/demo

bench:
	@scripts/bench

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-win build-asan build-tsan build-bench build-fuzz
