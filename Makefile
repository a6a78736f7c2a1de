# make demo | make test | make bench: each does the whole set-up first (system
# packages, a Python 3.13 venv, the package built and installed), then runs.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON313 ?= $(shell for p in $$(ls -d $(PYENV_ROOT)/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1) /usr/local/bin/python3.13 /usr/bin/python3.13 $$(command -v python3.13 2>/dev/null); do if [ -x "$$p" ] && "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then echo "$$p"; break; fi; done)
APT_PACKAGES := libpcap-dev pkg-config g++ iproute2 tcpdump
BUILD_TOOLS := scikit-build-core cmake ninja

FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz

ASAN_BUILD := build/asan
ASAN_FLAGS := -fsanitize=address,undefined;-fno-omit-frame-pointer;-fno-sanitize-recover=undefined

.PHONY: all sysdeps venv install demo test test-asan bench fuzz stress clean

all: install

# System packages, installed only when missing (the apt index is refreshed once).
sysdeps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		echo "installing system packages:$$missing"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready:
	@test -n "$(PYTHON313)" || { echo "Python 3.13 was not found (pyenv, /usr/bin, PATH)" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_TOOLS)
	touch $@

venv: $(VENV)/.ready

install: sysdeps venv
	$(PY) -m pip install -q --no-build-isolation '.[test,dask]'

demo: install
	examples/demo.sh $(VENV)/bin/kavrel demo-out

test: install
	$(PY) -m pytest

# The whole suite against modules built with AddressSanitizer and UBSan. The
# sanitizer runtime is preloaded into the (uninstrumented) interpreter; leak
# detection is off because the interpreter itself keeps memory until exit.
test-asan: install
	rm -rf $(ASAN_BUILD)/site
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DKAVREL_EXTRA_FLAGS="$(ASAN_FLAGS)"
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	mkdir -p $(ASAN_BUILD)/site && cp -r src/kavrel $(ASAN_BUILD)/site/
	find $(ASAN_BUILD)/site -name '*.so' -delete
	$(VENV)/bin/cmake --install $(ASAN_BUILD) --prefix $(abspath $(ASAN_BUILD)/site)
	PYTHONPATH=$(abspath $(ASAN_BUILD)/site) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 KAVREL_SANITIZED=1 \
		$(PY) -m pytest -p no:cacheprovider $(ASAN_PYTEST_ARGS)

# Every command stopped by SIGINT or SIGTERM at varied moments, STRESS_RUNS times each (the
# suite runs a few of the same trials): no abort, no traceback, nothing partial left behind.
STRESS_RUNS ?= 200
stress: install
	$(PY) tests/interrupt_trials.py $(STRESS_RUNS)

# The peers, installed only when missing: tshark is the end-to-end peer of `kavrel features`, tcpdump
# (a system package above) that of scan_live; argus (Debian's argus-server) and NFStream (PyPI) are
# those of `kavrel connections`.
BENCH_APT_PACKAGES := tshark argus-server
BENCH_PIP_PACKAGES := nfstream

bench: install
	@missing=""; for p in $(BENCH_APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		echo "installing benchmark peers:$$missing"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@for p in $(BENCH_PIP_PACKAGES); do $(PY) -m pip show -q $$p >/dev/null 2>&1 || $(PY) -m pip install -q $$p; done
	$(PY) bench/run.py

# Coverage-guided fuzzing of the decoders (clang's libFuzzer, ASan, UBSan):
# each target runs for FUZZ_SECONDS from its seeds.
FUZZ_TARGETS := parse_packet decode_steps classic_pcap pcapng fast_alert
FUZZ_INCLUDES := -Inative

fuzz: sysdeps
	@command -v clang++ >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang; }
	@dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libclang-rt-14-dev || true
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus-$$t && \
		clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
			$(FUZZ_INCLUDES) fuzz/fuzz_$$t.cpp -lpcap -o $(FUZZ_BUILD)/fuzz_$$t && \
		$(FUZZ_BUILD)/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_BUILD)/$$t- $(FUZZ_BUILD)/corpus-$$t fuzz/seeds/$$t || exit 1; \
	done

clean:
	rm -rf build $(VENV) .pytest_cache
