# Set-up and checks. `make demo` and `make test` start from a fresh clone:
# each creates an environment for the chosen Python, installs the pinned
# dependencies and builds the extension.
#
# PYTHON=... chooses the interpreter: a version (3.12), found as python3.12
# on PATH or else in pyenv, or a path or command; by default the newest
# supported version found, which make names as it starts. Each
# version has its own environment in .venv/VERSION and its own build
# directories under build/, so that several live side by side. PYTHON=all
# runs the goals for every supported version in turn (`make wheels` is
# `make wheel PYTHON=all`).
SHELL := /bin/bash
PYTHON ?=
SUPPORTED := $(shell scripts/find-python --supported)

.PHONY: venv demo test install native-test asan general fuzz valgrind \
	bench wheel wheels clean
.DEFAULT_GOAL := venv

wheels:
	$(MAKE) wheel PYTHON=all

clean:
	rm -rf build dist .venv

ifeq ($(PYTHON),all)

# Each goal for each version, oldest first; the first failure stops.
ALL_GOALS := $(filter-out clean wheels,$(or $(MAKECMDGOALS),$(.DEFAULT_GOAL)))
ifneq ($(ALL_GOALS),)
$(ALL_GOALS):
	@set -e; for v in $(SUPPORTED); do \
	    echo "==> make $@ PYTHON=$$v"; \
	    $(MAKE) --no-print-directory $@ PYTHON=$$v; \
	done
endif

else ifneq ($(filter-out clean wheels,$(or $(MAKECMDGOALS),$(.DEFAULT_GOAL))),)

ifeq ($(PYTHON),)
PYTHON := $(shell scripts/find-python --newest)
ifeq ($(PYTHON),)
$(error no supported Python found: install one, or name it with PYTHON=...)
endif
$(info ==> Python $(PYTHON), the newest supported version found \
	(PYTHON=... names another))
endif

# The interpreter, its X.Y version and the places that belong to it.
PYTHON_EXE := $(shell scripts/find-python '$(PYTHON)')
ifeq ($(PYTHON_EXE),)
$(error no usable interpreter for PYTHON=$(PYTHON))
endif
PYVER := $(shell '$(PYTHON_EXE)' -c \
	'import sys; print("%d.%d" % sys.version_info[:2])')
# cp39, cp312: the python and ABI tag of this version's wheels.
PYTAG := cp$(subst .,,$(PYVER))
VENV := .venv/$(PYVER)
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps
BUILD := build/$(PYVER)
PYTHONHOME_OF_VENV = $$($(PY) -c 'import sys; print(sys.base_prefix)')
# A program that embeds the interpreter links its libpython. An interpreter
# that brings its own, newer C library keeps the linker flags such a program
# needs (its loader and library path) in embed.ldflags beside its bin/
# directory; one built on this system, as pyenv builds, has no such file
# and needs none.
EMBED_LDFLAGS := $(strip $(shell cat '$(dir $(PYTHON_EXE))../embed.ldflags' \
	2>/dev/null))
# CMake's builds run Ninja, which keeps its own number of jobs: make 4.3
# hands its job slots only to the lines that run make itself, so a Ninja
# that found them named in MAKEFLAGS (under make -j) would report them
# missing. The builds below run without make's variables.
BUILD_ENV := env -u MAKEFLAGS -u MFLAGS
# How the native tests' builds are configured.
NATIVE_CMAKE_FLAGS := -G Ninja \
	-DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	-DFERNLAKE_NATIVE_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	$(if $(EMBED_LDFLAGS),'-DCMAKE_EXE_LINKER_FLAGS=$(EMBED_LDFLAGS)')

# An environment stays with the interpreter that made it: another one of
# the same version needs it made anew.
MADE_WITH := $(shell cat $(VENV)/.interpreter 2>/dev/null)
ifneq ($(MADE_WITH),)
ifneq ($(MADE_WITH),$(PYTHON_EXE))
$(error $(VENV) was made with $(MADE_WITH), not $(PYTHON_EXE): \
	remove it (rm -rf $(VENV)) to make it anew)
endif
endif

# Every pinned package installs from a wheel: a missing wheel fails at once
# rather than starting a long source build.
PIP_INSTALL := $(PY) -m pip install -q --only-binary=:all:

# The environment with the pinned dependencies, nothing built yet; what a
# bare `make` does.
venv: $(DEPS)

$(PY):
	rm -rf $(VENV)
	"$(PYTHON_EXE)" -m venv $(VENV)
	echo "$(PYTHON_EXE)" > $(VENV)/.interpreter

$(DEPS): requirements.txt | $(PY)
	$(PIP_INSTALL) --upgrade pip==26.0.1
	$(PIP_INSTALL) -r requirements.txt
	touch $@

# The build that the tests use keeps its asserts; `pip install .` and the
# wheel make release builds without them. A plain `pip install .` builds in
# a temporary directory; here the build stays in build/VERSION/install, so
# that the next one only compiles what changed. It runs again only when a
# file that goes into the module, or this Makefile, changed since the last
# install.
INSTALLED := $(VENV)/.installed
MODULE_INPUTS := Makefile CMakeLists.txt pyproject.toml $(shell find src \
	support -name __pycache__ -prune -o -type f ! -name '*.so' -print)

install: $(INSTALLED)

$(INSTALLED): $(MODULE_INPUTS) $(DEPS)
	$(BUILD_ENV) $(PY) -m pip install -q --no-build-isolation --no-deps \
	    -C build-dir=$(BUILD)/install -C cmake.define.FERNLAKE_ASSERTS=ON .
	touch $@

demo: install
	$(PY) examples/show_parameters.py

# The native tests' build follows the module's rather than running beside
# it under make -j: each build already keeps every core busy.
test: install
	$(MAKE) --no-print-directory native-test PYTHON='$(PYTHON)'
	$(VENV)/bin/pytest -q

# The support layer's own tests, in a program that embeds the interpreter.
native-test: $(DEPS)
	$(BUILD_ENV) $(VENV)/bin/cmake -S . -B $(BUILD)/native \
	    $(NATIVE_CMAKE_FLAGS) >/dev/null
	$(BUILD_ENV) $(VENV)/bin/cmake --build $(BUILD)/native --target native_tests
	PYTHONHOME=$(PYTHONHOME_OF_VENV) $(BUILD)/native/native_tests

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, installed beside the normal one. The
# interpreter loads the sanitizer's runtime first: GCC's libasan, or
# Clang's, as the compiler (CXX, else c++) knows it.
ASAN_RUNTIME = $$(for lib in libasan.so libclang_rt.asan-x86_64.so; do \
	found=$$($${CXX:-c++} -print-file-name=$$lib); \
	[ "$$found" != "$$lib" ] && echo "$$found" && break; done)
ASAN_ENV = LD_PRELOAD=$(ASAN_RUNTIME) \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(CURDIR)/$(BUILD)/asan-site

asan: $(DEPS)
	rm -rf $(BUILD)/asan-site
	$(BUILD_ENV) $(PY) -m pip install -q --no-build-isolation --no-deps \
	    --target $(BUILD)/asan-site -C build-dir=$(BUILD)/asan \
	    -C cmake.define.FERNLAKE_SANITIZE=ON .
	$(ASAN_ENV) $(CURDIR)/$(PY) -c 'import fernlake_data.plugins.param as m; \
	    assert "asan-site" in m.__file__, m.__file__'
	$(ASAN_ENV) $(VENV)/bin/pytest -q -p no:cacheprovider
	$(BUILD_ENV) $(VENV)/bin/cmake -S . -B $(BUILD)/native-asan \
	    $(NATIVE_CMAKE_FLAGS) -DFERNLAKE_SANITIZE=ON >/dev/null
	$(BUILD_ENV) $(VENV)/bin/cmake --build $(BUILD)/native-asan \
	    --target native_tests
	PYTHONHOME=$(PYTHONHOME_OF_VENV) PYTHONMALLOC=malloc \
	    ASAN_OPTIONS=detect_leaks=0 $(BUILD)/native-asan/native_tests

# The whole suite, the comparisons with the plain-Python model among it,
# against a test build with every shortcut compiled out, installed apart in
# build/VERSION/general-site and found first through PYTHONPATH: that build
# runs only the general paths, so what the suite checks of them it checks
# without a guard to pass. FERNLAKE_GENERAL_SITE names the site for the
# differential test, which reads the same scenarios with this build and
# with the normal one of `make install` and compares what they did; tests
# that are about a shortcut running skip here, with the reason.
GENERAL_SITE := $(CURDIR)/$(BUILD)/general-site
GENERAL_ENV = PYTHONPATH=$(GENERAL_SITE) FERNLAKE_GENERAL_SITE=$(GENERAL_SITE)

general: install
	rm -rf $(BUILD)/general-site
	$(BUILD_ENV) $(PY) -m pip install -q --no-build-isolation --no-deps \
	    --target $(BUILD)/general-site -C build-dir=$(BUILD)/general \
	    -C cmake.define.FERNLAKE_ASSERTS=ON \
	    -C cmake.define.FERNLAKE_SHORTCUTS=OFF .
	$(GENERAL_ENV) $(CURDIR)/$(PY) -c 'import ctypes; \
	    import fernlake_data.plugins.param as m; \
	    assert "general-site" in m.__file__, m.__file__; \
	    assert not ctypes.c_int.in_dll(ctypes.CDLL(m.__file__), \
	        "fernlake_param_shortcuts_compiled").value'
	$(GENERAL_ENV) $(VENV)/bin/pytest -q -p no:cacheprovider

# The generated-file comparison with the reference model, run long.
fuzz: install
	FERNLAKE_FUZZ_EXAMPLES=100000 $(VENV)/bin/pytest -q tests/test_model.py

# A short smoke script under memcheck; errors from the module fail it.
valgrind: install
	PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=1 \
	    --suppressions=$(CURDIR)/tests/valgrind.supp \
	    $(CURDIR)/$(PY) $(CURDIR)/tests/valgrind_smoke.py

# Speed and memory against a pure-Python equivalent, in one process; the
# results also go to docs/bench-VERSION.* as a markdown table, a chart and
# JSON. What is measured is the release build that users install, without
# asserts: it has a build directory of its own and is installed apart in
# build/VERSION/bench-site, found first through PYTHONPATH, so that the
# test build in .venv/VERSION stays as `make install` left it.
bench: $(DEPS)
	$(PIP_INSTALL) -r requirements-bench.txt
	rm -rf $(BUILD)/bench-site
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	    --target $(BUILD)/bench-site -C build-dir=$(BUILD)/release-bench .
	PYTHONPATH=$(CURDIR)/$(BUILD)/bench-site $(PY) -c \
	    'import fernlake_data.plugins.param as m; \
	    assert "bench-site" in m.__file__, m.__file__'
	PYTHONPATH=$(CURDIR)/$(BUILD)/bench-site $(PY) bench/run.py \
	    --markdown docs/bench-$(PYVER).md \
	    --chart docs/bench-$(PYVER).png --json docs/bench-$(PYVER).json

# A stripped wheel for this version, repaired to a manylinux tag and
# checked for its contents, then installed into a fresh environment outside
# the source tree, which reads the sample file and type-checks the typed
# example; once all that passes, it replaces this version's wheel in dist/.
# The release build has a build directory of its own, so that no setting of
# the one that `make install` configures with asserts carries over.
WHEEL_DEPS := $(VENV)/.wheel-deps

$(WHEEL_DEPS): requirements-wheel.txt | $(DEPS)
	$(PIP_INSTALL) -r requirements-wheel.txt
	touch $@

wheel: $(WHEEL_DEPS)
	rm -rf $(BUILD)/wheel $(BUILD)/wheelhouse
	$(BUILD_ENV) $(PY) -m pip wheel -q --no-build-isolation --no-deps \
	    -C build-dir=$(BUILD)/release -C install.strip=true \
	    -w $(BUILD)/wheel .
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair \
	    -w $(BUILD)/wheelhouse $(BUILD)/wheel/*-$(PYTAG)-$(PYTAG)-*.whl
	$(PY) scripts/check-wheel $(BUILD)/wheelhouse/*-$(PYTAG)-$(PYTAG)-*.whl
	set -e; tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
	"$(PYTHON_EXE)" -m venv "$$tmp/env"; \
	"$$tmp/env/bin/python" -m pip install -q --upgrade pip==26.0.1; \
	"$$tmp/env/bin/python" -m pip install -q --only-binary=:all: \
	    -c requirements.txt $(BUILD)/wheelhouse/*-$(PYTAG)-$(PYTAG)-*.whl; \
	cd "$$tmp"; \
	"$$tmp/env/bin/python" -c 'import sys, fernlake_data.plugins.param as m; \
	    assert m.__file__.startswith(sys.prefix), m.__file__'; \
	"$$tmp/env/bin/python" $(CURDIR)/examples/show_parameters.py; \
	$(CURDIR)/$(PY) -m mypy --strict --cache-dir "$$tmp/cache" \
	    --python-executable "$$tmp/env/bin/python" \
	    $(CURDIR)/examples/typed_settings.py
	mkdir -p dist
	rm -f dist/*-$(PYTAG)-$(PYTAG)-*.whl
	cp $(BUILD)/wheelhouse/*-$(PYTAG)-$(PYTAG)-*.whl dist/

endif
