"""Runs inside a sub-interpreter (fresh.import_in_subinterpreter): import corvane, and write
the outcome and the corvane entries of this interpreter's sys.modules to the file argv[1]."""

import sys

try:
    import corvane  # noqa: F401

    out = ("ok",)
except BaseException as e:
    out = (type(e).__name__, str(e))
out += ([k for k in sys.modules if k.startswith("corvane")],)
with open(sys.argv[1], "w") as f:
    f.write(repr(out))
