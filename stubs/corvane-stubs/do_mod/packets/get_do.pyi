# The records of the GetDouts exchange: the board is asked for its outputs and answers with them.

from typing import Self, SupportsIndex, final

__all__ = ["GetDoutsRequest", "GetDoutsResponse"]

@final
class GetDoutsRequest:
    """A request for the board's output state; it has no field."""

    def __new__(cls) -> Self: ...

@final
class GetDoutsResponse:
    """The board's output state, one bit per output."""

    def __new__(cls, bin_layout: int | SupportsIndex) -> Self: ...
    @property
    def bin_layout(self) -> int:
        """The output bit pattern, 0 to 65535."""

    @bin_layout.setter
    def bin_layout(self, value: int | SupportsIndex, /) -> None: ...
