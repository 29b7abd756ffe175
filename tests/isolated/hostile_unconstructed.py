"""Union objects that no constructor made: once `__new__` of a union class and of a class
derived from it is replaced by a Python function, object.__new__ makes a zero-filled object
of that class. Every read of it must be a plain error, never a failure of corvane's own.

Prints, as JSON, {class name: {read: [outcome type, text]}}.
"""

import json

from class_doubles import SubRequest
from corvane.do_mod.packets import Request, Response


def make(cls, *args):
    return object.__new__(cls)


def read_all(obj):
    def subscribe():
        match obj:
            case (
                Request.SetDouts(r)
                | Request.GetDouts(r)
                | Response.SetDouts(r)
                | Response.GetDouts(r)
            ):
                return r
        return "no match"

    reads = {
        "_0": lambda: obj._0,
        "[0]": lambda: obj[0],
        "[1]": lambda: obj[1],
        "iter": lambda: list(obj),
        "len": lambda: len(obj),
        "match": subscribe,
        "cmd": obj.cmd,
    }
    outcomes = {}
    for name, read in reads.items():
        try:
            value = read()
        except AttributeError:
            continue  # not a variant: it has no such read
        except BaseException as error:  # noqa: BLE001 - a PanicException is the fault sought
            value = error
        outcomes[name] = [type(value).__name__, str(value)]
    return outcomes


for union in (Request, Response):
    union.__new__ = make
results = {}
for cls in (Request.GetDouts, Request.SetDouts, Response.GetDouts, Response.SetDouts, SubRequest):
    cls.__new__ = make
    results[cls.__name__] = read_all(object.__new__(cls))
print(json.dumps(results))
