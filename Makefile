# The two entry points: `make demo` sets up CPython 3.11 and runs the demo;
# `make test` sets up every host (CPython 3.8, 3.11, 3.13, PyPy) and runs
# every test. Both work from a fresh clone: they install what is missing.
HOSTS ?= 3.8 3.11 3.13 pypy
DEMO_HOST ?= 3.11

.PHONY: demo test asan bench clean

demo:
	@py=$$(scripts/host.sh $(DEMO_HOST)) && $$py examples/demo.py

test:
	@scripts/run-tests.sh $(HOSTS)

asan:
	@scripts/asan.sh

bench:
	@for h in $(HOSTS); do py=$$(scripts/host.sh $$h) && $$py bench/bench_pixels.py; done

clean:
	rm -rf build .venv
