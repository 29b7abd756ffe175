# corvane's front door: each target runs nox sessions from noxfile.py (`make help` lists them),
# but `make demo`, which is not a test and builds as `pip install .` does (scripts/demo.py).
# nox itself is installed into build/nox-venv from the version pinned in pyproject.toml, by the
# first python3 on PATH (the pinned nox runs on Python >= 3.10; the sessions' interpreters come
# from scripts/find_pythons.py). PYTHON=python3.13 or PYTHON=/path/to/python3.X picks one;
# ARGS='-k frames -x' goes to the sessions' tool (pytest, bench/bench.py).

NOX_PYTHON ?= python3
NOX        := build/nox-venv/bin/nox
# What a target needs is checked first, in seconds, before nox or any tool is installed.
CHECK      := $(NOX_PYTHON) scripts/check_prereqs.py
ARGS       ?=
export PYTHON
export PIP_DISABLE_PIP_VERSION_CHECK := 1

.DEFAULT_GOAL := help
.PHONY: check-nox check-build check-cxx help demo test fuzz sanitize memcheck tsan bench wheels sdist \
	lint format format-check chroots new-pythons free-threaded clean

help:
	@echo 'make demo          print the worked request frames, then send some to a simulated DO board'
	@echo 'make test          build, repair and install the wheel, and test it, on every CPython >= 3.12'
	@echo '                   found here (the whole suite on the first; free-threaded 3.13 built first if'
	@echo '                   need be), then in each chroot that exists'
	@echo "                   (ARGS='-k frames -x' goes to pytest; PYTHON=... leaves the chroots out)"
	@echo 'make wheels        the same wheels into wheelhouse/, with only the wheel tests'
	@echo 'make sdist         build the sdist, install it from source and run the suite against it'
	@echo 'make fuzz          fuzz the call boundary against its model, 5000 examples per test'
	@echo 'make sanitize      the suite against an ASan + UBSan build, on every interpreter'
	@echo 'make memcheck      the suite under valgrind memcheck, on every interpreter'
	@echo 'make tsan          the concurrency programs, GIL off, against a ThreadSanitizer build for'
	@echo '                   the free-threaded interpreter (built once from Debian'"'"'s source package)'
	@echo 'make bench         time the calls and the import against C floors (ARGS=--quick)'
	@echo 'make chroots       provision every chroot: Debian sid on x86-64, i386, armhf and arm64'
	@echo 'make new-pythons   provision the x86-64 sid chroot only (CPython 3.14, 3.15)'
	@echo 'make lint          ruff, and the ruff and clang-format format checks'
	@echo 'make format        format the Python (ruff) and C/C++ (clang-format) files in place'
	@echo 'make format-check  fail if a file is not formatted'
	@echo 'make clean         remove what the targets made under build/ (not the chroots) and the caches'
	@echo 'more sessions and options: $(NOX) -l'

check-nox: ; @$(call need-python) && $(CHECK)
check-build: ; @$(call need-python) && $(CHECK) --build
check-cxx: ; @$(call need-python) && $(CHECK) --cxx
need-python = command -v $(NOX_PYTHON) >/dev/null || { echo "missing: $(NOX_PYTHON), which runs nox\
 (Python 3.10 or later with venv): on Debian, apt-get install python3 python3-venv" >&2; exit 1; }

# The demo is not a test: it builds corvane as `pip install .` does (g++), without nox or Zig.
demo: check-cxx ; $(NOX_PYTHON) scripts/demo.py
test: free-threaded check-build $(NOX) ; $(NOX) -t test -- $(ARGS)
# The wheels are what `make test` builds and tests: the same sessions, with the wheel tests only.
wheels: free-threaded check-build $(NOX) ; $(NOX) -t test -- tests/test_wheels.py
sdist: check-cxx $(NOX) ; $(NOX) -t sdist -- $(ARGS)
fuzz: check-build $(NOX) ; $(NOX) -t fuzz -- $(ARGS)
sanitize: check-cxx $(NOX) ; $(NOX) -t sanitize -- $(ARGS)
memcheck: check-cxx $(NOX) ; $(NOX) -t memcheck -- $(ARGS)
tsan: check-cxx $(NOX) ; $(NOX) -s tsan
bench: check-cxx $(NOX) ; $(NOX) -t bench -- $(ARGS)
chroots: ; scripts/provision.sh
new-pythons: ; scripts/provision.sh sid
# The free-threaded CPython 3.13, built once from Debian's source package (minutes), then reused;
# not when PYTHON picks one interpreter.
free-threaded: ; @[ -n "$$PYTHON" ] || scripts/free-threaded-python.sh >/dev/null
lint: check-nox $(NOX) ; $(NOX) -s lint
format: check-nox $(NOX) ; $(NOX) -s format
format-check: check-nox $(NOX) ; $(NOX) -s format-check

# pip >= 25.1 reads dependency groups (--group).
$(NOX): pyproject.toml
	$(NOX_PYTHON) -m venv build/nox-venv
	build/nox-venv/bin/python -m pip install -q 'pip>=25.1'
	build/nox-venv/bin/python -m pip install -q --group nox
	touch $@

# Only what the targets made, without walking into anything else: build/ but the chroots
# (build/*-root; `scripts/provision.sh --remove` deletes them) and the free-threaded interpreter
# (build/python3.*t), which take minutes to make again; the tools' caches; and the __pycache__
# folders of the project's own Python files. A venv of your own (.venv) is never touched.
PYCACHES := __pycache__ bench/__pycache__ examples/__pycache__ scripts/__pycache__ \
	tests/__pycache__ tests/isolated/__pycache__ tests/typecheck/__pycache__
clean:
	find build -mindepth 1 -maxdepth 1 ! -name '*-root' ! -name '*-root.lock' \
		! -name 'python3.*t' ! -name 'python3.*t-src' -exec rm -rf {} + 2>/dev/null || true
	rm -rf .pytest_cache .hypothesis .ruff_cache .mypy_cache $(PYCACHES)
