# Quick start: `make demo` and `make test`, each self-sufficient on a fresh
# clone (venv, pip packages, and libgtest-dev through apt when missing).
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
JOBS   ?= $(shell nproc)

.PHONY: demo test install core-tests py-tests bench gtest clean

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.10" cmake ninja numpy pytest hypothesis
	touch $@

install: $(VENV)/.ready
	$(PIP) install --quiet --no-build-isolation .

# The demo's and the stub checks' own packages, kept out of the base venv.
$(VENV)/.demo-ready: $(VENV)/.ready
	$(PIP) install --quiet scikit-learn matplotlib
	touch $@

$(VENV)/.typing-ready: $(VENV)/.ready
	$(PIP) install --quiet mypy
	touch $@

demo: install $(VENV)/.demo-ready
	$(PY) examples/demo.py

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "installing libgtest-dev"; \
	  SUDO=$$(command -v sudo >/dev/null && [ "$$(id -u)" != 0 ] && echo sudo); \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq libgtest-dev; \
	fi

core-tests: gtest $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B build/core -G Ninja -DVALDRIX_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build build/core -j $(JOBS)
	cd build/core && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

py-tests: install $(VENV)/.demo-ready $(VENV)/.typing-ready
	$(PY) -m pytest -q tests/python

test: core-tests py-tests

bench: install
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)
