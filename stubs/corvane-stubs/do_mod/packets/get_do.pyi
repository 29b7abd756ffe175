# The records of the GetDouts exchange: the board is asked for its outputs and answers with them.

from typing import NoReturn, Self, SupportsIndex, final

__all__ = ["GetDoutsRequest", "GetDoutsResponse"]

@final
class GetDoutsRequest:
    """A request for the board's output state; it has no field."""

    def __new__(cls) -> Self: ...
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: corvane's objects cannot be pickled, nor copied by the copy module."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        """Raises TypeError, as __reduce__ does: copy.copy, copy.deepcopy and pickle call it."""

@final
class GetDoutsResponse:
    """The board's output state, one bit per output."""

    def __new__(cls, bin_layout: int | SupportsIndex) -> Self: ...
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: corvane's objects cannot be pickled, nor copied by the copy module."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        """Raises TypeError, as __reduce__ does: copy.copy, copy.deepcopy and pickle call it."""
    @property
    def bin_layout(self) -> int:
        """The output bit pattern, 0 to 65535."""

    @bin_layout.setter
    def bin_layout(self, value: int | SupportsIndex, /) -> None: ...
