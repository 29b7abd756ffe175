"""Whether the interpreter's global lock is on after corvane is first imported
(tests/test_concurrency.py).

    gil_after_import.py STATEMENT

Runs the import statement, then prints, as JSON, whether the lock is on. A free-threaded
interpreter turns the lock on, with a RuntimeWarning, when it imports an extension that does not
declare that it can run without it; run with warnings as errors, that import fails.
"""

import json
import sys

from fresh import gil_enabled

before = gil_enabled()
exec(sys.argv[1], {})
print(json.dumps({"before": before, "after": gil_enabled()}))
