# Every target sets itself up from a fresh machine: Debian packages, a local virtual
# environment, and the package built and installed into it.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEB_PACKAGES := libssl-dev libfmt-dev libboost1.81-dev clang-format
FUZZ_DEB_PACKAGES := clang libclang-rt-14-dev
FUZZ_SECONDS ?= 60
ASAN_BUILD := build/asan

.PHONY: format format-check run test asan bench fuzz fuzz-smoke fuzz-build install deps venv clean unicode-tables wheel wheels wheel-check test-aarch64 arm64-tree

run: install
	$(PY) examples/run.py

# The model-signing tool is installed here (requirements), so its interop tests must run.
test: install
	TAMREL_REQUIRE_INTEROP=1 $(PY) -m pytest -q

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready: requirements-dev.txt tests/requirements.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

install: deps venv
	$(PY) -m pip install -q --no-build-isolation .

# The wheels users install: manylinux_2_17 for x86-64 and aarch64, built by zig with libcrypto
# from Debian's OpenSSL source (tools/build-wheels.sh; heavy steps cached per user, outside the
# checkout). wheel-check: tags, symbol versions, exports, stable ABI, size of each.
# test-aarch64: the tests marked smoke on the aarch64 wheel in an arm64 Debian tree under qemu.
wheels: deps venv
	PY=$(abspath $(PY)) tools/build-wheels.sh

wheel: wheels

# The arm64 Debian tree alone (made once per machine; test-aarch64 makes it when missing).
arm64-tree:
	bash -c 'source tools/wheel-env.sh && arm64_tree_ensure'

wheel-check: venv
	@bash -c 'source tools/wheel-env.sh && apt_ensure binutils binutils-aarch64-linux-gnu'
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) tools/check_wheel.py dist/tamrel_manifest-*manylinux*.whl

test-aarch64:
	tools/test-aarch64.sh dist/tamrel_manifest-*manylinux*_aarch64.whl

# The whole test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps venv
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMREL_SANITIZE=ON -DTAMREL_TEST_HOOKS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(ASAN_BUILD)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  TAMREL_SANITIZED=1 TAMREL_TEST_BUILD=$(abspath $(ASAN_BUILD)) $(PY) -m pytest -q -p no:cacheprovider

# libFuzzer targets with ASan and UBSan (clang). FUZZ_SECONDS per target; fuzz-smoke: 30 s each.
fuzz-build: deps
	@for p in $(FUZZ_DEB_PACKAGES); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; fi
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMREL_FUZZ=ON >/dev/null
	cmake --build build/fuzz

fuzz: fuzz-build
	tests/fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	tests/fuzz/run.sh build/fuzz 30

# C++ layout by .clang-format; the generated Unicode tables stay as generated.
FORMAT_SOURCES = $(filter-out src/base/unicode_tables.cpp,$(sort $(wildcard src/*/*.cpp src/*/*.hpp src/*/*/*.cpp bench/*.cpp tests/fuzz/*.cpp tests/fuzz/*.hpp)))
format-check: deps
	clang-format --dry-run --Werror $(FORMAT_SOURCES)

format: deps
	clang-format -i $(FORMAT_SOURCES)

# The Unicode property tables, regenerated from the UCD of the pinned version (Debian's unicode-data).
unicode-tables:
	@dpkg-query -W -f='$${Status}' unicode-data 2>/dev/null | grep -q "install ok installed" || { \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq unicode-data; }
	$(PYTHON) tools/gen_unicode_tables.py

bench: install
	$(PY) bench/run_all.py

clean:
	rm -rf build dist $(VENV) .pytest_cache
