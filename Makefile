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
DEV_REQUIREMENTS := 'scikit-build-core>=0.10' pytest hypothesis
# clang-format is pinned: each release formats slightly differently.
CLANG_FORMAT_VERSION := 23.1.5

# Floor module for the benchmark: plain C, built straight against the venv's Python headers.
BENCH_CC     ?= $(CC)
BENCH_CFLAGS ?= -O3 -fPIC -shared -Wall -Wextra -Werror

PYTEST_ARGS ?=
BENCH_ARGS  ?=
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

.PHONY: help test demo bench format format-check clean

help:
	@printf '%s\n' \
	    'corvane make targets' \
	    '  make demo          build corvane and print the worked request frames (first CPython found)' \
	    '  make test          build and run the test suite on every CPython >= 3.12 found' \
	    "                     (PYTEST_ARGS='-k frames -x' passes options to pytest)" \
	    '  make bench         time the request builders against a C floor and struct.Struct' \
	    '                     (BENCH_ARGS=--quick for a short run)' \
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
	    case $$rc in
	        0) summary+=("$$ver: passed") ;;
	        5) summary+=("$$ver: passed, but pytest collected no tests") ;;
	        100) summary+=("$$ver: FAILED to build"); failed=1 ;;
	        *) summary+=("$$ver: FAILED (pytest exit status $$rc)"); failed=1 ;;
	    esac
	done
	echo "==> summary"
	printf '    %s\n' "$${summary[@]}"
	exit $$failed

demo:
	@$(PY_FUNCTIONS)
	py=$$(first_python)
	corvane_venv "$$py"
	echo "==> [$$VER] python examples/demo.py"
	"$$VPY" examples/demo.py

bench:
	@$(PY_FUNCTIONS)
	py=$$(first_python)
	corvane_venv "$$py"
	floor_dir=$(BUILD_DIR)/bench-$$VER
	include=$$("$$VPY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
	suffix=$$("$$VPY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
	mkdir -p "$$floor_dir"
	echo "==> [$$VER] building the floor module in $$floor_dir"
	$(BENCH_CC) $(BENCH_CFLAGS) -I"$$include" bench/floor.c \
	    -o "$$floor_dir/corvane_bench_floor$$suffix"
	echo "==> [$$VER] python bench/bench.py $(BENCH_ARGS)"
	PYTHONPATH="$$floor_dir$${PYTHONPATH:+:$$PYTHONPATH}" "$$VPY" bench/bench.py $(BENCH_ARGS)

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
