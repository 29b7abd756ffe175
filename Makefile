# corvane's front door: each target runs nox sessions from noxfile.py (`make help` lists them).
# nox itself is installed into build/nox-venv from the version pinned in pyproject.toml, by the
# first python3 on PATH (the pinned nox runs on Python >= 3.10; the sessions' interpreters come
# from scripts/find_pythons.py). PYTHON=python3.13 or PYTHON=/path/to/python3.X picks one.

NOX_PYTHON  ?= python3
NOX_VENV    ?= build/nox-venv
NOX         := $(NOX_VENV)/bin/nox
# What a target needs is checked first, in seconds, before nox or any tool is installed.
CHECK       := $(NOX_PYTHON) scripts/check_prereqs.py
PYTEST_ARGS ?=
BENCH_ARGS  ?=
# A file for nox's JSON report of the sessions it ran (scripts/everywhere.sh sums them up).
NOX_REPORT  ?=
NOX_RUN      = $(NOX) $(if $(NOX_REPORT),--report $(NOX_REPORT))
export PYTHON
export PIP_DISABLE_PIP_VERSION_CHECK := 1

.DEFAULT_GOAL := help
.PHONY: check-nox check-build check-cxx help demo test test-here fuzz sanitize memcheck bench bench-here wheels \
	wheels-here sdist lint format format-check chroots new-pythons clean

help:
	@echo 'make demo          print the worked request frames, then send some to a simulated DO board'
	@echo 'make test          build corvane and run the suite on every CPython >= 3.12 found: the'
	@echo '                   host'"'"'s, then in each chroot that exists (sid'"'"'s 3.14, 3.15, 3.14d, 3.15d;'
	@echo '                   3.13 on i386, armhf, arm64); WHERE="host arm64" picks places,'
	@echo "                   PYTEST_ARGS='-k frames -x' passes options to pytest"
	@echo 'make fuzz          fuzz the call boundary against its model, 5000 examples per test'
	@echo 'make sanitize      the suite against an ASan + UBSan build, on every interpreter'
	@echo 'make memcheck      the suite under valgrind memcheck, on every interpreter'
	@echo 'make bench         time the builders and classes against C floors (BENCH_ARGS=--quick)'
	@echo 'make wheels        the manylinux wheel per interpreter and platform that make test tests,'
	@echo '                   into wheelhouse/, with only the wheel tests'
	@echo 'make sdist         build the sdist, install it from source and run the suite against it'
	@echo 'make chroots       provision every chroot: sid (CPython 3.14, 3.15), trixie i386, armhf, arm64'
	@echo 'make new-pythons   provision the sid chroot only'
	@echo 'make lint          ruff, and the ruff and clang-format format checks'
	@echo 'make format        format the Python (ruff) and C/C++ (clang-format) files in place'
	@echo 'make format-check  fail if a file is not formatted'
	@echo 'make clean         remove build/ (but the chroots) and the caches'
	@echo 'PYTHON=python3.13 (a command or a path) restricts every target to that interpreter;'
	@echo 'more sessions and options: $(NOX) -l'

check-nox: ; @$(call need-python) && $(CHECK)
check-build: ; @$(call need-python) && $(CHECK) --build
check-cxx: ; @$(call need-python) && $(CHECK) --cxx
need-python = command -v $(NOX_PYTHON) >/dev/null || { echo "missing: $(NOX_PYTHON), which runs nox\
 (Python 3.10 or later with venv): on Debian, apt-get install python3 python3-venv" >&2; exit 1; }

demo: check-build $(NOX) ; $(NOX) -t demo
# test, bench and wheels also run in every chroot that exists (scripts/everywhere.sh; bench on
# x86-64 only); the -here targets run on this side only.
test: ; @scripts/everywhere.sh test-here
test-here: check-build $(NOX) ; $(NOX_RUN) -t test -- $(PYTEST_ARGS)
fuzz: check-build $(NOX) ; $(NOX) -t fuzz -- $(PYTEST_ARGS)
sanitize: check-cxx $(NOX) ; $(NOX) -t sanitize -- $(PYTEST_ARGS)
memcheck: check-cxx $(NOX) ; $(NOX) -t memcheck -- $(PYTEST_ARGS)
bench: ; @scripts/everywhere.sh bench-here
bench-here: check-cxx $(NOX) ; $(NOX_RUN) -t bench -- $(BENCH_ARGS)
# The wheels are what `make test` builds and tests: this runs the same sessions, with only the
# wheel's own tests.
wheels: ; @scripts/everywhere.sh wheels-here
wheels-here: check-build $(NOX) ; $(NOX_RUN) -t test -- tests/test_wheels.py
sdist: check-cxx $(NOX) ; $(NOX) -t sdist -- $(PYTEST_ARGS)
chroots: ; scripts/provision.sh
new-pythons: ; scripts/provision.sh sid
lint: check-nox $(NOX) ; $(NOX) -s lint
format: check-nox $(NOX) ; $(NOX) -s format
format-check: check-nox $(NOX) ; $(NOX) -s format-check

# pip >= 25.1 reads dependency groups (--group).
$(NOX): pyproject.toml
	$(NOX_PYTHON) -m venv $(NOX_VENV)
	$(NOX_VENV)/bin/python -m pip install -q 'pip>=25.1'
	$(NOX_VENV)/bin/python -m pip install -q --group nox
	touch $@

# The chroots stay (they take minutes to make): `scripts/provision.sh --remove` deletes them.
clean:
	find build -mindepth 1 -maxdepth 1 ! -name '*-root' ! -name '*-root.lock' -exec rm -rf {} + \
		2>/dev/null || true
	rm -rf .pytest_cache .hypothesis .ruff_cache
	find . -path ./.git -prune -o -type d -name __pycache__ -prune -exec rm -rf {} +
