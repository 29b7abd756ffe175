"""corvane's own allocations failed from the n-th on (tests/test_alloc_failure.py), through the
LD_PRELOAD library built from failing_malloc.c, which this process runs with.

    own_alloc_sweep.py ENTRIES-JSON MAX_N

ENTRIES: [name, call] per entry, the call a Python expression. For each entry, prints as JSON
its outcome with no allocation failed, and for n = 0, 1, ... its outcome when corvane is
granted n allocations and refused every later one, until the call no longer asks for more.
"""

import ctypes
import json
import signal
import sys

import corvane
from corvane import get_do_request, set_do_request  # noqa: F401
from corvane.do_mod.packets import Request  # noqa: F401
from corvane.do_mod.packets.set_do import SetDoutsRequest  # noqa: F401
from doubles import NoStr, Raiser, ShownKey, Unprintable  # noqa: F401
from fresh import mapped_range, obtain_panic, type_name

ENTRIES, MAX_N = json.loads(sys.argv[1]), int(sys.argv[2])

injector = ctypes.CDLL(None)
injector.failing_malloc_arm.argtypes = [ctypes.c_size_t, ctypes.c_size_t, ctypes.c_long]
injector.failing_malloc_disarm.restype = ctypes.c_long


PanicType = type(obtain_panic())
RAISES_PANIC = Raiser(PanicType("a panic text longer than a short string holds"))
RAISES_TYPE_ERROR = Raiser(TypeError("a TypeError text longer than a short string holds"))
UNPRINTABLE_KW = {Unprintable("zz"): 2}
STOP_IN_PANIC_STR = Raiser(PanicType(NoStr(KeyboardInterrupt("stop"))))
sys.unraisablehook = lambda unraisable: None  # the unprintable keyword's report
signal.signal(signal.SIGINT, signal.default_int_handler)


def attempt(call, granted):
    """The call's outcome as [type, text], with `granted` allocations (None: no failure), and
    how many corvane asked for."""
    start, end = mapped_range(corvane.__file__)
    if granted is not None:
        injector.failing_malloc_arm(start, end, granted)
    try:
        value = call()
    except BaseException as error:  # noqa: BLE001 - the outcome is what is printed
        value = error
    asked = injector.failing_malloc_disarm()
    if isinstance(value, BaseException):
        return [type_name(type(value)), str(value)], asked
    return [type(value).__name__, value.hex() if isinstance(value, bytes) else ""], asked


results = []
for name, expression in ENTRIES:
    # Called as a function: a KeyboardInterrupt raised straight out of eval() would make the
    # interpreter end by SIGINT at exit, as if it had not been caught.
    call = eval(f"lambda: {expression}")
    base, _ = attempt(call, None)
    attempts = []
    for granted in range(MAX_N):
        outcome, asked = attempt(call, granted)
        attempts.append([granted, outcome])
        if asked <= granted:  # the call made no allocation that was refused
            break
    results.append({"name": name, "base": base, "attempts": attempts})
print(json.dumps(results))
