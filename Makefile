# The two commands a newcomer needs: `make demo` and `make test`. Each
# installs what is missing, configures, builds and runs.
JOBS ?= 2
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_WIN ?= build-win
BUILD_BENCH ?= build-bench

.PHONY: all deps build test test-linux test-asan test-tsan test-win demo bench clean

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

# The software token's threaded tests under ThreadSanitizer (its kept
# stores and keys are shared between threads).
test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=Debug -DOBKEY_SANITIZE_THREAD=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(BUILD_TSAN) -j$(JOBS) --target softtoken_unit_test
	$(BUILD_TSAN)/tests/unit/softtoken/softtoken_unit_test --gtest_filter='TokenConcurrency*'

test-win: deps
	bash scripts/build-win.sh $(BUILD_WIN)
	bash scripts/run-wine-tests.sh $(BUILD_WIN)

test: test-linux test-asan test-tsan test-win

demo: build
	bash scripts/demo.sh $(BUILD)

bench: deps
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DOBKEY_BUILD_BENCH=ON -DOBKEY_BUILD_TESTS=OFF
	cmake --build $(BUILD_BENCH) -j$(JOBS)
	bash scripts/run-bench.sh $(BUILD_BENCH)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_WIN) $(BUILD_BENCH)
