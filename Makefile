# Every target sets up what it needs itself, so each works on a fresh machine.
#   make run    build, install and run the example (the main job)
#   make test   build, install and run the test suite
#   make bench  run the training benchmarks

PYTHON ?= $(shell command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1 && echo python3.13 || echo python3)
VENV ?= .venv
VPY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: run test bench install venv clean

$(VPY):
	$(PYTHON) -m venv $(VENV)

venv: $(VPY)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q 'meson-python>=0.15' 'meson>=1.1' ninja 'numpy>=2.0' pytest hypothesis

install: venv
	$(VPY) -m pip install -q --no-build-isolation --force-reinstall --no-deps .

run: install
	$(VPY) examples/train_small_model.py

test: install
	$(VPY) -m pytest -q $(PYTEST_ARGS) tests

bench: install
	$(VPY) benchmarks/bench_fit.py

clean:
	rm -rf $(VENV) build .mesonpy-*
