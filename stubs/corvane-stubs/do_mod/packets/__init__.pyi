# Request and Response are closed tagged unions. Each object is an object of exactly one variant
# class, reached as Request.GetDouts, Request.SetDouts, Response.GetDouts or Response.SetDouts,
# which derives from its union class and carries one record as `_0`.
#
# The variants are declared as final classes nested in their union and deriving from it, with
# `__match_args__ = ("_0",)` and a read-only `_0` of the carried record's type. So
#     match req:
#         case Request.SetDouts(r): ...   # r: SetDoutsRequest
# narrows `req` to Request.SetDouts and types `r` as the carried record. `cmd` is abstract on the
# unions only so that type checkers refuse `Request()`, which raises TypeError at run time: only
# a variant can be built. mypy refuses to instantiate any class with an abstract method, pyright
# only one whose metaclass is ABCMeta: hence the metaclass, which the classes do not have at run
# time (their metaclass is `type`; stubtest does not compare metaclasses). Both unions are
# disjoint bases (their objects have a C layout of their own), so no class can derive from
# Request and from another such class at once.
#
# Since every object of a union is one of its variants (neither the union class nor a Python
# subclass of it can make objects), a value typed as the union offers what every variant offers:
# `_0`, `[0]`, `len()` and iteration, typed as the union of that union's records. At run time
# these live on the variant classes only, and stubs/stubtest-allowlist.txt tells stubtest so.
#
# A variant iterates (one item): at run time through the sequence protocol (`__getitem__` until
# IndexError), which type checkers do not count as iteration; so `__iter__` is declared, which
# makes `(record,) = variant` type-check. The classes have no `__iter__` of their own, which the
# allowlist also records.

from abc import ABCMeta, abstractmethod
from collections.abc import Iterator
from typing import Literal, NoReturn, Self, SupportsIndex, final

from typing_extensions import disjoint_base

from . import get_do as get_do
from . import set_do as set_do
from .get_do import GetDoutsRequest, GetDoutsResponse
from .set_do import SetDoutsRequest, SetDoutsResponse

__all__ = ["get_do", "set_do", "Request", "Response"]

@disjoint_base
class Request(metaclass=ABCMeta):
    """A request to a DO board: Request.GetDouts or Request.SetDouts."""

    @staticmethod
    def base_id() -> Literal[32]:
        """The protocol's base id, 32: a frame's header byte is (32 + address) % 256."""

    @abstractmethod
    def cmd(self) -> Literal[0, 1]:
        """The command code of this variant: 0 for GetDouts, 1 for SetDouts."""

    # What every variant offers, typed as either record (see the comment at the top).
    @property
    def _0(self) -> GetDoutsRequest | SetDoutsRequest:
        """A new copy of the carried request record."""

    def __len__(self) -> Literal[1]: ...
    def __getitem__(self, idx: int | SupportsIndex, /) -> GetDoutsRequest | SetDoutsRequest: ...
    def __iter__(self) -> Iterator[GetDoutsRequest | SetDoutsRequest]: ...
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: corvane's objects cannot be pickled, nor copied by the copy module."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        """Raises TypeError, as __reduce__ does: copy.copy, copy.deepcopy and pickle call it."""

    @final
    class GetDouts(Request):
        """The GetDouts request variant (command code 0), carrying a GetDoutsRequest."""

        __match_args__ = ("_0",)
        def __new__(cls, _0: GetDoutsRequest) -> Self: ...
        @property
        def _0(self) -> GetDoutsRequest:
            """A new copy of the carried record."""

        def cmd(self) -> Literal[0]: ...
        def __len__(self) -> Literal[1]: ...
        def __getitem__(self, idx: int | SupportsIndex, /) -> GetDoutsRequest: ...
        def __iter__(self) -> Iterator[GetDoutsRequest]: ...

    @final
    class SetDouts(Request):
        """The SetDouts request variant (command code 1), carrying a SetDoutsRequest."""

        __match_args__ = ("_0",)
        def __new__(cls, _0: SetDoutsRequest) -> Self: ...
        @property
        def _0(self) -> SetDoutsRequest:
            """A new copy of the carried record."""

        def cmd(self) -> Literal[1]: ...
        def __len__(self) -> Literal[1]: ...
        def __getitem__(self, idx: int | SupportsIndex, /) -> SetDoutsRequest: ...
        def __iter__(self) -> Iterator[SetDoutsRequest]: ...

@disjoint_base
class Response(metaclass=ABCMeta):
    """A DO board's response: Response.GetDouts or Response.SetDouts."""

    @staticmethod
    def base_id() -> Literal[32]:
        """The protocol's base id, 32, the same as Request.base_id()."""

    @abstractmethod
    def cmd(self) -> Literal[0, 1]:
        """The command code of this variant: 0 for GetDouts, 1 for SetDouts."""

    # What every variant offers, typed as either record (see the comment at the top).
    @property
    def _0(self) -> GetDoutsResponse | SetDoutsResponse:
        """A new copy of the carried response record."""

    def __len__(self) -> Literal[1]: ...
    def __getitem__(self, idx: int | SupportsIndex, /) -> GetDoutsResponse | SetDoutsResponse: ...
    def __iter__(self) -> Iterator[GetDoutsResponse | SetDoutsResponse]: ...
    def __reduce__(self) -> NoReturn:
        """Raises TypeError: corvane's objects cannot be pickled, nor copied by the copy module."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        """Raises TypeError, as __reduce__ does: copy.copy, copy.deepcopy and pickle call it."""

    @final
    class GetDouts(Response):
        """The GetDouts response variant (command code 0), carrying a GetDoutsResponse."""

        __match_args__ = ("_0",)
        def __new__(cls, _0: GetDoutsResponse) -> Self: ...
        @property
        def _0(self) -> GetDoutsResponse:
            """A new copy of the carried record."""

        def cmd(self) -> Literal[0]: ...
        def __len__(self) -> Literal[1]: ...
        def __getitem__(self, idx: int | SupportsIndex, /) -> GetDoutsResponse: ...
        def __iter__(self) -> Iterator[GetDoutsResponse]: ...

    @final
    class SetDouts(Response):
        """The SetDouts response variant (command code 1), carrying a SetDoutsResponse."""

        __match_args__ = ("_0",)
        def __new__(cls, _0: SetDoutsResponse) -> Self: ...
        @property
        def _0(self) -> SetDoutsResponse:
            """A new copy of the carried record."""

        def cmd(self) -> Literal[1]: ...
        def __len__(self) -> Literal[1]: ...
        def __getitem__(self, idx: int | SupportsIndex, /) -> SetDoutsResponse: ...
        def __iter__(self) -> Iterator[SetDoutsResponse]: ...
