"""The first import under every single allocation failure (tests/test_alloc_failure.py).

    first_import_sweep.py EXTENSION-PATH MAX_K

For k = 0, 1, ..., a child forked from this interpreter (which has loaded the extension but never
initialised it) fails the k-th allocation of the init function, then imports again. Prints, as
JSON, [k, untouched, outcome, outcome of the next import] per k; "@@ 0 <k>" lines on stderr mark
what each attempt printed.
"""

import _testcapi
import ctypes
import json
import os
import sys

from doubles import NESTED
from fresh import reach, type_name

PATH, MAX_K = sys.argv[1], int(sys.argv[2])
init = ctypes.PyDLL(PATH).PyInit_corvane
init.restype = ctypes.py_object


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


def first_import(k):
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
