# Thin wrapper around CMake.  `make demo` and `make test` are the two
# commands of the README's quick start; on a fresh Debian or Ubuntu machine
# they first install what is missing (tools/ensure_deps.sh).  The build uses
# Ninja when installed and Makefiles otherwise (tools/configure.sh).
BUILD ?= build
JOBS ?= $(shell nproc)
DEPS = bash tools/ensure_deps.sh
CONFIGURE = bash tools/configure.sh
RELEASE = $(BUILD)/release

.PHONY: demo test consumer docs examples asan tsan bench fuzz clean

demo:
	$(DEPS) demo
	$(CONFIGURE) $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF
	cmake --build $(RELEASE) -j $(JOBS)
	$(RELEASE)/examples/kite_demo
	$(RELEASE)/tools/kite-cluster check examples/cluster.conf
	$(RELEASE)/tools/kite-cluster render examples/cluster.conf
	$(RELEASE)/tools/kite-cluster lookup examples/cluster.conf 203.0.113.12:5200

test:
	$(DEPS) test
	$(CONFIGURE) $(BUILD)/debug -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)/debug -j $(JOBS)
	ctest --test-dir $(BUILD)/debug --output-on-failure -j $(JOBS)

# Install into a temporary prefix and build a C program with pkg-config and
# a C++ program with find_package against it (tests/consumer/run.sh).
consumer:
	$(DEPS) demo consumer
	$(CONFIGURE) $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF
	cmake --build $(RELEASE) -j $(JOBS)
	bash tests/consumer/run.sh $(RELEASE)

# Every program under examples/, each run once (the guides in docs/ quote
# them); each must exit 0.
examples:
	$(DEPS) demo
	$(CONFIGURE) $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF
	cmake --build $(RELEASE) -j $(JOBS)
	bash examples/run_all.sh $(RELEASE)/examples

# API reference from the header comments: $(BUILD)/release/docs/html.
# Any undocumented public function, record, field or macro fails it.
docs:
	$(DEPS) docs
	$(CONFIGURE) $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF
	cmake --build $(RELEASE) --target docs

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer.
asan:
	$(DEPS) test
	$(CONFIGURE) $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DKITE_SANITIZE=address
	cmake --build $(BUILD)/asan -j $(JOBS)
	ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

# The concurrent modules' tests under ThreadSanitizer.
tsan:
	$(DEPS) test
	$(CONFIGURE) $(BUILD)/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_SANITIZE=thread
	cmake --build $(BUILD)/tsan -j $(JOBS)
	ctest --test-dir $(BUILD)/tsan --output-on-failure -j $(JOBS) -L concurrent

bench:
	bash bench/setup.sh
	$(CONFIGURE) $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS)

# libFuzzer targets, each run for FUZZ_SECONDS on its seed corpus.
FUZZ_SECONDS ?= 60
fuzz:
	$(DEPS) fuzz
	CC=clang CXX=clang++ $(CONFIGURE) $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_FUZZ=ON
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	bash fuzz/run.sh $(BUILD)/fuzz/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
