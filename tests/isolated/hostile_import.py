"""First imports that meet another build of the module tree half-way.

Usage: hostile_import.py MODE N. While the first `import corvane` imports sys for the N-th
time (the build does so once per nested module it enters in sys.modules):
  reenter       an __import__ hook imports corvane again, re-entering the initialisation;
  reenter fails the same, but the re-entered build fails at its last import of sys, once it
                has entered its other nested modules in sys.modules;
  outer fails   the same as reenter, but the first build then fails at its next import of sys
                (corvane is then imported again);
  restore stopped the same as outer fails, and a KeyboardInterrupt then stops the putting back
                of the re-entered build's modules in sys.modules, at its first import of sys;
  racer wins    another thread calls PyInit_corvane and finishes first;
  racer fails   another thread calls PyInit_corvane, which fails as "reenter fails" does;
  racer loses   another thread calls PyInit_corvane, whose build goes on (from its first import
                of sys) only once the import is done;
  racer outlasts another thread calls PyInit_corvane and enters two nested modules in
                sys.modules; the first build then fails at its next import of sys but one, and
                only then does the other build go on, and win (corvane is then imported again).
Prints, as JSON, whether each nested module's sys.modules entry is the module reached through
corvane, what the other build gave (the same corvane, or the name of its error) and what the
first import raised, if anything (the names along its __context__ chain).
"""

import builtins
import ctypes
import functools
import importlib.util
import json
import sys
import threading

from doubles import NESTED, context_names  # doubles imports nothing of corvane


class Boom(Exception):
    pass


OTHER_FAILS = ("reenter fails", "racer fails")  # the other build fails at its last sys import
OUTER_FAILS = ("outer fails", "restore stopped")  # the first build fails after a re-entered one
mode, position = sys.argv[1], int(sys.argv[2])
init = ctypes.PyDLL(importlib.util.find_spec("corvane").origin).PyInit_corvane
init.restype = ctypes.py_object

original_import = builtins.__import__
main = threading.get_ident()
sys_imports = 0
other = []  # what the other build returned, or the name of its error
other_sys_imports = [0]  # the other build's imports of sys, while it runs
racer_started = threading.Event()  # the racer's build is under way
racer_paused = threading.Event()  # the racer's build waits for the import to be done
import_done = threading.Event()


def other_build(build):
    try:
        other.append(build())
    except Boom:
        other.append("Boom")


def racer():
    other_build(init)


def reentered():
    import corvane as inner

    return inner


def hook(name, *args, **kwargs):
    global sys_imports
    if name == "sys" and threading.get_ident() != main and mode == "racer loses":
        racer_started.set()
        import_done.wait()  # the racer's build goes on only once the import is done
    elif name == "sys" and threading.get_ident() != main and mode == "racer outlasts":
        other_sys_imports[0] += 1
        if other_sys_imports[0] == 1 + 3:  # get_do and set_do are entered
            racer_paused.set()
            import_done.wait()
    elif (
        name == "sys"
        and mode in OTHER_FAILS + OUTER_FAILS
        and len(other) == 0
        and other_sys_imports[0]
    ):
        other_sys_imports[0] += 1
        if other_sys_imports[0] == 1 + len(NESTED) and mode in OTHER_FAILS:
            raise Boom("the other build fails")
    elif name == "sys" and not racer_started.is_set():
        sys_imports += 1
        if sys_imports == position + 1 and mode in OUTER_FAILS + ("racer outlasts",):
            raise Boom("the first build fails")
        if sys_imports == position + 2 and mode == "restore stopped":
            raise KeyboardInterrupt("the restoring is stopped")
        if sys_imports == position and mode.startswith(("reenter", "outer", "restore")):
            other_sys_imports[0] = 1
            other_build(reentered)
        elif sys_imports == position and mode.startswith("racer"):
            other_sys_imports[0] = 1
            thread = threading.Thread(target=racer)
            RACER.append(thread)
            thread.start()
            if mode == "racer loses":
                racer_started.wait()
            elif mode == "racer outlasts":
                racer_paused.wait()
            else:
                thread.join()
    return original_import(name, *args, **kwargs)


RACER = []
builtins.__import__ = hook
try:
    import corvane  # noqa: F401 - the import under test
except (Boom, KeyboardInterrupt) as error:
    first = context_names(error)
else:
    first = None

import_done.set()
for thread in RACER:
    thread.join()
builtins.__import__ = original_import
if first is not None:
    import corvane


def reach(key):
    return functools.reduce(getattr, key.split(".")[1:], corvane)


print(
    json.dumps(
        {
            "registered": {key: sys.modules.get(key) is reach(key) for key in NESTED},
            "other": "same" if other and other[0] is corvane else other[0] if other else None,
            "first": first,
        }
    )
)
