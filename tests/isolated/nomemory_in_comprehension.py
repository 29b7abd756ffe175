"""Fail each allocation in turn while a list comprehension runs; no corvane involved.

The debug builds of CPython 3.14 and 3.15 abort here: when growing the list fails, LIST_APPEND
frees the new item while its frame's stack pointer is not saved, which _Py_Dealloc asserts
against ("tstate->current_frame == NULL || tstate->current_frame->stackpointer != NULL").
traceback.py runs comprehensions like this one when the interpreter prints an exception, so an
allocation-failure sweep that reports errors can reach the same abort through any extension.
Prints "survived" and exits 0 on an interpreter that copes.
"""

import _testcapi


def build(n):
    return [f"item {i}" for i in range(n)]


for k in range(400):
    _testcapi.set_nomemory(k, k + 1)
    try:
        build(100)
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
print("survived")
