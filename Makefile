# Thin wrapper around CMake + Ninja.  `make demo` and `make test` are the
# two commands of the README's quick start.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE = cmake -G Ninja

.PHONY: demo test asan tsan bench fuzz clean

demo:
	$(CMAKE) -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS)
	$(BUILD)/release/tools/kite-cluster check examples/cluster.conf
	$(BUILD)/release/tools/kite-cluster render examples/cluster.conf
	$(BUILD)/release/tools/kite-cluster lookup examples/cluster.conf 203.0.113.12:5200
	@# Three servers on loopback (server 2 without its first address, to
	@# show the fallback), a ping and a fan-out; the servers are stopped by
	@# their process ids whatever happens.
	@K=$(BUILD)/release/tools/kite-cluster; C=examples/loopback.conf; \
	$$K serve $$C 1 & P1=$$!; \
	$$K serve $$C 2 --skip 127.0.0.2:47102 & P2=$$!; \
	$$K serve $$C 3 & P3=$$!; \
	trap 'kill $$P1 $$P2 $$P3 2>/dev/null; wait $$P1 $$P2 $$P3' EXIT; \
	for i in $$(seq 30); do \
	  $$K ping --timeout 1 $$C >/dev/null 2>&1 && break; sleep 0.1; \
	done; \
	echo "+ kite-cluster ping $$C"; $$K ping --timeout 1 $$C && \
	echo "+ kite-cluster fanout $$C hello" && $$K fanout --timeout-ms 1000 $$C hello

test:
	$(CMAKE) -S . -B $(BUILD)/debug -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)/debug -j $(JOBS)
	ctest --test-dir $(BUILD)/debug --output-on-failure -j $(JOBS)

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

# libFuzzer targets, each run for FUZZ_SECONDS on its seed corpus.
FUZZ_SECONDS ?= 60
fuzz:
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_FUZZ=ON
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	bash fuzz/run.sh $(BUILD)/fuzz/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
