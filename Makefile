# corvane's front door: each target runs nox sessions (noxfile.py), but `make demo`
# (scripts/demo.py) and `make chroots` (scripts/chroot.sh). nox and the host's tools are
# installed into build/nox-venv from pyproject.toml's `tools` group by python3 (3.10 or later).
# PYTHON=python3.13 (or a path) picks one interpreter of this machine and leaves the chroots out;
# ARGS='-k frames -x' goes to the sessions' tool (pytest, bench/bench.py).
NOX   := build/nox-venv/bin/nox
CHECK := python3 scripts/pythons.py
export PYTHON
export PIP_DISABLE_PIP_VERSION_CHECK := 1
# make test's lanes, two at a time: the host's interpreters and each chroot, the slowest first.
CHROOTS := $(shell scripts/chroot.sh rows 2>/dev/null | tac | cut -d' ' -f1)
LANES := $(if $(PYTHON),host,$(firstword $(CHROOTS)) host $(wordlist 2,99,$(CHROOTS)))

.DEFAULT_GOAL := help
.PHONY: check-build check-cxx help demo test wheels sdist fuzz sanitize memcheck tsan bench chroots free-threaded lint \
	format clean $(addprefix lane-,$(LANES))

help: ## this list
	@awk -F ':.*## ' '/^[a-z-]+:.*## / { printf "make %-14s %s\n", $$1, $$2 }' Makefile

demo: ## print the worked request frames, then send some to a simulated DO board
	@$(CHECK) --cxx && python3 scripts/demo.py
# Checked first, in seconds; then the free-threaded CPython is built if missing.
test: check-build free-threaded $(NOX) ## build, repair and test the wheels of every interpreter here and in each chroot
	@$(MAKE) --no-print-directory -k -j2 --output-sync=target $(addprefix lane-,$(LANES))
lane-host: ; $(NOX) -s test -- $(ARGS)
$(addprefix lane-,$(CHROOTS)): lane-%: ; $(NOX) -s "chroot($*)" -- $(ARGS)
wheels: ## the same wheels into wheelhouse/, with only the wheel tests
	@$(MAKE) --no-print-directory test ARGS=tests/test_wheels.py
sdist: $(NOX) ## build the sdist, install it from source and run the suite against it
	@$(CHECK) --cxx && $(NOX) -t sdist -- $(ARGS)
fuzz: $(NOX) ## fuzz the call boundary against its model, 5000 examples per test
	@$(CHECK) --build && $(NOX) -t fuzz -- $(ARGS)
sanitize: $(NOX) ## the suite against an ASan + UBSan build, on every interpreter
	@$(CHECK) --cxx && $(NOX) -t sanitize -- $(ARGS)
memcheck: $(NOX) ## the suite under valgrind memcheck, on every interpreter
	@$(CHECK) --cxx && $(NOX) -t memcheck -- $(ARGS)
tsan: check-cxx free-threaded $(NOX) ## the concurrency programs, GIL off, against a ThreadSanitizer build
	$(NOX) -t tsan
bench: $(NOX) ## time the calls and the import against C floors (ARGS=--quick)
	@$(CHECK) --cxx && $(NOX) -t bench -- $(ARGS)
chroots: ## make the Debian chroots (scripts/chroot.sh has the table; needs root)
	scripts/chroot.sh provision
free-threaded: ## build the free-threaded CPython once, from Debian's source package
	@[ -n "$$PYTHON" ] || scripts/free-threaded-python.sh >/dev/null
lint: $(NOX) ## ruff, and the ruff and clang-format format checks
	@$(CHECK) --nox && $(NOX) -t lint
format: $(NOX) ## format the Python (ruff) and C/C++ (clang-format) files in place
	@$(CHECK) --nox && $(NOX) -s format

check-build check-cxx: ; @$(CHECK) --$(subst check-,,$@)
$(NOX): pyproject.toml
	@$(CHECK) --nox
	python3 -m venv build/nox-venv
	build/nox-venv/bin/python -m pip install -q 'pip>=25.1' # the first to read --group
	build/nox-venv/bin/python -m pip install -q --group tools
	touch $@

# What the targets made, by name: not the chroots (build/*-root; `scripts/chroot.sh remove`) or
# the free-threaded interpreter (build/python3.*t), which take minutes to make again; never a
# venv of your own (.venv).
clean: ## remove what the targets made under build/ (not the chroots) and the caches
	find build -mindepth 1 -maxdepth 1 ! -name '*-root' ! -name '*-root.lock' \
		! -name 'python3.*t' -exec rm -rf {} + 2>/dev/null || true
	rm -rf .pytest_cache .hypothesis .ruff_cache .mypy_cache
	rm -rf $(addsuffix __pycache__,./ bench/ examples/ scripts/ tests/ tests/isolated/ tests/typecheck/)
