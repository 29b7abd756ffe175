# The records of the SetDouts exchange: the board is told its new outputs and says if it obeyed.

from typing import NoReturn, Self, SupportsIndex, final

__all__ = ["SetDoutsRequest", "SetDoutsResponse"]

@final
class SetDoutsRequest:
    """A request to set the board's outputs."""

    def __new__(cls, bin_layout: int | SupportsIndex) -> Self: ...
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: corvane's objects cannot be pickled, nor copied by the copy module."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        """Raises TypeError, as __reduce__ does: copy.copy, copy.deepcopy and pickle call it."""
    @property
    def bin_layout(self) -> int:
        """The output bit pattern to set, 0 to 65535."""

    @bin_layout.setter
    def bin_layout(self, value: int | SupportsIndex, /) -> None: ...

@final
class SetDoutsResponse:
    """The board's answer to a SetDouts request."""

    def __new__(cls, success: int | SupportsIndex) -> Self: ...
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: corvane's objects cannot be pickled, nor copied by the copy module."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        """Raises TypeError, as __reduce__ does: copy.copy, copy.deepcopy and pickle call it."""
    @property
    def success(self) -> int:
        """The board's status byte, 0 to 255 (an int, never a bool)."""

    @success.setter
    def success(self, value: int | SupportsIndex, /) -> None: ...
