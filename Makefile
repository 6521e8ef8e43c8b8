# Thin wrapper around CMake.  `make demo` and `make test` are the two
# commands of the README's quick start; on a fresh Debian or Ubuntu machine
# they first install what is missing (tools/ensure_deps.sh).  The build uses
# Ninja when installed and Makefiles otherwise (tools/configure.sh).
BUILD ?= build
JOBS ?= $(shell nproc)
DEPS = bash tools/ensure_deps.sh
CONFIGURE = bash tools/configure.sh
RELEASE = $(BUILD)/release

.PHONY: demo test consumer docs examples clang release-test asan tsan bench bench-smoke bench-report fuzz format-check clean

demo:
	$(DEPS) demo
	$(CONFIGURE) $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DKITE_BUILD_TESTS=OFF
	cmake --build $(RELEASE) -j $(JOBS)
	$(RELEASE)/examples/kite_demo
	$(RELEASE)/tools/kite-cluster check examples/cluster.conf
	$(RELEASE)/tools/kite-cluster render examples/cluster.conf
	$(RELEASE)/tools/kite-cluster lookup examples/cluster.conf 203.0.113.12:5200
	@# Three servers on loopback (server 2 without its first address, to
	@# show the fallback), a ping and a fan-out; the servers are stopped by
	@# their process ids whatever happens.
	@K=$(RELEASE)/tools/kite-cluster; C=examples/loopback.conf; \
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

# The whole suite built by clang (its own warnings, its own code generation).
clang:
	CC=clang CXX=clang++ $(CONFIGURE) $(BUILD)/clang -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)/clang -j $(JOBS)
	ctest --test-dir $(BUILD)/clang --output-on-failure -j $(JOBS)

# The whole suite optimised as users build it, so the inline fast paths are
# tested at -O3 too.
release-test:
	$(CONFIGURE) $(BUILD)/release-test -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release-test -j $(JOBS)
	ctest --test-dir $(BUILD)/release-test --output-on-failure -j $(JOBS)

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

# Every benchmark program once for a token time, so none rots; the figures
# are not checked (and not meaningful at this length).
BENCH_MIN_TIME ?= 0.01
bench-smoke: bench
	set -e; for b in $(BUILD)/bench/bench/*_bench; do \
	  echo "== $$b"; \
	  KITE_BENCH_SMOKE=1 timeout 900 $$b --benchmark_min_time=$(BENCH_MIN_TIME) > $$b.log 2>&1 || \
	    { echo "$$b failed, see $$b.log"; tail -20 $$b.log; exit 1; }; \
	done

# Every benchmark program with 5 randomly interleaved repetitions, medians
# only, as JSON under $(BENCH_OUT); tools/bench_report.py turns the medians
# into docs/performance.md (the table) and docs/performance.svg (the chart).
# Takes several minutes.  A program that fails is named and left out of the
# table, and the target then fails.
BENCH_OUT = $(BUILD)/bench/report
BENCH_FLAGS = --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=json
bench-report: bench
	rm -rf $(BENCH_OUT); mkdir -p $(BENCH_OUT)
	failed=; for b in $(BUILD)/bench/bench/*_bench; do \
	  n=$$(basename $$b); echo "== $$n"; \
	  timeout 1800 $$b $(BENCH_FLAGS) > $(BENCH_OUT)/$$n.json 2> $(BENCH_OUT)/$$n.log || \
	    { echo "$$n failed, see $(BENCH_OUT)/$$n.log"; rm -f $(BENCH_OUT)/$$n.json; \
	      failed="$$failed $$n"; }; \
	done; \
	python3 tools/bench_report.py --markdown docs/performance.md \
	  --svg docs/performance.svg --failed "$$failed" $(BENCH_OUT)/*.json && \
	test -z "$$failed"

# Lists unformatted C and C++ files; fails when there is any.
format-check:
	bash tools/check_format.sh

# libFuzzer targets, each run for FUZZ_SECONDS on its seed corpus.
FUZZ_SECONDS ?= 60
fuzz:
	$(DEPS) fuzz
	CC=clang CXX=clang++ $(CONFIGURE) $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKITE_BUILD_TESTS=OFF -DKITE_BUILD_FUZZ=ON
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	bash fuzz/run.sh $(BUILD)/fuzz/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
