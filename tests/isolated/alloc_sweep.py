"""Allocation-failure sweeps over corvane's entry points (tests/test_alloc_failure.py).

    alloc_sweep.py ENTRIES-JSON MAX_K ROUNDS

ENTRIES: [name, setup, call, post(, forked)] per entry point. Prints, as JSON, each entry's
outcome without injection and with the k-th allocation failed for each k, and its leak growth;
"@@ <entry> <k>" lines on stderr mark what each attempt printed.
"""

import _testcapi  # noqa: F401 - the attempt functions (ATTEMPT) use it
import gc
import json
import os
import sys
import tempfile
import traceback

# The calls, setups and states in ENTRIES are Python expressions evaluated in this module's
# namespace: they name these classes, functions and doubles.
from class_doubles import SubRequest  # noqa: F401
from corvane import get_do_request, set_do_request  # noqa: F401
from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse
from doubles import CausedTypeError, Index, Unprintable
from fresh import obtain_panic, type_name

ENTRIES, MAX_K, ROUNDS = json.loads(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])


# Plain __index__ doubles (doubles.Idx would count its calls: an allocation of its own).
class RaisesValueError:
    def __index__(self):
        raise ValueError("v")


class RaisesPanic:
    def __index__(self):
        raise PanicType("boom")


PanicType = type(obtain_panic())
IDX0, IDX3, IDX7 = Index(0), Index(3), Index(7)
CAUSED, RAISES_VALUE, RAISES_PANIC = CausedTypeError(), RaisesValueError(), RaisesPanic()
UNPRINTABLE_KW = {Unprintable("zz"): 2}
GREQ, SREQ = GetDoutsRequest(), SetDoutsRequest(0xA5C3)
GRESP, SRESP = GetDoutsResponse(0x1234), SetDoutsResponse(200)
RG, RS = Request.GetDouts(GREQ), Request.SetDouts(SREQ)
QG, QS = Response.GetDouts(GRESP), Response.SetDouts(SRESP)


def describe(value):
    """A JSON-able picture of a result or an exception, compared with the uninjected one."""
    if isinstance(value, BaseException):
        kind = type(value)
        name = type_name(kind)
        if kind is PanicType:
            assert type(value.args) is tuple and len(value.args) == 1, value.args
            assert not isinstance(value, Exception)
        return [name, str(value)]
    if isinstance(value, (list, tuple)):
        return [describe(item) for item in value]
    if isinstance(value, bytes):
        return "bytes " + value.hex()
    if isinstance(value, (Request, Response)):
        return [type(value).__name__, value.cmd(), describe(value._0)]
    if type(value) in (GetDoutsRequest, SetDoutsRequest, GetDoutsResponse, SetDoutsResponse):
        fields = [getattr(value, f) for f in ("bin_layout", "success") if hasattr(value, f)]
        assert all(type(f) is int for f in fields)
        return [type(value).__name__, *fields]
    return [type(value).__name__, repr(value)]


# Each call is compiled into its own attempt function with the call written inline: a helper
# frame between the attempt and corvane would let the interpreter's own frame bookkeeping lose
# the exception under memory pressure (3.12 and 3.13 clear it when a frame object cannot be made
# while a frame is popped).
ATTEMPT = """
def attempt(k):
    _testcapi.set_nomemory(k, k + 1)
    try:
        value = {call}
    except BaseException as error:
        value = error
    # The call did not reach the failing allocation if one of these does.
    try:
        for _ in range(64):
            bytearray(8)
    except MemoryError:
        untouched = True
    else:
        untouched = False
    _testcapi.remove_mem_hooks()
    drop_tracebacks(value)
    return untouched, value
"""


def drop_tracebacks(value, seen=None):
    """Breaks the cycle exception -> traceback -> attempt frame -> exception. Left to the
    cyclic collector, MemoryErrors pile up until the interpreter runs out of spare ones and
    hands out its single last-resort instance, whose traceback then grows with every raise."""
    seen = set() if seen is None else seen
    if isinstance(value, BaseException) and id(value) not in seen:
        seen.add(id(value))
        value.__traceback__ = None
        drop_tracebacks(value.__cause__, seen)
        drop_tracebacks(value.__context__, seen)


def compile_entry(setup, call, post):
    """run(k): one attempt failing the k-th allocation (k None: no failure), with the state
    named by `post` before and after it."""
    scope = dict(globals())
    exec(ATTEMPT.format(call=call), scope)

    def run(k):
        exec(setup, scope)
        pre = eval(post, scope)
        if k is None:
            try:
                value = eval(call, scope)
            except BaseException as error:
                value = error
            untouched = True
        else:
            untouched, value = scope["attempt"](k)
        return [untouched, describe(value), pre, eval(post, scope)]

    return run


def growth(run, ks, log=os.devnull):
    """Least block growth over ROUNDS more runs of every attempt in `ks`, measured up to six
    times until it is below ROUNDS: caches and free lists that fill up a little each round
    stop growing, a leak does not. Printing is silenced: the interpreter's error display is
    replaced by a hook that shows nothing (3.13 displays with Python code, whose caches would
    drown a leak), and corvane's own reports go to `log`."""
    saved = os.dup(2)
    hooks = sys.excepthook, sys.unraisablehook
    sys.excepthook = sys.unraisablehook = lambda *shown: None
    with open(log, "w") as silenced:
        os.dup2(silenced.fileno(), 2)
    try:
        for k in ks:  # warms the interpreter's caches and free lists
            run(k)
        grown = []
        for _ in range(6):
            if grown and min(grown) < ROUNDS:
                break
            forget_printed_error()
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(ROUNDS):
                for k in ks:
                    run(k)
            forget_printed_error()
            gc.collect()
            grown.append(sys.getallocatedblocks() - before)
        return min(grown)
    finally:
        sys.excepthook, sys.unraisablehook = hooks
        os.dup2(saved, 2)
        os.close(saved)


def forget_printed_error():
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        sys.__dict__.pop(name, None)


def in_child(run, k):
    """One attempt, then its leak check, in a forked child: for calls that may end the process
    by design. Returns the attempt (its outcome ["signal", number] if the child was killed
    during it), the growth, and how the child died during the leak check (its signal and the
    end of what it wrote), if it did."""
    read, write = os.pipe()
    log = tempfile.NamedTemporaryFile("w+")
    pid = os.fork()
    if pid == 0:
        os.close(read)
        # Resuming a panic prints the fetched exception while the k-th allocation is still to
        # come. 3.13 displays with Python code first (traceback._print_exception_bltin), and a
        # failed allocation in there corrupts 3.13.0 (PyFunction_NewWithQualName releases the
        # code object once too often on its error path; the process crashes later), as
        # sys.__excepthook__ does under the same injection without corvane. Without that
        # function the interpreter falls back to its C display of the same traceback.
        vars(traceback).pop("_print_exception_bltin", None)
        os.write(write, (json.dumps(run(k)) + "\n").encode())
        os.write(write, json.dumps(growth(run, [k], log.name)).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "r") as pipe, log:
        lines = pipe.read().splitlines()
        _, status = os.waitpid(pid, 0)
        if not os.WIFSIGNALED(status):
            return json.loads(lines[0]), json.loads(lines[1]), None
        if not lines:
            return [False, ["signal", os.WTERMSIG(status)], None, None], 0, None
        return json.loads(lines[0]), 0, [os.WTERMSIG(status), log.read()[-3000:]]


def lost_by_interpreter(result):
    """The interpreter itself lost the exception that Python code raised (it could not make a
    frame object while popping the frame, and reports a SystemError instead). corvane only
    passes that SystemError on; what the interpreter leaks on that path of its own (3.13.0,
    now and then) is not measured as corvane's."""
    outcome = result[1]
    return (
        isinstance(outcome, list)
        and outcome[:1] == ["SystemError"]
        and "returned NULL without setting an exception" in outcome[1]
    )


def sweep(index, name, setup, call, post, forked=False):
    run = compile_entry(setup, call, post)
    _, base, _, post_base = run(None)
    attempts, leaked = [], 0
    for k in range(MAX_K):
        print(f"@@ {index} {k}", file=sys.stderr, flush=True)
        if forked:
            result, child_growth, death = in_child(run, k)
            # On 3.13 the child displays errors with the interpreter's C fallback (see
            # in_child), which itself leaks now and then when an allocation fails inside it
            # (a probe without that fallback leaks nothing at any k). These paths' leaks are
            # checked without injection in test_leaks.py.
            if sys.version_info < (3, 13) and not lost_by_interpreter(result):
                leaked = max(leaked, child_growth)
        else:
            result, death = run(k), None
        attempts.append([k, *result, death])
        if result[0]:
            break
    print("@@ end", file=sys.stderr, flush=True)
    if not forked:
        leaked = growth(run, [k for k, *result, _ in attempts if not lost_by_interpreter(result)])
    return {"name": name, "base": base, "post": post_base, "attempts": attempts, "growth": leaked}


print(json.dumps([sweep(index, *entry) for index, entry in enumerate(ENTRIES)]))
