"""Module-tree observations that need a fresh interpreter (tests/test_module_tree.py).

    module_tree.py SCENARIO [ARG...]

Each scenario prints, as its last line, a Python literal that the calling test checks.
"""

import sys

from doubles import NESTED
from fresh import (
    corvane_keys,
    failing_sys_import,
    import_in_isolated_subinterpreter,
    import_in_subinterpreter,
    listed,
    reach,
    try_import,
)


def registration_order():
    # Replacing sys.modules by a recording mapping shows every registration as it happens.
    import gc

    log = []

    class Recorder(dict):
        def __setitem__(self, key, value):
            if key.startswith("corvane"):
                attached = any(
                    isinstance(r, dict) and r is not self and r.get(value.__name__) is value
                    for r in gc.get_referrers(value)
                )
                log.append((key, value, list(getattr(value, "__all__", [])), attached))
            super().__setitem__(key, value)

    sys.modules = Recorder(sys.modules)
    import corvane  # noqa: F401

    return [
        (key, value is reach(key), all_ == listed(reach(key)), attached)
        for key, value, all_, attached in log
    ]


# (statement, check): each check is evaluated in the namespace the statement ran in.
IMPORT_FORMS = {
    "import-dotted": (
        "import corvane.do_mod.packets.set_do",
        'corvane.do_mod.packets.set_do is sys.modules["corvane.do_mod.packets.set_do"]',
    ),
    "import-as": (
        "import corvane.do_mod.packets as p",
        'p is sys.modules["corvane.do_mod.packets"] and "corvane" not in dir()',
    ),
    "from-packets": (
        "from corvane.do_mod.packets import get_do, set_do",
        'get_do is sys.modules["corvane.do_mod.packets.get_do"] '
        'and set_do is sys.modules["corvane.do_mod.packets.set_do"]',
    ),
    "star": (
        "before = set(dir()) | {'before'}\nfrom corvane import *",
        'set(dir()) - before == {"do_mod", "get_do_request", "set_do_request"}',
    ),
    "from-get_do": (
        "from corvane.do_mod.packets.get_do import GetDoutsRequest",
        'GetDoutsRequest is sys.modules["corvane.do_mod.packets.get_do"]'
        '.GetDoutsRequest and "corvane" not in dir()',
    ),
    "star-set_do": (
        "before = set(dir()) | {'before'}\nfrom corvane.do_mod.packets.set_do import *",
        'set(dir()) - before == {"SetDoutsRequest", "SetDoutsResponse"}',
    ),
}


def import_form(form):
    statement, check = IMPORT_FORMS[form]
    namespace = {"sys": sys}
    exec(statement, namespace)
    return bool(eval(check, namespace))


def reimport():
    import corvane

    first, do_mod = corvane, corvane.do_mod
    packets = sys.modules["corvane.do_mod.packets"]
    del sys.modules["corvane"], sys.modules["corvane.do_mod"]
    import corvane as again

    return {
        "same": again is first,
        "do_mod back": "corvane.do_mod" in sys.modules,
        "tree kept": again.do_mod is do_mod
        and do_mod.packets is packets
        and sys.modules["corvane.do_mod.packets"] is packets,
        "all": again.__all__,
    }


def failed_import():
    restore = failing_sys_import(3)  # get_do and set_do registered, packets is not
    first = try_import()
    restore()
    left = corvane_keys()
    stale = {k: sys.modules[k] for k in left}
    second = try_import()
    import corvane

    old, new = stale["corvane.do_mod.packets.get_do"], corvane.do_mod.packets.get_do
    return {
        "first": first,
        "left": left,
        "second": second[0],
        "rebuilt": [reach(k) is not stale[k] and sys.modules[k] is reach(k) for k in left],
        "tree": all(sys.modules[k] is reach(k) for k in NESTED),
        "classes reused": [getattr(old, n) is getattr(new, n) for n in listed(old)],
    }


def allocation_failures(path):
    # The init function of the extension at `path` is called directly, failing one allocation
    # at a time until it succeeds.
    import _testcapi
    import ctypes

    init = ctypes.PyDLL(path).PyInit_corvane
    init.restype = ctypes.py_object
    failures, inside_build = 0, 0
    for n in range(1, 200_000):
        _testcapi.set_nomemory(n, n + 1)
        try:
            module = init()
        except BaseException:
            failures += 1
            inside_build += "corvane.do_mod.packets.get_do" in sys.modules
            continue
        finally:
            _testcapi.remove_mem_hooks()
        break
    import corvane

    return {
        "same": corvane is module,
        "inside build": inside_build,
        "tree": all(sys.modules[k] is reach(k) for k in NESTED),
        "all": {k: listed(reach(k)) for k in NESTED + ["corvane"]},
    }


def subinterpreter_after_main(out):
    main = try_import()
    sub = import_in_subinterpreter(out)
    return {"main": main, "sub": sub, "main after": corvane_keys()}


def subinterpreter_first(out):
    sub = import_in_subinterpreter(out)
    between = corvane_keys()
    main = try_import()
    same = None
    if main[0] == "ok":
        import corvane

        same = sys.modules["corvane.do_mod"] is corvane.do_mod
    return {"sub": sub, "between": between, "main": main, "same": same}


def isolated_subinterpreter_first(out):
    sub = import_in_isolated_subinterpreter(out)
    return {"sub": sub, "between": corvane_keys(), "main": try_import()}


def subinterpreter_after_failed_import(out):
    restore = failing_sys_import(1)
    first = try_import()
    restore()
    sub = import_in_subinterpreter(out)
    between = corvane_keys()
    main = try_import()
    return {"first": first, "sub": sub, "between": between, "main": main}


if __name__ == "__main__":
    scenario, *args = sys.argv[1:]
    print(repr(globals()[scenario](*args)))
