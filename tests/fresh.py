"""Helpers for the programs in tests/isolated/, which run in a fresh interpreter.

Importing this module imports nothing of corvane: several programs observe the first import.
"""

import functools
import os
import sys

SUBINTERPRETER_PROGRAM = os.path.join(os.path.dirname(__file__), "isolated", "subinterp_import.py")


def corvane_keys():
    return [k for k in sys.modules if k.startswith("corvane")]


def try_import():
    """("ok", the corvane entries of sys.modules) or (exception type name, message)."""
    try:
        import corvane  # noqa: F401
    except BaseException as e:
        return (type(e).__name__, str(e))
    return ("ok", corvane_keys())


def reach(key, module=None):
    """The module object for a dotted key, reached by attributes from the top module."""
    if module is None:
        import corvane as module
    return functools.reduce(getattr, key.split(".")[1:], module)


def listed(module):
    return vars(module).get("__all__", [])


def mapped_range(path):
    """The lowest and highest address that the shared library at `path` is mapped at."""
    path, spans = os.path.realpath(path), []
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            if fields[-1] == path:
                start, end = fields[0].split("-")
                spans += [int(start, 16), int(end, 16)]
    return min(spans), max(spans)


def type_name(kind):
    """A type's name as an error report shows it (module-qualified unless a builtin)."""
    return (
        kind.__name__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    )


class Boom(Exception):
    pass


def failing_sys_import(nth):
    """Make the nth import of `sys` (one per sys.modules registration) raise Boom; returns a
    function that removes the hook."""
    import builtins
    import importlib.util

    # Let the meta path finders do their own first imports before counting: an editable
    # install's finder imports importlib.machinery (which imports sys) the first time it looks.
    importlib.util.find_spec("corvane")
    real, calls = builtins.__import__, [0]

    def hook(name, *args, **kwargs):
        if name == "sys":
            calls[0] += 1
            if calls[0] == nth:
                raise Boom("no sys for you")
        return real(name, *args, **kwargs)

    builtins.__import__ = hook
    return lambda: setattr(builtins, "__import__", real)


def import_in_subinterpreter(path):
    """Run isolated/subinterp_import.py in a new sub-interpreter; it writes its outcome (as
    try_import's, plus the corvane entries of its sys.modules) to `path`."""
    import _testcapi

    bootstrap = (
        f"import sys\nsys.argv = [{SUBINTERPRETER_PROGRAM!r}, {str(path)!r}]\n"
        f"exec(compile(open(sys.argv[0]).read(), sys.argv[0], 'exec'))\n"
    )
    assert _testcapi.run_in_subinterp(bootstrap) == 0
    with open(path) as f:
        return eval(f.read())


def import_in_isolated_subinterpreter(path):
    """import_in_subinterpreter's run, in an isolated sub-interpreter (the kind that refuses
    single-phase modules) made by the interpreter's own low-level module."""
    try:
        import _xxsubinterpreters as interpreters  # 3.12
    except ImportError:
        import _interpreters as interpreters  # 3.13 and later
    bootstrap = (
        f"import sys\nsys.argv = [{SUBINTERPRETER_PROGRAM!r}, {str(path)!r}]\n"
        f"exec(compile(open(sys.argv[0]).read(), sys.argv[0], 'exec'))\n"
    )
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, bootstrap)
    finally:
        interpreters.destroy(interpreter)
    with open(path) as f:
        return eval(f.read())


def obtain_panic():
    """The PanicException, caught: a script can reach its type only by catching one. Failing
    exactly one interpreter allocation at a time eventually hits the result bytes object,
    which corvane reports as "Python API call failed"."""
    import _testcapi

    import corvane

    for k in range(64):
        _testcapi.set_nomemory(k, k + 1)
        try:
            corvane.get_do_request(3, 0x01020304)
        except BaseException as exc:
            caught = exc
        else:
            caught = None
        finally:
            _testcapi.remove_mem_hooks()
        if type(caught).__name__ == "PanicException":
            return caught
    raise SystemExit("no single allocation failure produced a PanicException")


def mark(text):
    """A marker line on stderr, which the calling test uses to cut the output into sections."""
    sys.stderr.flush()
    print(text, file=sys.stderr, flush=True)


def in_parallel(work, threads, seconds):
    """Run work(me, running) in `threads` threads, released together; running() is true until
    `seconds` have passed from the release. Returns each thread's result, in thread order; an
    exception that escapes work is the result instead."""
    import threading
    import time

    barrier = threading.Barrier(threads + 1)
    deadline = [float("inf")]
    results = [None] * threads

    def run(me):
        barrier.wait()
        try:
            results[me] = work(me, lambda: time.monotonic() < deadline[0])
        except BaseException as error:  # noqa: BLE001 - reported to the calling test
            results[me] = f"{type(error).__name__}: {error}"

    started = [threading.Thread(target=run, args=(me,)) for me in range(threads)]
    for thread in started:
        thread.start()
    deadline[0] = time.monotonic() + seconds
    barrier.wait()
    for thread in started:
        thread.join()
    return results


def gil_enabled():
    """Whether the interpreter's global lock is on (always, before free-threaded builds)."""
    return getattr(sys, "_is_gil_enabled", lambda: True)()
