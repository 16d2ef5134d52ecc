# kestrix: `make demo` and `make test` do every set-up step on a fresh Debian
# machine (system packages, virtual environment, build) and then run.

PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
VPIP   := $(VPY) -m pip
CMAKE  := $(VENV)/bin/cmake
JOBS   ?= 2

APT_PACKAGES := g++ make libexpat1-dev libgtest-dev
SANITIZER_APT_PACKAGES := clang libclang-rt-14-dev

.PHONY: demo test deps venv install core-test py-test dist wheel-check sanitize sanitize-core fuzz fuzz-diff bench clean format

demo: install
	$(VPY) -m kestrix demo

test: install core-test py-test wheel-check

# System packages, installed only when missing.
deps:
	@missing=""; for p in $(APT_PACKAGES) $(EXTRA_APT); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.ready: requirements-dev.txt requirements-test.txt requirements-saml.txt | deps
	$(PYTHON) -m venv $(VENV)
	$(VPIP) install -q --upgrade pip
	$(VPIP) install -q -r requirements-dev.txt
	$(VPIP) install -q --no-deps -r requirements-saml.txt
	touch $@

venv: deps $(VENV)/.ready

# Builds the abi3 extension with scikit-build-core and installs the package.
install: venv
	$(VPIP) install -q --no-build-isolation .

# GoogleTest suites of the core (no Python involved).
core-test: venv
	$(CMAKE) -S . -B build/core -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DKESTRIX_BUILD_EXTENSION=OFF -DKESTRIX_BUILD_TESTS=ON
	$(CMAKE) --build build/core -j $(JOBS)
	cd build/core && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

py-test: install
	$(VPY) -m pytest -q tests/python

# Release files: the sdist, and from it one abi3 wheel made portable by
# auditwheel (tagged with the oldest glibc its symbols need); libexpat is
# linked into the extension, libstdc++ comes from the system as every
# manylinux policy allows. WHEEL_PLAT is the newest tag accepted: a change
# that makes the extension need a newer glibc fails here instead of quietly
# narrowing the systems the wheel installs on.
DIST_RAW := build/dist-raw
WHEEL_PLAT ?= manylinux_2_34_$(shell uname -m)
$(VENV)/.dist-ready: requirements-dist.txt $(VENV)/.ready
	$(VPIP) install -q -r requirements-dist.txt
	touch $@

dist: venv $(VENV)/.dist-ready
	rm -rf dist $(DIST_RAW)
	$(VPY) -m build --outdir $(DIST_RAW) .
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) \
	  --wheel-dir dist $(DIST_RAW)/*.whl
	cp $(DIST_RAW)/*.tar.gz dist/
	$(VENV)/bin/auditwheel show dist/*.whl
	$(VENV)/bin/twine check --strict dist/*

# The wheel installed into a fresh environment under every CPython 3.10+ here,
# each running the whole suite against that installed copy.
wheel-check: dist
	$(VPY) tools/check_wheel.py dist

# The core suites under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize-core: venv
	$(MAKE) deps EXTRA_APT="$(SANITIZER_APT_PACKAGES)"
	CC=clang CXX=clang++ $(CMAKE) -S . -B build/asan-core -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKESTRIX_BUILD_EXTENSION=OFF -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_SANITIZE=ON
	$(CMAKE) --build build/asan-core -j $(JOBS)
	cd build/asan-core && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# The whole extension under ASan/UBSan, running the complete pytest suite in an
# interpreter that preloads the sanitizer runtime. CPython itself never frees
# much of its memory at exit, so LeakSanitizer cannot tell our leaks from its
# own; the suite's reference-count and tracemalloc tests check for our leaks.

sanitize: venv
	$(MAKE) deps EXTRA_APT="$(SANITIZER_APT_PACKAGES)"
	CC=clang CXX=clang++ $(CMAKE) -S . -B build/asan -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DKESTRIX_SANITIZE=ON
	$(CMAKE) --build build/asan -j $(JOBS)
	LD_PRELOAD=$$(clang -print-file-name=libclang_rt.asan-x86_64.so) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=build/asan/pkg \
	  $(VPY) -m pytest -q -p no:cacheprovider tests/python

# Times kestrix against ElementTree, lxml, xmltodict and pydantic-xml (bench/README.md).
bench: install
	$(VPIP) install -q -r bench/requirements.txt
	$(VPY) bench/bench_peers.py $(BENCH_ARGS)

# libFuzzer over the document parser and the record stream, with ASan/UBSan.
FUZZ_SECONDS ?= 60
fuzz: venv
	$(MAKE) deps EXTRA_APT="$(SANITIZER_APT_PACKAGES)"
	CC=clang CXX=clang++ $(CMAKE) -S . -B build/fuzz -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKESTRIX_BUILD_EXTENSION=OFF -DKESTRIX_SANITIZE=ON -DKESTRIX_BUILD_FUZZ=ON
	$(CMAKE) --build build/fuzz -j $(JOBS)
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz_parse_document -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=2048 build/fuzz/corpus fuzz/seeds

# kestrix's reader against expat (fuzz/fuzz_reader_diff.cpp) for FUZZ_SECONDS,
# the same build as `fuzz`.
fuzz-diff: venv
	$(MAKE) deps EXTRA_APT="$(SANITIZER_APT_PACKAGES)"
	CC=clang CXX=clang++ $(CMAKE) -S . -B build/fuzz -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKESTRIX_BUILD_EXTENSION=OFF -DKESTRIX_SANITIZE=ON -DKESTRIX_BUILD_FUZZ=ON
	$(CMAKE) --build build/fuzz -j $(JOBS) --target fuzz_reader_diff
	mkdir -p build/fuzz/corpus-diff
	$(if $(FUZZ_ERRORS),KESTRIX_DIFF_ERRORS=1) build/fuzz/fuzz_reader_diff -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  -rss_limit_mb=2048 build/fuzz/corpus-diff fuzz/seeds

format:
	clang-format -i core/include/kestrix/*.hpp core/src/*/*.hpp core/src/*/*.cpp core/src/*/*.c binding/src/*.hpp binding/src/*.cpp \
	  tests/core/*.cpp $(wildcard bench/*.cpp fuzz/*.cpp)

clean:
	rm -rf build dist $(VENV)

# atheris over deserialize, iterparse and serialize (fuzz/fuzz_entry_points.py)
# for FUZZ_SECONDS, the extension built under ASan/UBSan with libFuzzer coverage
# of its C++ code. The interpreter preloads the ASan runtime merged with
# libFuzzer: the plain ASan runtime would stub out the coverage counters.
# PYTHONMALLOC=malloc lets ASan see Python's allocations; leak detection is off
# as CPython keeps memory at exit. The corpus grows in build/fuzz-python/corpus,
# crashing inputs land in build/fuzz-python/artifacts.
.PHONY: fuzz-python
FUZZ_PY := build/fuzz-python
CLANG_RT = $(dir $(shell clang -print-file-name=libclang_rt.asan-x86_64.a))

$(FUZZ_PY)/asan_with_fuzzer.so:
	mkdir -p $(FUZZ_PY)/rt
	cp $(CLANG_RT)libclang_rt.asan-x86_64.a $(FUZZ_PY)/rt/asan_fuzzer.a
	ar d $(FUZZ_PY)/rt/asan_fuzzer.a asan_preinit.cpp.o
	cd $(FUZZ_PY)/rt && ar x $(CLANG_RT)libclang_rt.fuzzer_no_main-x86_64.a && ar r asan_fuzzer.a Fuzzer*.o
	clang++ -shared -o $@ -Wl,--whole-archive $(FUZZ_PY)/rt/asan_fuzzer.a \
	  $(CLANG_RT)libclang_rt.asan_cxx-x86_64.a -Wl,--no-whole-archive -lpthread -ldl -lrt -lm

fuzz-python: venv
	$(MAKE) deps EXTRA_APT="$(SANITIZER_APT_PACKAGES)"
	$(VPIP) install -q atheris
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ_PY) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DKESTRIX_SANITIZE=ON -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
	$(CMAKE) --build $(FUZZ_PY) -j $(JOBS)
	$(MAKE) $(FUZZ_PY)/asan_with_fuzzer.so
	mkdir -p $(FUZZ_PY)/corpus $(FUZZ_PY)/artifacts
	cd $(FUZZ_PY) && LD_PRELOAD=$(abspath $(FUZZ_PY))/asan_with_fuzzer.so PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(abspath $(FUZZ_PY))/pkg \
	  $(abspath $(VPY)) $(abspath fuzz/fuzz_entry_points.py) -max_total_time=$(FUZZ_SECONDS) \
	  -timeout=10 -artifact_prefix=artifacts/ corpus
