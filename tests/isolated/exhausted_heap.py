"""A call into corvane made when the C heap has run out, as Python code alone can bring about:
the address space is limited to a little more than the process uses, then malloc is called
until it fails (test_hostile.py).

    exhausted_heap.py SCENARIO

Prints, as JSON, what the call raised once the memory taken has been given back: its type and
text ("not exhausted" where the limit does not hold). A process that ends instead (an abort,
glibc's "cannot allocate memory for thread-local data") fails the calling test by its exit
status.
"""

import ctypes
import json
import resource
import sys
import threading

import corvane
from doubles import Raiser
from fresh import obtain_panic

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]

# Every block taken, so that it can be given back before the outcome is printed: set aside
# beforehand, since nothing can be allocated to hold them once the heap is exhausted. A few
# hundred blocks exhaust it natively.
TAKEN = (ctypes.c_void_p * (1 << 16))()
count, exhausted = [0], [True]
HEADROOM = 32 << 20  # address space beyond what the process uses when the limit is set


def exhaust():
    """Takes blocks, from large to one byte, until malloc fails for each size. Where the limit
    is not enforced (qemu-user keeps the address-space limit from the emulated process), the
    blocks run out first, and the run is reported as not exhausted."""
    for size in (1 << 20, 1 << 16, 1 << 12, 512, 64, 16, 1):
        while True:
            if count[0] == len(TAKEN):
                exhausted[0] = False
                return
            block = libc.malloc(size)
            if not block:
                break
            TAKEN[count[0]] = block
            count[0] += 1


def give_back():
    for i in range(count[0]):
        libc.free(TAKEN[i])
    count[0] = 0


def limit_address_space():
    pages = int(open("/proc/self/statm").read().split()[0])
    before = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (pages * 4096 + HEADROOM, before[1]))
    return before


class ExhaustAgain:
    def __del__(self):
        exhaust()


def exhausting_excepthook(*exc_info):
    """The hook through which corvane prints a resumed panic's traceback: it exhausts the heap,
    and again when its result is dropped."""
    exhaust()
    return ExhaustAgain()


PANIC_TEXT = "a panic message longer than the 22 bytes of a short string"


def resumed_panic():
    raises = Raiser(type(obtain_panic())(PANIC_TEXT))
    sys.excepthook = exhausting_excepthook
    corvane.set_do_request(raises, 1)


CALLS = {
    "overflow": lambda: corvane.set_do_request(65536, 1),
    "wrapped TypeError": lambda: corvane.set_do_request(1.5, 1),
    "type mismatch": lambda: corvane.do_mod.packets.Request.GetDouts(5),
}


def outcome(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - the outcome is what is printed
        return error
    return None


def in_this_thread(name):
    """The call made by the thread that exhausted the heap."""
    before = limit_address_space()
    if name == "resumed panic":
        caught = outcome(resumed_panic)  # the excepthook exhausts the heap
    else:
        exhaust()
        caught = outcome(CALLS[name])
    give_back()
    resource.setrlimit(resource.RLIMIT_AS, before)
    return caught


def in_a_new_thread(name):
    """A thread's first C++ exception needs the runtime's per-thread state: here a new thread
    makes its first call into corvane once the heap is exhausted."""
    caught = []
    thread = threading.Thread(target=lambda: caught.append(in_this_thread(name)))
    thread.start()
    thread.join()
    return caught[0]


scenario = sys.argv[1]
corvane.get_do_request(1, 2)  # loaded and used before the heap runs out
if scenario.startswith("thread: "):
    error = in_a_new_thread(scenario.removeprefix("thread: "))
else:
    error = in_this_thread(scenario)
if not exhausted[0]:
    print(json.dumps("not exhausted"))
else:
    print(json.dumps(None if error is None else [type(error).__name__, str(error)]))
