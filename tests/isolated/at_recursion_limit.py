"""The first load of corvane at the C recursion limit (tests/test_hostile.py).

    at_recursion_limit.py load|load-with-hook

Recurses through sorted() (C frames) until RecursionError, then on the way back up tries, at
every depth and with every bit of headroom left, until it succeeds:
  load            importlib.util.module_from_spec on corvane's spec (as LazyLoader does);
  load-with-hook  the same with a pass-through builtins.__import__ written in Python, so that
                  the build itself meets the limit (corvane imports sys through it).
Prints, as JSON, the kinds of exception the attempts raised and whether the module works after.
"""

import builtins
import importlib.util
import json
import sys

from fresh import reach
from doubles import NESTED

MODE = sys.argv[1]
SPEC = importlib.util.find_spec("corvane")
raised, done = set(), []


def load():
    done.append(importlib.util.module_from_spec(SPEC))


class Deeper:
    """repr() of it runs the attempt a little further down the C stack."""

    def __init__(self, headroom):
        self.headroom = headroom

    def __repr__(self):
        attempt_with_headroom(self.headroom - 1)
        return ""


def attempt_with_headroom(headroom):
    """The attempt, `headroom` C frames further down."""
    if headroom:
        repr(Deeper(headroom))
    else:
        try:
            load()
        except BaseException as error:
            raised.add(type(error).__name__)


def dive():
    try:
        sorted([0], key=lambda _: dive())
    except RecursionError:
        for headroom in range(8, -1, -1):
            if not done:
                try:
                    attempt_with_headroom(headroom)
                except RecursionError:
                    pass
        raise


if MODE == "load-with-hook":
    real_import = builtins.__import__
    builtins.__import__ = lambda *args, **kwargs: real_import(*args, **kwargs)
sys.setrecursionlimit(10**6)
try:
    dive()
except RecursionError:
    pass
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
