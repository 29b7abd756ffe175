"""One cold start, for bench.py: `python bench/first_use.py DIRECTORY MODULE JOB` imports MODULE
from DIRECTORY in a fresh interpreter, does one first job with it and prints how long the two
took, in ns. The module is found before the clock starts: the time is what the module costs, not
the search of sys.path. corvane and the floor module have the same tree; the bare module has no
tree and no unions, and its first record stands for both of theirs. `nothing` imports nothing.
"""

import importlib.util
import os.path
import sys
import time

JOBS = {
    "frame": lambda m: m.get_do_request(3, 0x01020304),
    "record": lambda m: m.do_mod.packets.set_do.SetDoutsRequest(5),
    "variant": lambda m: m.do_mod.packets.Request.SetDouts(JOBS["record"](m)),
}
BARE_JOBS = dict.fromkeys(JOBS, lambda m: m.SetDoutsRequest(5)) | {"frame": JOBS["frame"]}


def main() -> None:
    directory, name, job_name = sys.argv[1:]
    sys.path.insert(0, directory)
    spec = importlib.util.find_spec(name)
    origin = os.path.abspath(spec.origin or "") if spec else ""
    if os.path.dirname(origin) != os.path.abspath(directory):
        sys.exit(f"first_use.py: no module {name} in {directory}")
    start = time.perf_counter_ns()
    if job_name != "nothing":
        (BARE_JOBS if name == "corvane_bench_bare" else JOBS)[job_name](__import__(name))
    print(time.perf_counter_ns() - start)


main()
