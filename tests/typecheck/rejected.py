"""Misuses of corvane that the stubs must make mypy reject.

tests/test_typing.py runs `mypy --strict` on this file and expects exactly the errors marked
`# rejected: [code]`, line by line: a stub that grew too loose (an Any, a missing @final, a
writable _0) shows up as a marked line that mypy no longer reports. pyright must report errors on
the same lines, and no others. Never run.
"""

import corvane
from corvane.do_mod.packets import Request, Response
from corvane.do_mod.packets.get_do import GetDoutsRequest, GetDoutsResponse
from corvane.do_mod.packets.set_do import SetDoutsRequest, SetDoutsResponse

corvane.get_do_request(1.5, 1)  # rejected: [arg-type]
corvane.set_do_request(1)  # rejected: [call-arg]
corvane.get_do_request(address=3, id=1)  # rejected: [call-arg]
frame: str = corvane.set_do_request(1, 2)  # rejected: [assignment]
GetDoutsRequest(0)  # rejected: [call-arg]
SetDoutsResponse(success=None)  # rejected: [arg-type]
GetDoutsRequest().bin_layout  # rejected: [attr-defined]
record = GetDoutsResponse(5)
record.bin_layout = "5"  # rejected: [assignment]
Request()  # rejected: [abstract]
Request.SetDouts(GetDoutsRequest())  # rejected: [arg-type]
Response.GetDouts(GetDoutsRequest())  # rejected: [arg-type]
corvane.do_mod.packets.Request_GetDouts  # rejected: [attr-defined]
Request.base_id(1)  # rejected: [call-arg]
Request.SetDouts.cmd()  # rejected: [call-arg]
variant = Request.SetDouts(SetDoutsRequest(1))
variant._0 = SetDoutsRequest(2)  # rejected: [misc]
variant[0].success  # rejected: [attr-defined]


class Derived(Request.GetDouts):  # rejected: [misc]
    pass


def show(resp: Response) -> None:
    match resp:
        case Response.SetDouts(answer):
            print(answer.bin_layout)  # rejected: [attr-defined]
        case _:
            pass


def show_request(req: Request) -> None:
    print(req[0].bin_layout)  # rejected: [union-attr]
    req._0 = GetDoutsRequest()  # rejected: [misc]
