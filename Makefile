# Thin wrapper around CMake + Ninja.  `make demo` and `make test` are the
# two commands of the README's quick start.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE = cmake -G Ninja

.PHONY: demo test clang release-test asan tsan bench bench-smoke fuzz format-check clean

demo:
	$(CMAKE) -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS)
	$(BUILD)/release/tools/kite-cluster check examples/cluster.conf
	$(BUILD)/release/tools/kite-cluster render examples/cluster.conf
	$(BUILD)/release/tools/kite-cluster lookup examples/cluster.conf 203.0.113.12:5200

test:
	$(CMAKE) -S . -B $(BUILD)/debug -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)/debug -j $(JOBS)
	ctest --test-dir $(BUILD)/debug --output-on-failure -j $(JOBS)

# The whole suite built by clang (its own warnings, its own code generation).
clang:
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(BUILD)/clang -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)/clang -j $(JOBS)
	ctest --test-dir $(BUILD)/clang --output-on-failure -j $(JOBS)

# The whole suite optimised as users build it, so the inline fast paths are
# tested at -O3 too.
release-test:
	$(CMAKE) -S . -B $(BUILD)/release-test -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release-test -j $(JOBS)
	ctest --test-dir $(BUILD)/release-test --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer.
asan:
	$(CMAKE) -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DKITE_SANITIZE=address
	cmake --build $(BUILD)/asan -j $(JOBS)
	ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

# The concurrent modules' tests under ThreadSanitizer.
tsan:
	$(CMAKE) -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_SANITIZE=thread
	cmake --build $(BUILD)/tsan -j $(JOBS)
	ctest --test-dir $(BUILD)/tsan --output-on-failure -j $(JOBS) -L concurrent

bench:
	bash bench/setup.sh
	$(CMAKE) -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS)

# Every benchmark program once for a token time, so none rots; the figures
# are not checked (and not meaningful at this length).
BENCH_MIN_TIME ?= 0.01
bench-smoke: bench
	set -e; for b in $(BUILD)/bench/bench/*_bench; do \
	  echo "== $$b"; \
	  timeout 900 $$b --benchmark_min_time=$(BENCH_MIN_TIME) > $$b.log 2>&1 || \
	    { echo "$$b failed, see $$b.log"; tail -20 $$b.log; exit 1; }; \
	done

# Lists unformatted C and C++ files; fails when there is any.
format-check:
	bash tools/check_format.sh

# libFuzzer targets, each run for FUZZ_SECONDS on its seed corpus.
FUZZ_SECONDS ?= 60
fuzz:
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_FUZZ=ON
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	bash fuzz/run.sh $(BUILD)/fuzz/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
