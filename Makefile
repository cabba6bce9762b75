# Set-up and checks. `make demo` and `make test` start from a fresh clone:
# each creates .venv with Python 3.9 (PYTHON=... to choose one), installs the
# pinned dependencies and builds the extension.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps
PYTHONHOME_OF_VENV = $$($(PY) -c 'import sys; print(sys.base_prefix)')

.PHONY: demo test install native-test asan fuzz valgrind bench clean

$(PY):
	py=$$(scripts/find-python39) && "$$py" -m venv $(VENV)

$(DEPS): requirements.txt | $(PY)
	$(PY) -m pip install -q --upgrade pip==26.0.1
	$(PY) -m pip install -q -r requirements.txt
	touch $@

# The build that the tests use keeps its asserts; `pip install .` and the
# wheel make release builds without them.
install: $(DEPS)
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	    -C cmake.define.FERNLAKE_ASSERTS=ON .

demo: install
	$(PY) examples/show_parameters.py

test: install native-test
	$(VENV)/bin/pytest -q

# The support layer's own tests, in a program that embeds the interpreter.
native-test: $(DEPS)
	$(VENV)/bin/cmake -S . -B build/native -G Ninja \
	    -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	    -DFERNLAKE_NATIVE_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(VENV)/bin/cmake --build build/native --target native_tests
	PYTHONHOME=$(PYTHONHOME_OF_VENV) build/native/native_tests

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed beside the normal one.
ASAN_ENV = LD_PRELOAD=$$(gcc -print-file-name=libasan.so) \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(CURDIR)/build/asan-site

asan: $(DEPS)
	rm -rf build/asan-site
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	    --target build/asan-site -C build-dir=build/asan \
	    -C cmake.define.FERNLAKE_SANITIZE=ON .
	$(ASAN_ENV) $(CURDIR)/$(PY) -c 'import fernlake_data.plugins.param as m; \
	    assert "asan-site" in m.__file__, m.__file__'
	$(ASAN_ENV) $(VENV)/bin/pytest -q -p no:cacheprovider
	$(VENV)/bin/cmake -S . -B build/native-asan -G Ninja \
	    -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	    -DFERNLAKE_NATIVE_TESTS=ON -DFERNLAKE_SANITIZE=ON \
	    -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(VENV)/bin/cmake --build build/native-asan --target native_tests
	PYTHONHOME=$(PYTHONHOME_OF_VENV) PYTHONMALLOC=malloc \
	    ASAN_OPTIONS=detect_leaks=0 build/native-asan/native_tests

# The generated-file comparison with the reference model, run long.
fuzz: install
	FERNLAKE_FUZZ_EXAMPLES=100000 $(VENV)/bin/pytest -q tests/test_model.py

# A short smoke script under memcheck; errors from the module fail it.
valgrind: install
	PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=1 \
	    --suppressions=$(CURDIR)/tests/valgrind.supp \
	    $(CURDIR)/$(PY) $(CURDIR)/tests/valgrind_smoke.py

# Speed and memory against a pure-Python equivalent, in one process; the
# results also go to docs/ as a markdown table and a chart.
bench: install
	$(PY) -m pip install -q -r requirements-bench.txt
	$(PY) bench/run.py --markdown docs/bench.md --chart docs/bench.png

# A stripped wheel in dist/, repaired to a manylinux tag and checked for its
# contents, then installed into a fresh environment outside the source tree,
# which reads the sample file and type-checks the typed example.
.PHONY: wheel
WHEEL_DEPS := $(VENV)/.wheel-deps

$(WHEEL_DEPS): requirements-wheel.txt | $(DEPS)
	$(PY) -m pip install -q -r requirements-wheel.txt
	touch $@

wheel: $(WHEEL_DEPS)
	rm -rf build/wheel dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps \
	    -C install.strip=true -w build/wheel .
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair \
	    -w dist build/wheel/*.whl
	$(PY) scripts/check-wheel dist/*.whl
	set -e; tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
	"$$(scripts/find-python39)" -m venv "$$tmp/env"; \
	"$$tmp/env/bin/python" -m pip install -q --upgrade pip==26.0.1; \
	"$$tmp/env/bin/python" -m pip install -q -c requirements.txt dist/*.whl; \
	cd "$$tmp"; \
	"$$tmp/env/bin/python" -c 'import sys, fernlake_data.plugins.param as m; \
	    assert m.__file__.startswith(sys.prefix), m.__file__'; \
	"$$tmp/env/bin/python" $(CURDIR)/examples/show_parameters.py; \
	$(CURDIR)/$(PY) -m mypy --strict --cache-dir "$$tmp/cache" \
	    --python-executable "$$tmp/env/bin/python" \
	    $(CURDIR)/examples/typed_settings.py

clean:
	rm -rf build dist $(VENV)
