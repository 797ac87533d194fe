# The two commands a newcomer needs: `make demo` and `make test`. Each
# installs what is missing, configures, builds and runs.
JOBS ?= 2
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_WIN ?= build-win
BUILD_WIN64 ?= build-win64
BUILD_BENCH ?= build-bench

.PHONY: all deps build test test-linux test-asan test-win test-win64 test-win-shared build-win build-win64 \
  dist dist-win32 dist-win64 install package demo bench clean
PREFIX ?= /usr/local

all: build

deps:
	bash scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test-linux: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DOBKEY_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(BUILD_ASAN) -j$(JOBS)
	ctest --test-dir $(BUILD_ASAN) --output-on-failure -j$(JOBS)

# The Linux library, headers, pkg-config file, CMake package and obkeyctl.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the same tree, written into $(BUILD).
package: build
	cd $(BUILD) && cpack --config CPackConfig.cmake

build-win: deps
	bash scripts/build-win.sh $(BUILD_WIN) i686

build-win64: deps
	bash scripts/build-win.sh $(BUILD_WIN64) x86_64

# The Windows zips, 32-bit and 64-bit: DLLs, obkeyctl.exe, import libraries,
# header, stand-ins.
dist: dist-win32 dist-win64

dist-win32: build-win
	bash scripts/make-dist.sh $(BUILD_WIN)

dist-win64: build-win64
	bash scripts/make-dist.sh $(BUILD_WIN64)

test-win: dist-win32
	bash scripts/check-stack-alignment.sh $$(bash scripts/win-binaries.sh $(BUILD_WIN))
	bash scripts/run-wine-tests.sh $(BUILD_WIN)
	bash scripts/test-dist.sh $(BUILD_WIN)

# No stack-alignment check on x64: every caller keeps the stack 16-byte
# aligned there, as the compiler assumes.
test-win64: dist-win64
	bash scripts/run-wine-tests.sh $(BUILD_WIN64)
	bash scripts/test-dist.sh $(BUILD_WIN64)

# A 32-bit and a 64-bit program on one machine share the software token.
test-win-shared: build-win build-win64
	bash scripts/test-win-shared-token.sh $(BUILD_WIN) $(BUILD_WIN64)

test: test-linux test-asan test-win test-win64 test-win-shared

demo: build
	bash scripts/demo.sh $(BUILD)

bench: deps
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DOBKEY_BUILD_BENCH=ON -DOBKEY_BUILD_TESTS=OFF
	cmake --build $(BUILD_BENCH) -j$(JOBS)
	bash scripts/run-bench.sh $(BUILD_BENCH)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_WIN) $(BUILD_WIN64) $(BUILD_BENCH)
