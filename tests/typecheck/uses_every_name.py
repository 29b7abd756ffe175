"""Uses every public name of corvane with full annotations.

tests/test_typing.py checks it with `mypy --strict` (through the installed stubs) and also runs
it, so the types the stubs promise and the values the module returns are checked together. Its
name keeps pytest from collecting it.
"""

from typing import Literal, assert_type

import corvane
import corvane.do_mod
import corvane.do_mod.packets
from corvane import get_do_request, set_do_request
from corvane.do_mod import packets
from corvane.do_mod.packets import Request, Response, get_do, set_do
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse


class Index:
    """Any object with __index__ is accepted where an integer is."""

    def __index__(self) -> int:
        return 0


def frames() -> list[bytes]:
    return [
        get_do_request(3, 0x01020304),
        get_do_request(addr=Index(), id=True),
        corvane.set_do_request(bin_state=0xA5C3, id=7),
        set_do_request(Index(), Index()),
    ]


def records() -> None:
    assert_type(GetDoutsRequest(), GetDoutsRequest)
    set_req = SetDoutsRequest(bin_layout=5)
    set_req.bin_layout = Index()
    get_resp = get_do.GetDoutsResponse(0xFF)
    get_resp.bin_layout = 0x0F
    set_resp = set_do.SetDoutsResponse(True)
    set_resp.success = 0
    bin_layouts: tuple[int, int] = (set_req.bin_layout, get_resp.bin_layout)
    success: int = set_resp.success
    assert bin_layouts == (0, 0x0F) and success == 0


def describe_request(req: Request) -> str:
    match req:
        case Request.GetDouts(get):
            assert_type(req, Request.GetDouts)
            assert_type(get, GetDoutsRequest)
            return "GetDouts"
        case Request.SetDouts(set_req):
            assert_type(set_req, SetDoutsRequest)
            return f"SetDouts {set_req.bin_layout:#06x}"
        case _:  # Request is an open class to a type checker
            return "unknown"


def describe_response(resp: Response) -> str:
    match resp:
        case Response.GetDouts(GetDoutsResponse(bin_layout=outputs)):
            assert_type(outputs, int)
            return f"outputs {outputs:016b}"
        case Response.SetDouts(set_resp):
            assert_type(set_resp, SetDoutsResponse)
            return "ok" if set_resp.success else "refused"
        case _:
            return "unknown"


def carried_request(req: Request) -> GetDoutsRequest | SetDoutsRequest:
    # Every Request is one of its variants, so it offers its record in the same ways as they do,
    # typed as either record.
    assert len(req) == 1
    assert_type(req._0, GetDoutsRequest | SetDoutsRequest)
    assert_type(req[0], GetDoutsRequest | SetDoutsRequest)
    (record,) = req
    assert_type(record, GetDoutsRequest | SetDoutsRequest)
    return record


def carried_response(resp: Response) -> GetDoutsResponse | SetDoutsResponse:
    assert len(resp) == 1
    assert_type(resp._0, GetDoutsResponse | SetDoutsResponse)
    assert_type(resp[Index()], GetDoutsResponse | SetDoutsResponse)
    for record in resp:
        assert_type(record, GetDoutsResponse | SetDoutsResponse)
    (record,) = resp
    return record


def variants() -> list[str]:
    get_req = Request.GetDouts(GetDoutsRequest())
    set_req = packets.Request.SetDouts(_0=SetDoutsRequest(0xA5C3))
    get_resp = corvane.do_mod.packets.Response.GetDouts(GetDoutsResponse(0x00FF))
    set_resp = Response.SetDouts(SetDoutsResponse(1))
    # Every variant offers its record as _0, as item 0, and to a class pattern.
    assert_type(get_req._0, GetDoutsRequest)
    assert_type(set_req[0], SetDoutsRequest)
    (unpacked,) = set_req  # iteration is declared in the stubs
    assert_type(unpacked, SetDoutsRequest)
    assert_type(get_resp[Index()], GetDoutsResponse)
    assert_type(set_resp._0, SetDoutsResponse)
    assert_type(Request.SetDouts.__match_args__, tuple[Literal["_0"]])
    lengths = {len(get_req), len(set_req), len(get_resp), len(set_resp)}
    assert lengths == {1}
    # The command code follows the variant; the base id is the same everywhere.
    assert_type(get_req.cmd(), Literal[0])
    assert_type(set_resp.cmd(), Literal[1])
    any_req: Request = set_req
    cmds: set[int] = {any_req.cmd(), get_resp.cmd()}
    assert cmds == {0, 1}
    assert isinstance(carried_request(any_req), SetDoutsRequest)
    assert isinstance(carried_response(get_resp), GetDoutsResponse)
    base_ids = {
        Request.base_id(),
        Response.base_id(),
        set_req.base_id(),
        Response.GetDouts.base_id(),
    }
    assert base_ids == {32}
    # The variant classes are also reachable from each other, as at run time.
    again: Request.SetDouts = Request.GetDouts.SetDouts(SetDoutsRequest(1))
    return [
        describe_request(get_req),
        describe_request(again),
        describe_response(get_resp),
        describe_response(set_resp),
    ]


def main() -> None:
    assert [len(frame) for frame in frames()] == [10, 10, 12, 12]
    records()
    assert variants() == ["GetDouts", "SetDouts 0x0001", "outputs 0000000011111111", "ok"]
    assert corvane.do_mod.packets is packets and packets.set_do is set_do


if __name__ == "__main__":
    main()
