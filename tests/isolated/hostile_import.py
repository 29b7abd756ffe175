"""First imports that meet another build of the module tree half-way.

Usage: hostile_import.py MODE N. While the first `import corvane` imports sys for the N-th
time (the build does so once per nested module it enters in sys.modules):
  reenter      an __import__ hook imports corvane again, re-entering the initialisation;
  racer wins   another thread calls PyInit_corvane and finishes first;
  racer loses  another thread calls PyInit_corvane, whose build goes on (from its first import
               of sys) only once the import is done.
Prints, as JSON, whether each nested module's sys.modules entry is the module reached through
corvane, and whether the other build got that same corvane.
"""

import builtins
import ctypes
import functools
import importlib.util
import json
import sys
import threading

# Not taken from doubles, which imports corvane: the import here must be the first.
NESTED = [
    "corvane.do_mod.packets.get_do",
    "corvane.do_mod.packets.set_do",
    "corvane.do_mod.packets",
    "corvane.do_mod",
]

mode, position = sys.argv[1], int(sys.argv[2])
init = ctypes.PyDLL(importlib.util.find_spec("corvane").origin).PyInit_corvane
init.restype = ctypes.py_object

original_import = builtins.__import__
main = threading.get_ident()
sys_imports = 0
other = []  # what the other build returned
racer_started = threading.Event()  # the racer's build is under way
import_done = threading.Event()


def racer():
    other.append(init())


def hook(name, *args, **kwargs):
    global sys_imports
    if name == "sys" and threading.get_ident() != main and mode == "racer loses":
        racer_started.set()
        import_done.wait()  # the racer's build goes on only once the import is done
    elif name == "sys" and not other and not racer_started.is_set():
        sys_imports += 1
        if sys_imports == position and mode == "reenter":
            import corvane as inner

            other.append(inner)
        elif sys_imports == position:
            thread = threading.Thread(target=racer)
            RACER.append(thread)
            thread.start()
            if mode == "racer wins":
                thread.join()
            else:
                racer_started.wait()
    return original_import(name, *args, **kwargs)


RACER = []
builtins.__import__ = hook
import corvane  # noqa: E402 - the import under test

import_done.set()
for thread in RACER:
    thread.join()
builtins.__import__ = original_import


def reach(key):
    return functools.reduce(getattr, key.split(".")[1:], corvane)


print(
    json.dumps(
        {
            "registered": {key: sys.modules.get(key) is reach(key) for key in NESTED},
            "same module": bool(other) and other[0] is corvane,
        }
    )
)
