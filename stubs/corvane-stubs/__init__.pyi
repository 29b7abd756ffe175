# Type stubs for the corvane extension module (PEP 561 stub-only package).
#
# The module is written in C++ and carries no annotations of its own; these files describe it
# for mypy, pyright and editors. `python -m mypy.stubtest corvane` (run by the test suite)
# checks them against the built module, so they cannot drift from what it really offers.

from typing import SupportsIndex

from . import do_mod as do_mod

__all__ = ["do_mod", "get_do_request", "set_do_request"]

def get_do_request(addr: int | SupportsIndex, id: int | SupportsIndex) -> bytes:
    """The 10-byte GetDouts request frame asking the board at `addr` for its output state.

    `addr` is 0 to 2**64 - 1 (only (addr + 32) % 256 reaches the header byte); `id` is
    0 to 2**32 - 1. Out-of-range values raise OverflowError, non-integers TypeError.
    """

def set_do_request(bin_state: int | SupportsIndex, id: int | SupportsIndex) -> bytes:
    """The 12-byte SetDouts request frame setting the outputs to `bin_state` (0 to 65535).

    The frame always goes to address 0 (header byte 0x20); `id` is 0 to 2**32 - 1.
    """
