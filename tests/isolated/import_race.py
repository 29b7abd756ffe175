"""Threads racing the first import of corvane (tests/test_concurrency.py).

    import_race.py KIND KIND...

KIND says how a thread gets the module: "import", "from", "submodule" (import statements) or
"init" (the init function called directly). Prints, as JSON, the errors, whether every thread
got the same module, and the tree it built.
"""

import ctypes
import json
import sys
import threading

from doubles import NESTED
from fresh import reach

KINDS = sys.argv[1:]


def by_import(statement):
    def load():
        namespace = {}
        exec(statement, namespace)
        return sys.modules["corvane"]

    return load


def by_init():
    import importlib.util

    spec = importlib.util.find_spec("corvane")
    init = ctypes.PyDLL(spec.origin).PyInit_corvane
    init.restype = ctypes.py_object
    return init


LOADERS = {
    "import": by_import("import corvane"),
    "from": by_import("from corvane.do_mod.packets.get_do import GetDoutsRequest"),
    "submodule": by_import("import corvane.do_mod.packets.set_do"),
}


def race(kinds):
    loaders = [LOADERS[kind] if kind in LOADERS else by_init() for kind in kinds]
    barrier = threading.Barrier(len(loaders))
    got = [None] * len(loaders)

    def run(i):
        barrier.wait()
        try:
            got[i] = loaders[i]()
        except BaseException as error:
            got[i] = error

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(loaders))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return got


def tree(module):
    packets = module.do_mod.packets
    return {
        "all": {key: list(reach(key, module).__all__) for key in NESTED + ["corvane"]},
        "registered": [sys.modules.get(key) is reach(key, module) for key in NESTED],
        "variants": [
            getattr(getattr(packets, union), variant).__name__
            for union in ("Request", "Response")
            for variant in ("GetDouts", "SetDouts")
        ],
        "frame": module.get_do_request(3, 0x01020304).hex(),
        "works": packets.Request.SetDouts(packets.set_do.SetDoutsRequest(5))._0.bin_layout,
    }


sys.setswitchinterval(1e-6)
got = race(KINDS)
errors = [repr(g) for g in got if isinstance(g, BaseException)]
print(
    json.dumps(
        {
            "errors": errors,
            "same": not errors
            and all(g is got[0] for g in got)
            and sys.modules.get("corvane", got[0]) is got[0],
            "tree": None if errors else tree(got[0]),
        }
    )
)
