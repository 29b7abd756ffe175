"""The first load of corvane at the C recursion limit (tests/test_hostile.py).

    at_recursion_limit.py load|load-with-hook

Recurses through sorted() (C frames), in a thread, until RecursionError. On the way back up,
at every depth and going a little down again in every combination of a few ways (so that
every bit of headroom left is tried), it tries until one succeeds:
  load            importlib.util.module_from_spec on corvane's spec (as LazyLoader does);
  load-with-hook  the same with a pass-through builtins.__import__ written in Python, so that
                  the build itself meets the limit (corvane imports sys through it).
Prints, as JSON, the kinds of exception the attempts raised and whether the module works after.
"""

import builtins
import importlib.util
import json
import sys
import threading

from doubles import NESTED
from fresh import reach

MODE = sys.argv[1]
SPEC = importlib.util.find_spec("corvane")
raised, done = set(), []


def load():
    done.append(importlib.util.module_from_spec(SPEC))


def attempt():
    try:
        load()
    except BaseException as error:
        # A class the build cannot create is reported as RuntimeError "An error occurred while
        # initializing class ...", caused by what stopped it: count that cause.
        while type(error) is RuntimeError and error.__cause__ is not None:
            error = error.__cause__
        raised.add(type(error).__name__)


class Shown:
    def __init__(self, then):
        self.then = then

    def __str__(self):
        self.then()
        return ""


# Ways down the C stack, each a few C frames deep; combined, they leave every bit of headroom.
WAYS_DOWN = [
    lambda then: sorted([0], key=lambda _: then()),
    lambda then: list(map(lambda _: then(), [0])),
    lambda then: str(Shown(then)),
]


def down(ways):
    if ways:
        WAYS_DOWN[ways[0]](lambda: down(ways[1:]))
    else:
        attempt()


def dive():
    try:
        sorted([0], key=lambda _: dive())
    except RecursionError:
        for depth in range(6, -1, -1):
            for way in range(len(WAYS_DOWN)):
                for last in range(len(WAYS_DOWN)):
                    if not done:
                        try:
                            down([way] * depth + [last])
                        except RecursionError:
                            pass
        raise


if MODE == "load-with-hook":
    real_import = builtins.__import__
    builtins.__import__ = lambda *args, **kwargs: real_import(*args, **kwargs)


def dive_to_the_limit():
    try:
        dive()
    except RecursionError:
        pass


# In a thread with a large stack: 3.13.0 overflows the default one before its C recursion limit.
sys.setrecursionlimit(10**6)
threading.stack_size(256 * 2**20)
diver = threading.Thread(target=dive_to_the_limit)
diver.start()
diver.join()
if not done:
    load()
module = done[0]
print(
    json.dumps(
        {
            "raised": sorted(raised),
            "works": module.get_do_request(3, 0x01020304).hex(),
            "registered": all(sys.modules.get(key) is reach(key, module) for key in NESTED),
        }
    )
)
