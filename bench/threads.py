"""Builder calls per second on a free-threaded interpreter (bench.py runs it there): with one
thread, and with as many threads as the machine has cores, each thread calling with arguments of
its own. The point of running without the GIL is calls in parallel, so the figure is the ratio of
the two rates; the C floor's builders are measured the same way beside corvane's, as the share of
that ratio that is the interpreter's (the calls of every thread go through the one function
object). It is a figure, never judged: it depends on how idle the cores are, and the machine's
load is printed with it.
"""

from __future__ import annotations

import os
import sys
import sysconfig
import threading
import time

BATCH = 1000  # calls between two looks at the clock


def free_threaded() -> bool:
    """Whether this interpreter is a free-threaded build with its lock off."""
    lock_on = getattr(sys, "_is_gil_enabled", lambda: True)()
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and not lock_on


def calls_per_second(function, arguments: list[tuple[int, ...]], seconds: float):
    """`function`'s calls per second in len(arguments) threads, each thread calling it with its
    own arguments, made in that thread, for `seconds`: all threads' calls per second of the
    clock, and per second of the threads' own processor time (which a busy machine does not
    lower: it falls only as the calls themselves get dearer, as when threads contend)."""
    threads = len(arguments)
    counts = [0] * threads
    cpu = [0.0] * threads
    barrier = threading.Barrier(threads + 1)
    running = [True]

    def work(me: int) -> None:
        call = function
        own = tuple(int(str(value)) for value in arguments[me])  # objects of this thread's own
        calls = 0
        barrier.wait()
        start = time.thread_time()
        while running[0]:
            for _ in range(BATCH):
                call(*own)
            calls += BATCH
        cpu[me] = time.thread_time() - start
        counts[me] = calls

    workers = [threading.Thread(target=work, args=(me,)) for me in range(threads)]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    time.sleep(seconds)
    running[0] = False
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - start), sum(counts) / sum(cpu)


def arguments_of(name: str, threads: int) -> list[tuple[int, ...]]:
    """Each thread's arguments for a builder: an address or bit pattern and an id of its own."""
    first = 3 if name == "get_do_request" else 0xA5C3
    return [(first + me, 0x01020304 + me) for me in range(threads)]


def scaling(functions: dict[str, object], rounds: int, seconds: float) -> list[tuple[str, ...]]:
    """A table row per function: its best rates with one thread and with one per core over
    `rounds` alternating rounds (other processes only ever lower a rate), and their ratios."""
    cores = os.cpu_count() or 1
    rows = []
    for label, function in functions.items():
        name = label.rsplit(" ", 1)[-1]
        single = many = (0.0, 0.0)
        for _ in range(rounds):
            one = calls_per_second(function, arguments_of(name, 1), seconds)
            all_cores = calls_per_second(function, arguments_of(name, cores), seconds)
            single = tuple(map(max, single, one))
            many = tuple(map(max, many, all_cores))
        rows.append(
            (
                label,
                f"{single[0] / 1e6:.2f}",
                f"{many[0] / 1e6:.2f}",
                f"{many[0] / single[0]:.2f}",
                f"{single[1] / 1e6:.2f}",
                f"{many[1] / 1e6:.2f}",
                f"{many[1] / single[1]:.2f}",
            )
        )
    return rows


def report(corvane_names: dict, floor_names: dict, quick: bool, print_table, note) -> None:
    """Measures and prints the table (bench.py's print_table and note)."""
    cores = os.cpu_count() or 1
    before = os.getloadavg()
    functions = {
        f"{who} {name}": names[name]
        for name in ("get_do_request", "set_do_request")
        for who, names in (("corvane", corvane_names), ("floor", floor_names))
    }
    rows = scaling(functions, rounds=2 if quick else 5, seconds=0.3 if quick else 1.0)
    after = os.getloadavg()
    note(
        f"Threads, figures (free-threaded interpreter, GIL off): millions of builder calls per"
        f" second with 1 thread and with {cores} (one per core), each thread on arguments of its"
        f" own, the best of alternating rounds; the ratio aims at 1.8 or more on two idle cores."
        f" Per second of the clock, and per second of the threads' own processor time, whose"
        f" ratio only falls when calls get dearer with more threads. Load average (1, 5, 15 min)"
        f" before: {', '.join(f'{v:.2f}' for v in before)}; after:"
        f" {', '.join(f'{v:.2f}' for v in after)}."
    )
    header = ("builder", "1 thread", f"{cores} threads", "ratio")
    print_table([header + tuple(f"{h} (cpu)" for h in header[1:]), *rows])
