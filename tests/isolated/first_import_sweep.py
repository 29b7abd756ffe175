"""The first import under every single allocation failure (tests/test_alloc_failure.py).

    first_import_sweep.py EXTENSION-PATH MAX_K [own-once | own-from]

For k = 0, 1, ..., a child forked from this interpreter (which has loaded the extension but never
initialised it) fails the k-th allocation of the init function, then imports again. Prints, as
JSON, [k, untouched, outcome, outcome of the next import] per k; "@@ 0 <k>" lines on stderr mark
what each attempt printed. With "own-once" or "own-from", the process runs with the LD_PRELOAD
library built from failing_malloc.c, and corvane's own allocations are refused instead: the k-th
alone, or every one from the k-th on.
"""

import _testcapi
import ctypes
import json
import os
import sys

from doubles import NESTED
from fresh import mapped_range, reach, type_name

PATH, MAX_K = sys.argv[1], int(sys.argv[2])
OWN = sys.argv[3] if len(sys.argv) > 3 else None
init = ctypes.PyDLL(PATH).PyInit_corvane
init.restype = ctypes.py_object
if OWN:
    injector = ctypes.CDLL(None)
    arm = injector.failing_malloc_arm_once if OWN == "own-once" else injector.failing_malloc_arm
    arm.argtypes = [ctypes.c_size_t, ctypes.c_size_t, ctypes.c_long]
    injector.failing_malloc_disarm.restype = ctypes.c_long


def chain(error):
    links = []
    while error is not None:
        links.append([type_name(type(error)), str(error)])
        error = error.__cause__
    return links


def tree(module):
    return {
        "all": {key: list(vars(reach(key, module)).get("__all__", ())) for key in NESTED},
        "top all": module.__all__,
        "registered": all(sys.modules.get(key) is reach(key, module) for key in NESTED),
    }


def own_allocations_refused(k):
    """The init function's outcome when corvane is granted k allocations and refused the next
    (own-once) or every later one (own-from), and whether it asked for no more than k."""
    start, end = mapped_range(PATH)
    arm(start, end, k)
    try:
        value = init()
    except BaseException as error:
        value = error
    return value, injector.failing_malloc_disarm() <= k


def kth_allocation_failed(k):
    """The init function's outcome when the interpreter fails its k-th allocation, and whether
    the call ended before reaching it."""
    _testcapi.set_nomemory(k, k + 1)
    try:
        value = init()
    except BaseException as error:
        value = error
    try:
        for _ in range(64):
            bytearray(8)
    except MemoryError:
        untouched = True
    else:
        untouched = False
    _testcapi.remove_mem_hooks()
    return value, untouched


def first_import(k):
    value, untouched = own_allocations_refused(k) if OWN else kth_allocation_failed(k)
    outcome = chain(value) if isinstance(value, BaseException) else tree(value)
    try:
        again = tree(init())
    except BaseException as error:
        again = chain(error)
    return [untouched, outcome, again]


results = []
for k in range(MAX_K):
    print(f"@@ 0 {k}", file=sys.stderr, flush=True)
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.write(write, json.dumps(first_import(k)).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        results.append([k, False, ["signal", os.WTERMSIG(status)], None])
        continue
    results.append([k, *json.loads(data)])
    if results[-1][1]:
        break
print(json.dumps(results))
