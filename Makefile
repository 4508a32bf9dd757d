# The two entry points: `make demo` sets up CPython 3.11 and runs the demo;
# `make test` sets up every host (CPython 3.8, 3.11, 3.13, PyPy) and runs
# every test. Both work from a fresh clone: they install what is missing.
HOSTS ?= 3.8 3.11 3.13 pypy
DEMO_HOST ?= 3.11

# `make bench` runs the benchmark harness (bench/harness.py) on every host and
# writes build/bench/results-HOST.json; BENCH_ARGS=--quick makes it a smoke run.
# Before it, scripts/bench-peers.sh installs into that host's environment the
# other PNG libraries it is measured against, each that has a wheel there.
# `make bench-report` prints the latest results of every host as Markdown and
# draws bench/chart.png from them (matplotlib, in .venv/bench-tools).
BENCH_ARGS ?=

# `make fuzz` runs each libFuzzer target of fuzz/ for FUZZ_TIME seconds, one
# after another (clang needed), then the Python-surface fuzzer under atheris
# for FUZZ_PY_TIME seconds (0 skips it). Findings land in build/fuzz-artifacts/
# and build/fuzz-py/artifacts/.
FUZZ_TIME ?= 60
FUZZ_PY_TIME ?= 120

# `make soak` loops every operation, success and error paths, SOAK_ROUNDS
# times on every host and fails when memory keeps growing (scripts/soak.py).
# `make leakcheck` runs them on CPython 3.11 under LeakSanitizer and valgrind
# (scripts/leakcheck.sh).
SOAK_ROUNDS ?= 100000

# `make dist` builds the sdist and a repaired wheel per host into dist/
# (DIST_HOSTS), and one wheel on the stable ABI (cp312-abi3, built on
# DIST_ABI3; empty to skip) for every later CPython; `make dist-test` builds
# them, installs each in a fresh environment from dist/ alone and runs the
# tests against it, the abi3 wheel on each of DIST_ABI3_TEST.
DIST_HOSTS ?= 3.8 3.9 3.10 3.11 3.12 3.13 pypy
DIST_ABI3 ?= 3.12
DIST_ABI3_TEST ?= 3.12 3.13

.PHONY: demo test asan leakcheck bench bench-report fuzz soak dist dist-test clean

demo:
	@py=$$(scripts/host.sh $(DEMO_HOST)) && $$py examples/demo.py

test:
	@scripts/run-tests.sh $(HOSTS)

asan:
	@scripts/asan.sh

leakcheck:
	@scripts/leakcheck.sh

fuzz:
	@fuzz/run-long.sh $(FUZZ_TIME) && \
	if [ "$(FUZZ_PY_TIME)" != 0 ]; then fuzz/run-python.sh -max_total_time=$(FUZZ_PY_TIME) -print_final_stats=1; fi

soak:
	@failed=""; for h in $(HOSTS); do \
	  if py=$$(scripts/host.sh $$h); then $$py scripts/soak.py --iterations $(SOAK_ROUNDS) || failed="$$failed $$h"; \
	  else failed="$$failed $$h(setup)"; fi; \
	done; if [ -n "$$failed" ]; then echo "soak FAILED:$$failed"; exit 1; fi

bench:
	@failed=""; for h in $(HOSTS); do \
	  if py=$$(scripts/host.sh $$h); then scripts/bench-peers.sh $$py; \
	    $$py bench/harness.py --host $$h $(BENCH_ARGS) || failed="$$failed $$h"; \
	  else failed="$$failed $$h(setup)"; fi; \
	done; if [ -n "$$failed" ]; then echo "bench FAILED:$$failed"; exit 1; fi

bench-report:
	@python3 bench/report.py --chart

dist:
	@DIST_ABI3="$(DIST_ABI3)" scripts/dist.sh $(DIST_HOSTS)

dist-test: dist
	@DIST_ABI3="$(DIST_ABI3)" DIST_ABI3_TEST="$(DIST_ABI3_TEST)" scripts/dist-test.sh $(DIST_HOSTS)

clean:
	rm -rf build .venv dist
