# The two commands a newcomer needs: `make demo` and `make test`. Each
# installs what is missing, configures, builds and runs.
JOBS ?= 2
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_WIN ?= build-win
BUILD_WIN64 ?= build-win64
BUILD_BENCH ?= build-bench
BUILD_LINUX ?= build-linux

.PHONY: all deps deps-build deps-pkcs11 build-linux build asan-build test test-linux test-asan test-tsan \
  test-win test-win64 test-win-shared build-win build-win64 dist dist-win32 dist-win64 install package fuzz demo \
  demo-pkcs11 bench clean
PREFIX ?= /usr/local

all: build

# `make deps` installs what `make test` needs (Wine, MinGW, clang, GoogleTest
# and the rest); `make deps-build` only what the Linux build needs.
deps:
	bash scripts/deps.sh test

deps-build:
	bash scripts/deps.sh build

deps-pkcs11:
	bash scripts/deps.sh pkcs11

# The Linux library and obkeyctl without the tests, from the build set alone:
# what demo, install and package use.
build-linux: deps-build
	cmake -S . -B $(BUILD_LINUX) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOBKEY_BUILD_TESTS=OFF
	cmake --build $(BUILD_LINUX) -j$(JOBS)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test-linux: build
	bash scripts/check-format.sh
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The sanitizer build carries the fuzzers: their seed corpora replay as
# regression tests and each fuzzes for FUZZ_TEST_SECONDS.
FUZZ_TEST_SECONDS ?= 10
asan-build: deps
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DOBKEY_SANITIZE=ON -DOBKEY_BUILD_FUZZ=ON \
	  -DOBKEY_FUZZ_SECONDS=$(FUZZ_SECONDS_FOR_BUILD) -DOBKEY_FUZZ_SEED=$(FUZZ_SEED_FOR_BUILD) \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(BUILD_ASAN) -j$(JOBS)

test-asan: FUZZ_SECONDS_FOR_BUILD = $(FUZZ_TEST_SECONDS)
test-asan: FUZZ_SEED_FOR_BUILD = 1
test-asan: asan-build
	ctest --test-dir $(BUILD_ASAN) --output-on-failure -j$(JOBS)

# The Linux library, headers, pkg-config file, CMake package and obkeyctl.
install: build-linux
	cmake --install $(BUILD_LINUX) --prefix $(PREFIX)

# A Debian package of the same tree, written into $(BUILD_LINUX).
package: build-linux
	cd $(BUILD_LINUX) && cpack --config CPackConfig.cmake

# `make fuzz FUZZ_SECONDS=3600` runs every fuzzer that long (in parallel,
# JOBS at a time); `FUZZ_TARGETS=regex` picks some. New inputs stay in
# $(BUILD_ASAN)/fuzz/work/<target>; copy the worthwhile ones into fuzz/corpus/.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?= .
fuzz: FUZZ_SECONDS_FOR_BUILD = $(FUZZ_SECONDS)
fuzz: asan-build
	ctest --test-dir $(BUILD_ASAN) --output-on-failure -j$(JOBS) -L fuzz \
	  -R '^fuzz_run\..*($(FUZZ_TARGETS))' --timeout $$(( $(FUZZ_SECONDS) + 300 ))

# ThreadSanitizer over the tests that run threads (the symmetric key table,
# the software token's kept stores and keys); only those are built.
TSAN_TESTS ?= symkey_threads_test softtoken_unit_test p11token_softhsm_test
test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOBKEY_SANITIZE_THREAD=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(BUILD_TSAN) -j$(JOBS) --target $(TSAN_TESTS)
	ctest --test-dir $(BUILD_TSAN) --output-on-failure -j$(JOBS) -R 'Threads|TokenConcurrency'

build-win: deps
	bash scripts/build-win.sh $(BUILD_WIN) i686

# The x86_64 tree names the i686 one for its shared-token test.
build-win64: deps
	bash scripts/build-win.sh $(BUILD_WIN64) x86_64 -DOBKEY_WIN32_TREE=$(abspath $(BUILD_WIN))

# The Windows zips, 32-bit and 64-bit: DLLs, obkeyctl.exe, import libraries,
# header, stand-ins.
dist: dist-win32 dist-win64

dist-win32: build-win
	bash scripts/make-dist.sh $(BUILD_WIN)

dist-win64: build-win64
	bash scripts/make-dist.sh $(BUILD_WIN64)

# The Windows tests are CTest tests of the Windows trees: the export and
# stack checks, the Wine tests, the zip made and tested.
test-win: build-win
	ctest --test-dir $(BUILD_WIN) --output-on-failure -j$(JOBS)

# With the shared-token test, which runs programs of both trees.
test-win64: build-win64 build-win
	ctest --test-dir $(BUILD_WIN64) --output-on-failure -j$(JOBS)

# A 32-bit and a 64-bit program on one machine share the software token.
test-win-shared: build-win build-win64
	ctest --test-dir $(BUILD_WIN64) --output-on-failure -R '^wine_shared_token$$'

test: test-linux test-asan test-tsan test-win test-win64

demo: build-linux
	bash scripts/demo.sh $(BUILD_LINUX)

# The same Linux build as the demo (p11token is part of it) and SoftHSMv2.
demo-pkcs11: deps-pkcs11 build-linux
	bash scripts/demo-pkcs11.sh $(BUILD_LINUX)

bench: deps
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DOBKEY_BUILD_BENCH=ON -DOBKEY_BUILD_TESTS=OFF
	cmake --build $(BUILD_BENCH) -j$(JOBS)
	bash scripts/run-bench.sh $(BUILD_BENCH)
	bash scripts/bench-sign-batch.sh $(BUILD_BENCH)

clean:
	rm -rf $(BUILD) $(BUILD_LINUX) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_WIN) $(BUILD_WIN64) $(BUILD_BENCH)
