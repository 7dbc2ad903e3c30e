# Every target sets up what it needs itself, so each works on a fresh machine.
#   make run    build, install and run the examples (the main job)
#   make test   build, install and run the test suite
#   make bench  run the training benchmarks
#   make test-compat  the suite on Python 3.11 with numpy 1.26 at run time
#                     (the extension still built against numpy 2 headers)
#   make test-asan    the suite against an AddressSanitizer + UBSan build
#   make valgrind     the leak-prone tests under valgrind memcheck
#   make docs         build the documentation site into build/site (strict:
#                     a broken reference or a docstring warning fails)
#   make typecheck    mypy in strict mode on the modules of the public API
#   make test-wheel   build a wheel, install it into a fresh environment and
#                     run a search and the command from outside the source tree

PYTHON ?= $(shell sh tools/find_python.sh 3.13)
VENV ?= .venv
VPY := $(VENV)/bin/python
PYTEST_ARGS ?=

PYTHON311 ?= $(shell sh tools/find_python.sh 3.11)
BUILD_TOOLS := 'meson-python>=0.15' 'meson>=1.1' ninja pytest hypothesis
# The optional dependencies of pyproject.toml's extras (vant[all]), so that
# the suite tests every feature (pyarrow's wheels need numpy 2: not in the
# numpy 1.26 environment).
EXTRAS := 'scikit-learn>=1.6' 'sympy>=1.12' 'matplotlib>=3.7' 'tqdm>=4.62' 'pandas>=1.5' 'pyarrow>=12' 'dask[distributed]'

# The docs and typecheck extras of pyproject.toml.
DOCS_TOOLS := 'mkdocs>=1.6' 'mkdocs-material>=9.5' 'mkdocstrings[python]>=0.26' ruff
TYPECHECK_TOOLS := 'mypy>=1.10'

.PHONY: run test bench install venv clean test-compat test-asan valgrind docs typecheck test-wheel

$(VPY):
	$(PYTHON) -m venv $(VENV)

venv: $(VPY)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_TOOLS) 'numpy>=2.0' $(EXTRAS) $(TYPECHECK_TOOLS) $(DOCS_TOOLS)

install: venv
	$(VPY) -m pip install -q --no-build-isolation --force-reinstall --no-deps .

run: install
	$(VPY) examples/train_small_model.py
	$(VPY) examples/search_formula.py

test: install
	$(VPY) tools/numpy_simd.py
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

bench: install
	$(VPY) benchmarks/bench_fit.py

# Built against numpy 2 headers, then run under numpy 1.26.
test-compat:
	test -x .venv-compat/bin/python || $(PYTHON311) -m venv .venv-compat
	.venv-compat/bin/python -m pip install -q --upgrade pip
	.venv-compat/bin/python -m pip install -q $(BUILD_TOOLS) 'numpy>=2.0,<3'
	.venv-compat/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps .
	.venv-compat/bin/python -m pip install -q 'numpy==1.26.*' $(filter-out 'pyarrow>=12',$(EXTRAS))
	.venv-compat/bin/python tools/numpy_simd.py
	.venv-compat/bin/python -m pytest -q $(PYTEST_ARGS) tests

# A stock interpreter loads the sanitized extension with the ASan runtime
# preloaded; the interpreter's own allocator is bypassed so ASan sees every
# block, and leak detection is off (the interpreter keeps memory until exit).
# No extras here: the tests of the optional features skip, and those layers
# are pure Python over the search that this target does run.
ASAN_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-asan:
	test -x .venv-asan/bin/python || $(PYTHON) -m venv .venv-asan
	.venv-asan/bin/python -m pip install -q --upgrade pip
	.venv-asan/bin/python -m pip install -q $(BUILD_TOOLS) 'numpy>=2.0'
	.venv-asan/bin/python -m pip install -q --no-build-isolation --force-reinstall --no-deps \
		-Csetup-args=-Dkestor_sanitize=address,undefined -Cbuild-dir=build/asan .
	.venv-asan/bin/python tools/numpy_simd.py
	$(ASAN_ENV) .venv-asan/bin/python -m pytest -q -s -p no:cacheprovider $(PYTEST_ARGS) tests

# Definite leaks and invalid accesses that pass through the extension fail
# the run; the interpreter's own blocks kept until exit do not.
VALGRIND_TESTS ?= tests/test_refcounts.py tests/test_categorical.py tests/test_construction.py tests/test_fit.py tests/test_interactions.py tests/test_operators.py
valgrind: install
	PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite --num-callers=40 \
		--log-file=valgrind.log $(VPY) -m pytest -q -p no:cacheprovider $(VALGRIND_TESTS)
	$(VPY) tools/valgrind_leaks.py valgrind.log

# The API reference reads the installed stubs of _kestor; the rest is read
# from the source tree.  (Not --quiet: it hides the warnings that strict
# mode turns into a failure.)
docs: install
	$(VPY) -m pip install -q $(DOCS_TOOLS)
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict

typecheck: install
	$(VPY) -m pip install -q $(TYPECHECK_TOOLS)
	$(VPY) -m mypy

# The wheel is built in an isolated environment from pyproject.toml's build
# requirements, as pip builds it for a user, and tried from a folder outside
# the source tree so that nothing is imported from here.
WHEEL_DIR := build/wheelhouse
WHEEL_VENV := build/wheel-venv
test-wheel: venv
	rm -rf $(WHEEL_DIR) $(WHEEL_VENV)
	$(VPY) -m pip install -q build
	$(VPY) -m build --wheel --outdir $(WHEEL_DIR) .
	$(VPY) tools/check_wheel.py $(WHEEL_DIR)/*.whl
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls $(WHEEL_DIR)/*.whl)[pandas]"
	cd "$$(mktemp -d)" && $(abspath $(WHEEL_VENV))/bin/python $(abspath tools/wheel_smoke.py)

clean:
	rm -rf $(VENV) .venv-compat .venv-asan build .mesonpy-*
