"""corvane's jobs, one nox session each, which the Makefile's targets run (`nox -l` lists them).

A session per interpreter of this machine (scripts/pythons.py) is named after its ABI tag,
`test(cp313)`, and has one venv under build/nox/ that builds corvane and runs the job.
`chroot(<name>)` builds and tests with a Debian chroot's interpreters (scripts/chroot.sh), whose
venvs the host's pip fills. Every wheel is built by Zig, repaired by auditwheel and checked by
twine, and that wheel is what the suite tests."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import nox
import nox.logger
import ziglang

# nox looks for uv before each session and says it found none: noise, as sessions use venv.
nox.logger.logger.addFilter(lambda record: record.getMessage() != "uv binary not found.")
ROOT = Path(__file__).resolve().parent
BUILD = ROOT / "build"
nox.options.envdir = str(BUILD / "nox")
nox.options.reuse_venv = "yes"  # rebuilds stay incremental; `make clean` starts afresh
nox.options.download_python = "never"
nox.options.sessions = []  # plain `nox` lists the sessions instead of running them all

sys.path.insert(0, str(ROOT / "scripts"))
import pythons  # noqa: E402

try:
    HOST = pythons.find(os.environ.get("PYTHON"))
except pythons.NotFound:
    HOST = []  # the Makefile says why first (scripts/pythons.py --build)
BY_PATH = {i.path: i for i in HOST}
# Host-side tools live in nox's own venv (group `tools`): auditwheel, twine and Zig, one static
# x86-64 program that the kernel runs natively even in an ARM chroot, which sees it at this path.
TOOLS = Path(sys.executable).parent
ZIG = Path(ziglang.__file__).parent / "zig"
WHEELHOUSE = ROOT / "wheelhouse"  # every machine's shipped wheels
# What runs on every interpreter but the first of each side: the wheel, and what it is for.
MATRIX_TESTS = [f"tests/test_{n}.py" for n in ("wheels", "frames", "records", "unions")]


def per_interpreter(leave_out: str = "", only: str = "", first_only: bool = False):
    """Parametrise a session over the host's interpreters, leaving out those whose ABI flags
    have a letter of `leave_out` ("d" debug, "t" free-threaded), or lack those of `only`."""
    chosen = [i for i in HOST if not set(leave_out) & set(i.tag[2:]) and set(only) <= set(i.tag)]
    chosen = chosen[: 1 if first_only else None]
    return nox.parametrize("python", [i.path for i in chosen], ids=[i.tag for i in chosen])


def manylinux(machine: str) -> str:
    """The wheel tag of a machine: manylinux2014, but where glibc's port came later."""
    return f"manylinux_{'2_31' if machine == 'riscv64' else '2_17'}_{machine}"


def build_wheel(session: nox.Session, side: str, python: str, *config: str, run=()) -> Path:
    """Build corvane's wheel with `python` (a venv's, with the `build` group) into
    build/wheels-raw/<side>/, incrementally in a CMake tree of its own for each configuration
    (CMake never redoes a tree's compiler detection); `run` runs the commands in a chroot."""
    toolchain = "".join([*config, *(f.read_text() for f in sorted((ROOT / "cmake").iterdir()))])
    tree = BUILD / "cmake" / f"{side}-{hashlib.sha256(toolchain.encode()).hexdigest()[:8]}"
    out = BUILD / "wheels-raw" / side
    shutil.rmtree(out, ignore_errors=True)
    epoch = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True)
    session.env.update(
        CMAKE_BUILD_PARALLEL_LEVEL=str(os.cpu_count() or 2),
        SOURCE_DATE_EPOCH=os.environ.get("SOURCE_DATE_EPOCH") or epoch.stdout.decode().strip(),
        ZIG_GLOBAL_CACHE_DIR=str(BUILD / "zig-cache"),  # Zig's C++ runtime, once per machine
    )
    options = [arg for c in (f"build-dir={tree}", *config) for arg in ("-C", c)]
    wheel = "-m pip wheel -q --no-deps --no-build-isolation".split()
    session.run(*run, python, *wheel, *options, "-w", str(out), str(ROOT), external=True)
    (wheel,) = out.glob("corvane-*.whl")
    return wheel


def shipped_wheel(session: nox.Session, side: str, python: str, run=()) -> Path:
    """Build the wheel as it ships (Zig), repair it to its machine's manylinux tag, which fails
    if its symbol versions are newer, and check it with `twine check --strict`; it lands in
    wheelhouse/ (a debug interpreter's, which never ships, in build/wheels-debug/)."""
    toolchain = f"cmake.define.CMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'zig-toolchain.cmake'}"
    raw = build_wheel(
        session, side, python, toolchain, f"cmake.define.ZIG_EXECUTABLE={ZIG}", run=run
    )
    stem, machine = raw.stem.rsplit("-linux_", 1)
    house = BUILD / "wheels-debug" if stem.endswith("d") else WHEELHOUSE
    house.mkdir(parents=True, exist_ok=True)
    for old in house.glob(f"{stem}-*_{machine}.whl"):
        old.unlink()
    # auto: the oldest tag that its symbol versions allow (the only choice for another machine).
    repair = [TOOLS / "auditwheel", "repair", "--plat", "auto", "-w", house, raw]
    path = {"PATH": f"{TOOLS}:{os.environ['PATH']}"}
    session.run(*repair, env=path, external=True, silent=True)
    (wheel,) = house.glob(f"{stem}-*_{machine}.whl")
    if not wheel.name.endswith(f"{manylinux(machine)}.whl"):
        session.error(f"{wheel.name} is not {manylinux(machine)}: a symbol version is too new")
    # Wide: rich, which twine prints through, wraps at 80 columns when not on a terminal.
    plain = [] if sys.stdout.isatty() else ["--no-color"]
    session.run(
        TOOLS / "twine", *plain, "check", "--strict", wheel, external=True, env={"COLUMNS": "1000"}
    )
    session.env["CORVANE_WHEELHOUSE"] = str(house)
    return wheel


def groups(session: nox.Session, *names: str) -> None:
    session.install(*(arg for name in names for arg in ("--group", name)))


def install(session: nox.Session, wheel: Path | None = None, *names: str) -> Path:
    """Install the build group and `names`, then the wheel (the shipped one if None), into the
    session's venv; returns the extension module's path, found without loading it (an
    instrumented build loads only with its runtime preloaded)."""
    groups(session, "build", *names)
    wheel = wheel or shipped_wheel(session, f"host-{BY_PATH[session.python].tag}", "python")
    session.install("--no-deps", "--force-reinstall", str(wheel))
    where = "import importlib.util; print(importlib.util.find_spec('corvane').origin)"
    return Path(session.run("python", "-c", where, silent=True, log=False).strip())


def suite_groups(session: nox.Session) -> tuple[str, ...]:
    """The groups that the whole suite needs: mypy but on a free-threaded interpreter, which runs
    the suite with the GIL off and has no mypy; basedpyright (some 280 MB, and what it checks is
    the same on any interpreter) on the first only. The tests of what is missing skip."""
    pyright = ("pyright",) if session.python == HOST[0].path else ()
    if "t" in BY_PATH[session.python].tag[2:]:
        session.env["PYTHON_GIL"] = "0"  # inherited by the fresh interpreters that tests start
        return ("suite", *pyright)
    return ("test", *pyright)


def pytest(session: nox.Session, *args: str, run=(), python="python", ok=False) -> bool:
    """Run pytest quietly; with ok=True, whether it passed instead of failing the session."""
    try:
        session.run(*run, python, *"-m pytest -q -p no:cacheprovider".split(), *args, external=True)
    except nox.command.CommandFailed:
        if not ok:
            raise
        return False
    return True


@nox.session(tags=["test"])
@per_interpreter()
def test(session: nox.Session) -> None:
    """Build, repair and install corvane's wheel, then run the suite against it (arguments go to
    pytest): the whole suite on the first interpreter and on debug and free-threaded ones, the
    wheel, frame, record and union tests on the others."""
    flags = BY_PATH[session.python].tag[2:]
    whole = session.python == HOST[0].path or any(f in flags for f in "dt") or session.posargs
    install(session, None, *(suite_groups(session) if whole else ("pytest",)))
    pytest(session, *(session.posargs or ([] if whole else MATRIX_TESTS)))


def chroot_rows() -> list[list[str]]:
    """`scripts/chroot.sh rows`: name, machine, whether provisioned, then its interpreters."""
    if os.environ.get("PYTHON"):  # it picks one interpreter of this machine
        return []
    rows = subprocess.run([ROOT / "scripts" / "chroot.sh", "rows"], capture_output=True, text=True)
    return [line.split() for line in rows.stdout.splitlines()]


ROWS = chroot_rows()


@nox.session(python=False, tags=["test"])
@nox.parametrize("row", ROWS, ids=[r[0] for r in ROWS])
def chroot(session: nox.Session, row: list[str]) -> None:
    """`test` for each interpreter of a Debian chroot (arguments go to pytest there)."""
    name, machine, ready, *versions = row
    if ready != "yes":
        session.skip(f"the {name} chroot is missing or out of date: `make chroots` makes it")
    run = [str(ROOT / "scripts" / "chroot.sh"), "run", name]
    for index, version in enumerate(versions):
        tag, release = "cp" + version.replace(".", ""), version.rstrip("d")
        venv = BUILD / name / f"venv-{tag}"
        python = str(venv / "bin" / "python")
        if not Path(python).exists():
            session.run(*run, f"/usr/bin/python{version}", *"-m venv --without-pip".split(), venv)
        # The host's pip fills the venv, for the chroot's machine and interpreter: only wheels.
        pip = [sys.executable, *"-m pip install -q --upgrade --only-binary=:all:".split()]
        pip += [f"--target={venv}/lib/python{release}/site-packages", f"--abi={tag}"]
        pip += [f"--python-version={release}", "--implementation=cp"]
        pip += [f"--platform=manylinux_{v}_{machine}" for v in ("2_17", "2_31")]
        whole = index == 0 or version.endswith("d") or session.posargs
        session.run(
            *pip, "pip>=25.1", *"--group build --group".split(), "suite" if whole else "pytest"
        )
        session.run(*pip, "--no-deps", shipped_wheel(session, f"{name}-{tag}", python, run=run))
        pytest(
            session, *(session.posargs or ([] if whole else MATRIX_TESTS)), run=run, python=python
        )


@nox.session(tags=["fuzz"])
@per_interpreter()
def fuzz(session: nox.Session) -> None:
    """Differential fuzzing of the call boundary against its model, 5000 examples per test."""
    install(session, None, *suite_groups(session))
    pytest(session, "-m", "fuzz", "--hypothesis-profile=fuzz", *session.posargs)


# --- instrumented builds (g++; CONTRIBUTING.md, "Checks", explains each setting) ---------------

SANITIZE_FLAGS = (
    "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
    " -D_GLIBCXX_ASSERTIONS"
)
ASAN_OPTIONS = "halt_on_error=1:detect_leaks=0:allocator_may_return_null=1:handle_abort=0:" + (
    "detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
)
# Copies 256 bytes out of an 8-byte bytes object (a heap block: not a cached one-byte one).
SANITIZE_CANARY = "import ctypes; ctypes.memmove(ctypes.create_string_buffer(256), bytes(8), 256)"


def runtime(session: nox.Session, library: str) -> str:
    """The path of g++'s sanitizer runtime `library`, to preload into the interpreter."""
    path = subprocess.run(["g++", f"-print-file-name={library}"], capture_output=True, text=True)
    if not os.path.isabs(path.stdout.strip()):
        session.error(f"g++ has no {library} (on Debian: apt-get install libgcc-12-dev)")
    return path.stdout.strip()


def instrumented(session: nox.Session, flavour: str, flags: str, *names: str) -> Path:
    """Build corvane with g++ and `flags`, unstripped, and install it; returns the module."""
    session.env["CXX"] = "g++"
    tag = BY_PATH[session.python].tag
    config = ("install.strip=false", f"cmake.define.CORVANE_EXTRA_FLAGS={flags}")
    groups(session, "build")
    return install(
        session, build_wheel(session, f"host-{tag}-{flavour}", "python", *config), *names
    )


def reports(session: nox.Session, kind: str) -> Path:
    """An empty folder for the reports of this session's runs."""
    folder = BUILD / f"{kind}-{BY_PATH[session.python].tag}"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def fail_on_reports(session: nox.Session, folder: Path, passed: bool) -> None:
    """Show every report in `folder`; fail if there is one or the run failed."""
    found = sorted(folder.iterdir())
    for path in found:
        session.log(f"report {path}:\n{path.read_text()}")
    if found or not passed:
        session.error(f"reports in {folder}" if found else "pytest failed")


@nox.session(tags=["sanitize"])
@per_interpreter(leave_out="t")  # free-threaded interpreters refuse PYTHONMALLOC=malloc
def sanitize(session: nox.Session) -> None:
    """The test suite against an ASan + UBSan build (fails on any sanitizer report)."""
    preload = " ".join(runtime(session, f"lib{s}.so") for s in ("asan", "ubsan"))
    module = instrumented(session, "asan", SANITIZE_FLAGS, "test")
    nm = subprocess.run(["nm", "-D", "--undefined-only", module], capture_output=True, text=True)
    if "__asan_report_" not in nm.stdout or not any(
        s.startswith("__ubsan_handle_") and s.endswith("_abort") for s in nm.stdout.split()
    ):
        session.error(f"{module} is not built with ASan and non-recovering UBSan")
    folder = reports(session, "sanitize")
    session.env.update(LD_PRELOAD=preload, PYTHONMALLOC="malloc")
    session.env["ASAN_OPTIONS"] = f"{ASAN_OPTIONS}:log_path={folder}/asan"
    session.env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
    # A report must end the process and land in the folder: a canary overflow proves it.
    session.run("python", "-c", SANITIZE_CANARY, success_codes=range(1, 256), silent=True)
    if not any("heap-buffer-overflow" in p.read_text() for p in folder.glob("asan.*")):
        session.error("the sanitizer runtime did not catch the canary overflow")
    for path in folder.iterdir():
        path.unlink()
    fail_on_reports(session, folder, pytest(session, *session.posargs, ok=True))


VALGRIND = "valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --xml=yes"
VALGRIND += " --errors-for-leak-kinds=none --error-exitcode=99 --num-callers=50"
VALGRIND += f" --suppressions={ROOT / 'scripts' / 'memcheck.supp'}"
# One more reference to a frame that corvane made, and the frame can never be freed.
MEMCHECK_CANARY = (
    "import corvane, ctypes; "
    "ctypes.pythonapi.Py_IncRef(ctypes.py_object(corvane.get_do_request(1, 2)))"
)


@nox.session(tags=["memcheck"])
@per_interpreter(leave_out="t")
def memcheck(session: nox.Session) -> None:
    """The test suite under valgrind memcheck (memory errors, definite leaks through corvane)."""
    if shutil.which("valgrind") is None:
        session.error("memcheck needs valgrind (on Debian: apt-get install valgrind)")
    instrumented(session, "memcheck", "-g -Wno-error=restrict", "test")
    logs = reports(session, "memcheck")
    session.env["PYTHONMALLOC"] = "malloc"
    python = str(Path(session.bin) / "python")
    judge = [python, str(ROOT / "scripts" / "memcheck-report.py")]
    session.log("canary: a corvane-made object leaked on purpose must be reported")
    xml = f"--xml-file={logs}/canary.xml"
    session.run(*VALGRIND.split(), xml, python, "-c", MEMCHECK_CANARY, external=True, silent=True)
    if subprocess.run([*judge, f"{logs}/canary.xml"], capture_output=True).returncode == 0:
        session.error("the deliberate leak was not reported")
    valgrind = [*VALGRIND.split(), f"--xml-file={logs}/pytest.xml"]
    passed = pytest(session, *session.posargs, run=valgrind, python=python, ok=True)
    session.run(*judge, logs / "pytest.xml")
    if not passed:
        session.error("pytest failed under valgrind")


# The concurrency programs, with thread counts and seconds as tests/test_concurrency.py runs them.
TSAN_RUNS = ["threads_stress.py 8 1.5", "import_race.py init init init init"]
TSAN_RUNS += [f"shared_{n}.py 8 2" for n in ("records", "keywords", "unions")]
TSAN_RUNS += ["import_race.py init init import import"]


def wrong_results(printed: object) -> list:
    """What a concurrency program's JSON output reports as wrong: non-empty "wrong" or "errors",
    an escaped exception (a thread's string result), "gil": true and "same": false."""
    if isinstance(printed, list):
        return [w for item in printed for w in wrong_results(item)]
    if not isinstance(printed, dict):
        return []
    found = [v for k, v in printed.items() if k in ("wrong", "errors") and v]
    found += [t for t in printed.get("threads", []) if isinstance(t, str)]
    found += [f"{k}: {v}" for k, v in (("gil", True), ("same", False)) if printed.get(k) is v]
    return found + [w for v in printed.values() for w in wrong_results(v)]


@nox.session(tags=["tsan"])
@per_interpreter(leave_out="d", only="t")
def tsan(session: nox.Session) -> None:
    """The concurrency programs with the GIL off against a ThreadSanitizer build (fails on any
    report, crash or wrong result)."""
    preload = runtime(session, "libtsan.so")
    instrumented(session, "tsan", "-fsanitize=thread -fno-omit-frame-pointer -g -O1")
    folder = reports(session, "tsan")
    options = f"history_size=7 log_path={folder}/tsan suppressions={ROOT}/scripts/tsan.supp"
    env = {**os.environ, "PYTHON_GIL": "0", "LD_PRELOAD": preload}
    env.update(PYTHONPATH=str(ROOT / "tests"), TSAN_OPTIONS=options)
    failed = []
    for program, *args in map(str.split, TSAN_RUNS):
        session.log(" ".join([program, *args]))
        command = [f"{session.bin}/python", "-Xfaulthandler", f"tests/isolated/{program}", *args]
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        try:
            wrong = wrong_results(json.loads(done.stdout)) if done.returncode == 0 else None
        except json.JSONDecodeError:
            wrong = None
        if wrong != []:
            failed.append(program)
            session.log(f"{program} ended with {done.returncode}: {wrong}\n{done.stderr[-4000:]}")
    fail_on_reports(session, folder, not failed)


# --- the benchmark, the sdist, lint -------------------------------------------------------------


@nox.session(tags=["bench"])
@per_interpreter(leave_out="dt")
def bench(session: nox.Session) -> None:
    """Benchmark the wheel that ships against its C floors (arguments go to bench/bench.py).

    Its cold start is also held to a build by the system's compiler, as `pip install .` makes
    it. --quick is a short run."""
    tag = BY_PATH[session.python].tag
    install(session, None, "bench")
    # The wheel's binary names no compiler (Zig writes no .comment section): say which it was.
    version = session.run(ZIG, "version", silent=True, external=True, log=False).strip()
    source = BUILD / f"source-{tag}"
    shutil.rmtree(source, ignore_errors=True)
    with zipfile.ZipFile(build_wheel(session, f"host-{tag}-source", "python")) as wheel:
        wheel.extractall(source, [n for n in wheel.namelist() if n.endswith(".so")])
    built_by = f"Zig {version} (clang, libc++), which builds every wheel"
    session.run(
        "python",
        "bench/bench.py",
        "--source-build",
        source,
        "--built-by",
        built_by,
        *session.posargs,
    )


@nox.session(tags=["sdist"])
@per_interpreter(first_only=True)
def sdist(session: nox.Session) -> None:
    """Build the sdist, install it as pip installs one (an isolated build with the system's C++
    compiler: the sdist alone must be enough) and run the suite against that build."""
    out = BUILD / "sdist"
    shutil.rmtree(out, ignore_errors=True)
    groups(session, "build", "test")
    session.run("python", "-m", "build", "--sdist", "-o", out, ".")
    (archive,) = out.glob("corvane-*.tar.gz")
    session.install("--force-reinstall", "--no-cache-dir", archive)
    pytest(session, *session.posargs)


def c_sources() -> list[str]:
    """The C and C++ files that clang-format owns."""
    files = [*(ROOT / "src").rglob("*.[ch]pp"), *(ROOT / "hal").rglob("*.[ch]pp")]
    return sorted(str(p.relative_to(ROOT)) for p in [*files, *(ROOT / "bench").glob("*.c")])


@nox.session(python=None, tags=["lint"])
def lint(session: nox.Session) -> None:
    """ruff's lint rules, and the ruff and clang-format format checks."""
    session.install("--group", "lint")
    session.run("ruff", "check", ".")
    session.run("ruff", "format", "--check", "--diff", ".")
    session.run("clang-format", "--dry-run", "--Werror", *c_sources())


@nox.session(python=None, name="format")
def format_(session: nox.Session) -> None:
    """Format the Python files (ruff) and the C and C++ files (clang-format) in place."""
    session.install("--group", "lint")
    session.run("ruff", "format", ".")
    session.run("clang-format", "-i", *c_sources())
