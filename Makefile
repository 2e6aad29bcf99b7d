# Every target sets up what it needs: CPython 3.13 (found by scripts/find-python),
# a virtual environment in .venv with the package and its test dependencies,
# and the Debian packages the C++ side needs.

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= 2
APT_PACKAGES_TEST := googletest libgtest-dev
APT_PACKAGES_FUZZ := clang libclang-rt-14-dev
APT_PACKAGES_BENCH := stockfish

.PHONY: encode sample-games test check test-core test-python test-long test-sanitize fuzz fuzz-brief perft bench install clean

test: test-core test-python fuzz-brief test-sanitize

# The edit loop: one incremental build of the modules and the core tests in
# build/check (no link-time optimisation, no reinstall), then the core tests
# and the velmor_chess Python tests not marked slow against that build. No
# sanitizers, no fuzzing: make test remains the full run. The test
# dependencies come with the first make install.
check: $(PY) apt-TEST
	@$(PY) -c 'import pytest, hypothesis, chess' 2>/dev/null || $(MAKE) --no-print-directory install
	$(VENV)/bin/cmake -S . -B build/check -G Ninja -DVELMOR_TESTS=ON -DVELMOR_LTO=OFF \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build build/check -j $(JOBS)
	build/check/core_tests --gtest_brief=1
	PYTHONPATH=build/check $(PY) -m pytest -q -m "not slow" tests/python

# CPython 3.13, a fresh venv and the build tools, once.
$(PY):
	@python=$$(scripts/find-python) && echo "using $$python" && "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.20" ninja setuptools wheel

# The package itself, rebuilt in build/ when a source changed. The tests also
# run the encode job on a local Ray, the README's training loop with PyTorch
# and Parquet inputs with pyarrow: they take the extras 'ray', 'torch' and
# 'parquet' too (torch: about 90 s and 5.4 GB in .venv the first time).
EXTRAS ?= test
install: $(PY)
	$(PY) -m pip install --quiet --no-build-isolation ".[$(EXTRAS)]"

test-python: EXTRAS = test,ray,torch,parquet

# The main job: the sample games (data/, written by scripts/make-sample-games)
# encoded into a dataset, with the summary and where the dataset is.
ENCODE_OUT := build/sample-dataset
encode: install
	$(PY) -m velmor_data encode data/sample-games.pgn.zst -o $(ENCODE_OUT) --overwrite $(ENCODE_ARGS)
	@echo "dataset: $(ENCODE_OUT) (velmor_data.open_dataset(\"$(ENCODE_OUT)\"); README.md shows how to load it)"

# Plays the sample games again with Stockfish (46 minutes on two busy shared
# cores, 25 minutes of processor time).
sample-games: install apt-BENCH
	$(PY) scripts/make-sample-games $(SAMPLE_ARGS)

apt-%:
	@scripts/apt-install $(APT_PACKAGES_$*)

build/core/core_tests: $(PY) apt-TEST FORCE
	$(VENV)/bin/cmake -S . -B build/core -G Ninja -DVELMOR_MODULE=OFF -DVELMOR_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build build/core -j $(JOBS)

test-core: build/core/core_tests
	cd build/core && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

test-python: install
	$(PY) -m pytest
	$(PY) -m mypy.stubtest velmor_chess velmor_data._native
	$(PY) -m mypy --strict --no-incremental tests/data/typing_usage.py

# The long checks: every position of the shared perft file to depth 5 (its
# four shards side by side), then the differential games against python-chess
# at a million positions and the resource checks at a million calls.
test-long: build/core/core_tests install
	cd build/core && VELMOR_LONG=1 ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS) -R Perft
	VELMOR_LONG=1 $(PY) -m pytest -q tests/python/test_differential.py tests/python/test_resources.py

# The main job: count positions through the Python API.
perft: install
	$(PY) examples/perft.py $(PERFT_ARGS)

# Core tests and the Python tests against builds with AddressSanitizer and
# UndefinedBehaviorSanitizer.
test-sanitize: $(PY) apt-TEST apt-FUZZ
	scripts/sanitize

# libFuzzer targets on the core; FUZZ_SECONDS per target (default 60).
fuzz: $(PY) apt-FUZZ
	scripts/fuzz $${FUZZ_SECONDS:-60}

# The brief fuzz run of the default test command.
fuzz-brief: $(PY) apt-FUZZ
	scripts/fuzz 10

# Side-by-side benchmarks against python-chess, C-extension peers, the Rust
# PGN binding and Stockfish. The peers are measured where they install; one
# that does not is reported as skipped by the benchmark.
bench: install apt-BENCH
	for peer in bulletchess fastchess nchess rust_pgn_reader_python_binding; do \
	  $(PY) -m pip install --quiet $$peer || echo "peer $$peer not installed: it is reported as skipped"; \
	done
	scripts/bench $(BENCH_ARGS)
	@echo
	@echo "== velmor_data.encode_games beside the Rust PGN binding, same games and positions"
	$(PY) bench/rust_peer.py $(BENCH_ARGS)
	@echo
	@echo "== what reading clocks and evaluations from the comments costs the reader, same run"
	$(PY) bench/fields.py
	@echo
	@echo "== the encode job end to end, beside peer pipelines over the same games"
	$(PY) bench/encode_job.py $(BENCH_ARGS)
	@echo
	@echo "== the position store: bytes a position, shuffled batches beside a NumPy gather, the training encodings beside the write-bandwidth floor"
	$(PY) bench/store.py
	@echo
	@echo "== the dataset the job writes: bytes a position on disk, batches() and the DataLoader paths beside the gather floor"
	$(PY) bench/loader.py

clean:
	rm -rf build $(VENV)

FORCE:
