"""PanicException in a fresh interpreter (tests/test_binding.py).

    panic.py SCENARIO [ARG...]

Memory-failure injection and the reports on stderr need a process of their own. Each scenario
prints one JSON line of facts; "@@begin" and "@@end" on stderr frame the section it checks.
"""

import _testcapi
import json
import sys

import corvane
from doubles import NoStr, Raiser
from fresh import mark, obtain_panic


def from_allocation():
    mark("@@begin")
    first = obtain_panic()
    mark("@@end")
    second = obtain_panic()
    kind = type(first)
    modules = [m for name, m in list(sys.modules.items()) if name.split(".")[0] == "corvane"]
    return {
        "module": kind.__module__,
        "name": kind.__name__,
        "bases": [b.__name__ for b in kind.__bases__],
        "base_exception": isinstance(first, BaseException),
        "exception": isinstance(first, Exception),
        "args": list(first.args),
        "args_tuple": type(first.args) is tuple,
        "str": str(first),
        "same_type": type(second) is kind,
        "exposed": [m.__name__ for m in modules if hasattr(m, "PanicException")],
        "runtime_module": "corvane_runtime" in sys.modules,
        "works_after": corvane.get_do_request(3, 0x01020304).hex(),
    }


# The PanicExceptions that __index__ raises, by name.
PANICS = {
    "text": lambda panic: panic("boom"),
    "two-args": lambda panic: panic("a", 2),
    "lone-surrogate": lambda panic: panic("x\ud800"),
    "unprintable": lambda panic: panic(NoStr()),
}


def resumed(fn, position, construct):
    panic_type = type(obtain_panic())
    bad = Raiser(PANICS[construct](panic_type))
    args = [1, 1]
    args[int(position)] = bad
    mark("@@begin")
    try:
        getattr(corvane, fn)(*args)
    except BaseException as exc:
        caught = exc
    mark("@@end")
    return {
        "type": type(caught) is panic_type,
        "new": caught is not bad.exc,
        "str": str(caught),
        "args": list(caught.args),
        "args_tuple": type(caught.args) is tuple,
    }


def subclass_passes():
    class SubPanic(type(obtain_panic())):
        pass

    raised = SubPanic("sub")
    mark("@@begin")
    try:
        corvane.set_do_request(Raiser(raised), 1)
    except BaseException as exc:
        caught = exc
    mark("@@end")
    return {"same": caught is raised}


def abort():
    # Every allocation fails before the PanicException type exists: the process must abort.
    _testcapi.set_nomemory(0)
    corvane.get_do_request(0, 0)


if __name__ == "__main__":
    scenario, *args = sys.argv[1:]
    print(json.dumps(globals()[scenario](*args)))
