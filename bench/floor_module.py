"""The C floor modules of bench/floor.c: how they are built, and what their module tree must share
with corvane's. bench.py times against them; the suite (tests/test_bench_floor.py) holds the floor
to corvane's tree and results on every platform, so that a change to either shows in `make test`
rather than first in `make bench`. Nothing here needs pyperf.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path
from types import ModuleType
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
FLOOR_SOURCE = ROOT / "bench" / "floor.c"
# One per interpreter and machine: a chroot shares this checkout.
FLOOR_DIR = ROOT / "build" / f"bench-{sysconfig.get_config_var('SOABI')}"
FLOOR_CFLAGS = ["-O3", "-fPIC", "-shared", "-Wall", "-Wextra", "-Wno-unused-parameter", "-Werror"]


class FloorNotBuilt(Exception):
    """The compiler failed or could not be run; the message says which and why."""


def build_floor() -> Path:
    """Compiles bench/floor.c for this interpreter when a module is missing or older than the
    source; returns the directory to import them from. The compiler is $CC (default cc)."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    targets = [FLOOR_DIR / f"corvane_bench_{name}{suffix}" for name in ("floor", "bare")]
    if all(t.exists() and t.stat().st_mtime >= FLOOR_SOURCE.stat().st_mtime for t in targets):
        return FLOOR_DIR
    FLOOR_DIR.mkdir(parents=True, exist_ok=True)
    # Built beside the targets and renamed over them: a run importing one never sees half a file.
    partial = Path(tempfile.mkdtemp(dir=FLOOR_DIR, prefix=".floor-")) / "floor.so"
    cc = (os.environ.get("CC") or "cc").split()
    include = f"-I{sysconfig.get_paths()['include']}"
    command = [*cc, *FLOOR_CFLAGS, include, str(FLOOR_SOURCE), "-o", str(partial)]
    print(f"building {targets[0]}: {' '.join(command)}", flush=True)
    try:
        subprocess.run(command, check=True)
        for target in targets:
            shutil.copyfile(partial, partial.with_suffix(".copy"))
            os.replace(partial.with_suffix(".copy"), target)
    except (OSError, subprocess.CalledProcessError) as error:
        raise FloorNotBuilt(f"could not build the floor module from {FLOOR_SOURCE}: {error}")
    finally:
        shutil.rmtree(partial.parent)
    return FLOOR_DIR


def shape(obj: Any) -> Any:
    """What a module tree is made of: its modules' __all__, its classes' flags (but the cache's),
    sizes, attribute names and class attributes that are classes, its functions' signatures."""
    if isinstance(obj, type):
        nested = [shape(v) for v in vars(obj).values() if isinstance(v, type)]
        return obj.__flags__ & ~(1 << 19), obj.__basicsize__, sorted(vars(obj)), nested
    if isinstance(obj, ModuleType):
        return obj.__all__, [shape(getattr(obj, name)) for name in obj.__all__]
    return obj.__text_signature__


def tree(module: ModuleType) -> tuple[list[str], Any]:
    """A top-level module's sys.modules entries (below it) and its shape: two imports that build
    the same tree give equal values."""
    prefix = f"{module.__name__}."
    entries = sorted(k.removeprefix(prefix) for k in sys.modules if k.startswith(prefix))
    return entries, shape(module)
