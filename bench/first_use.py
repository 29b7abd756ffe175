"""One cold start, for bench.py: run in a fresh interpreter, it imports a module, does one first
job with it and prints how long the two took, in ns, and the name of the result's type.

    python bench/first_use.py DIRECTORY MODULE JOB

DIRECTORY goes first on sys.path and the module is looked up there before the clock starts: the
time is what the module itself costs (loading its shared object, its init function, the first
call), not the search of sys.path, which is the same for any module in the same place.
"""

import importlib.util
import os.path
import sys
import time


def get_do_request(m):
    return m.get_do_request(3, 0x01020304)


def floor(m):
    return m.floor(3, 0x01020304)


def set_douts_request(m):
    return m.do_mod.packets.set_do.SetDoutsRequest(5)


def floor_record(m):
    return m.FloorRecord(5)


def request_set_douts(m):
    packets = m.do_mod.packets
    return packets.Request.SetDouts(packets.set_do.SetDoutsRequest(5))


JOBS = {
    job.__name__: job
    for job in (get_do_request, floor, set_douts_request, floor_record, request_set_douts)
}


def main() -> None:
    directory, name, job_name = sys.argv[1:]
    job = JOBS[job_name]
    sys.path.insert(0, directory)
    spec = importlib.util.find_spec(name)
    origin = os.path.abspath(spec.origin or "") if spec else ""
    if os.path.dirname(origin) != os.path.abspath(directory):
        sys.exit(f"first_use.py: no module {name} in {directory}")
    start = time.perf_counter_ns()
    result = job(__import__(name))
    elapsed = time.perf_counter_ns() - start
    print(elapsed, type(result).__name__)


main()
