# Quick start: `make demo` and `make test`, each self-sufficient on a fresh
# clone (venv, pip packages, and libgtest-dev through apt when missing).
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
JOBS   ?= $(shell nproc)

.PHONY: demo test install core-tests py-tests py-tests-sets emulated bench gtest clean sanitize fuzz fuzz-replay fuzz-tools

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

# valdrix_learn's extras, those of pip install ".[learn]" (tqdm among them:
# its tests check the bar beside the plain lines shown without it) and ".[dask]".
$(VENV)/.learn-ready: $(VENV)/.ready
	$(PIP) install --quiet scikit-learn scipy pandas tqdm "dask[distributed]"
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

# --slow adds the long runs (leak test: every callable 10^5 times) that a
# quick `pytest tests/python` skips.
py-tests: install $(VENV)/.demo-ready $(VENV)/.typing-ready $(VENV)/.learn-ready
	$(PY) -m pytest -q tests/python --slow

# The Python suite once more under every other kernel set this processor
# runs, forced with VALDRIX_ISA (the long leak runs left out); a set it
# cannot run is skipped and said so.
KERNEL_SETS := generic avx2 gfni avx512
py-tests-sets: install $(VENV)/.demo-ready $(VENV)/.typing-ready $(VENV)/.learn-ready
	@auto=$$($(PY) -c "import Valdrix; print(Valdrix._isa)"); \
	for s in $(KERNEL_SETS); do \
	  [ "$$s" = "$$auto" ] && continue; \
	  if ! VALDRIX_ISA=$$s $(PY) -c "import Valdrix" 2>/dev/null; then \
	    echo "kernel set $$s: this processor cannot run it, skipped"; continue; \
	  fi; \
	  echo "Python suite with VALDRIX_ISA=$$s"; \
	  VALDRIX_ISA=$$s $(PY) -m pytest -q -p no:cacheprovider tests/python || exit 1; \
	done

# Emulated processors (qemu-user): x86-64 with AVX2 but no GFNI must pick
# avx2, one without AVX generic, and the core cross-built for aarch64 must
# pass with generic; none may execute an instruction its processor lacks.
emulated: core-tests install
	JOBS=$(JOBS) tests/emulated/run.sh

test: core-tests py-tests py-tests-sets emulated sanitize

# ---------------------------------------------------------------- sanitizers
# The module and the core built with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan; the core tests and the fuzz
# corpus replay run there, then the whole pytest suite imports that module
# (installed into build/asan/site, put first on PYTHONPATH) with the sanitizer runtimes preloaded into the interpreter.
# PYTHONMALLOC=malloc sends Python's own objects through the sanitized
# allocator too, so a reference-count fault that frees an object still in
# use is caught. Leak detection stays on for the C++ tests; in the
# interpreter it would only list CPython's deliberate process-lifetime
# allocations (the leak test measures the module instead). Huge requests
# must come back as NULL (MemoryError), not abort the process.
SAN_DIR     := build/asan
ASAN_RT     := $(shell g++ -print-file-name=libasan.so)
UBSAN_RT    := $(shell g++ -print-file-name=libubsan.so)
SAN_COMMON  := abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1
UBSAN_OPTS  := print_stacktrace=1:halt_on_error=1:abort_on_error=1
SAN_PY_ENV  := LD_PRELOAD="$(ASAN_RT) $(UBSAN_RT)" ASAN_OPTIONS=$(SAN_COMMON):detect_leaks=0 \
  UBSAN_OPTIONS=$(UBSAN_OPTS) PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SAN_DIR))/site VALDRIX_SANITIZED=1

sanitize: gtest $(VENV)/.ready $(VENV)/.demo-ready $(VENV)/.typing-ready $(VENV)/.learn-ready
	$(VENV)/bin/cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVALDRIX_TESTS=ON \
	  -DVALDRIX_MODULE=ON -DVALDRIX_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DSKBUILD_SABI_COMPONENT=Development.SABIModule
	$(VENV)/bin/cmake --build $(SAN_DIR) -j $(JOBS)
	rm -rf $(SAN_DIR)/site && $(VENV)/bin/cmake --install $(SAN_DIR) --prefix $(SAN_DIR)/site
	cp -r src/valdrix_learn $(SAN_DIR)/site/
	@grep -q __asan_init $(SAN_DIR)/site/Valdrix.abi3.so || { echo "the module in $(SAN_DIR) is not instrumented"; exit 1; }
	cd $(SAN_DIR) && ASAN_OPTIONS=$(SAN_COMMON):detect_leaks=1 UBSAN_OPTIONS=$(UBSAN_OPTS) \
	  ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)
	$(SAN_PY_ENV) $(PY) -c "import Valdrix; assert '/$(SAN_DIR)/site/' in Valdrix.__file__, Valdrix.__file__"
	$(SAN_PY_ENV) $(PY) -m pytest -q -p no:cacheprovider tests/python

# ---------------------------------------------------------------- fuzzing
# `make fuzz` runs every libFuzzer target of fuzz/ for FUZZ_SECONDS each,
# starting from the kept corpus, then minimises the corpus back into
# fuzz/corpus/<target> (-merge=1). `make fuzz-replay` replays the kept corpus
# through the plain g++ drivers, as the core tests also do.
FUZZ_DIR     := build/fuzz
FUZZ_TARGETS := $(patsubst fuzz/fuzz_%.cpp,%,$(wildcard fuzz/fuzz_*.cpp))
FUZZ_SECONDS ?= 180
FUZZ_MAX_LEN ?= 1024
CLANGXX      ?= clang++-19

fuzz-tools:
	@if ! command -v $(CLANGXX) >/dev/null || ! ls /usr/lib/llvm-19/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then \
	  echo "installing clang-19 and its runtime libraries"; \
	  SUDO=$$(command -v sudo >/dev/null && [ "$$(id -u)" != 0 ] && echo sudo); \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq clang-19 libclang-rt-19-dev; \
	fi

fuzz: fuzz-tools $(VENV)/.ready
	CC=clang-19 CXX=$(CLANGXX) $(VENV)/bin/cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVALDRIX_FUZZ=ON -DCMAKE_CXX_FLAGS=-g
	$(VENV)/bin/cmake --build $(FUZZ_DIR) -j $(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p fuzz/corpus/$$t $(FUZZ_DIR)/found/$$t && rm -rf $(FUZZ_DIR)/min/$$t && mkdir -p $(FUZZ_DIR)/min/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  if ! ( cd $(FUZZ_DIR) && ./fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -max_len=$(FUZZ_MAX_LEN) \
	         -print_final_stats=1 found/$$t ../../fuzz/corpus/$$t ) > $(FUZZ_DIR)/$$t.log 2>&1; then \
	    tail -40 $(FUZZ_DIR)/$$t.log; echo "fuzz_$$t failed; the reproducer is in $(FUZZ_DIR)"; exit 1; \
	  fi; \
	  grep -E '^stat::(number_of_executed_units|new_units_added)' $(FUZZ_DIR)/$$t.log; \
	  ./$(FUZZ_DIR)/fuzz_$$t -merge=1 $(FUZZ_DIR)/min/$$t fuzz/corpus/$$t $(FUZZ_DIR)/found/$$t \
	    > $(FUZZ_DIR)/$$t.merge.log 2>&1 || { tail -20 $(FUZZ_DIR)/$$t.merge.log; exit 1; }; \
	  rm -f fuzz/corpus/$$t/* && cp $(FUZZ_DIR)/min/$$t/* fuzz/corpus/$$t/; \
	  echo "$$t: $$(ls fuzz/corpus/$$t | wc -l) corpus files"; \
	done

fuzz-replay: gtest $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B build/core -G Ninja -DVALDRIX_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build build/core -j $(JOBS)
	cd build/core && ../../$(VENV)/bin/ctest --output-on-failure -R '^fuzz_replay'

bench: install $(VENV)/.learn-ready
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)
