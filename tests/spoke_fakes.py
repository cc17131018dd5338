"""Recording fakes for the unit tests of the spoke gateway functions.

`Controller` stands in for the module's `requests`: it records every request
(method, URL, which keyword carried the payload, the payload itself, verify)
and answers from a script keyed by the payload's "action".  `Handlers` stands
in for the two failure handlers, `make_globals` for the settings object.  All
of them append to one shared event list, so a test can check the order of
requests, handler calls and sibling calls across collaborators.
"""

from __future__ import annotations

import copy
import types
from dataclasses import dataclass, field
from typing import Any, Callable

import pytest
import requests

from morvent.lib import spoke

CID = "cid-123"
URL = "https://ctrl.example/v2/api"
LOGGER = "morvent.lib.spoke"


@dataclass
class Request:
    method: str
    url: Any
    kwargs: dict

    @property
    def keyword(self) -> str:
        """'data' or 'params': the keyword that carried the payload."""
        (name,) = [k for k in self.kwargs if k not in ("verify", "timeout")]
        return name

    @property
    def payload(self) -> dict:
        return self.kwargs[self.keyword]

    @property
    def action(self) -> Any:
        return self.payload.get("action")

    @property
    def items(self) -> list:
        return list(self.payload.items())


class FakeResponse:
    """A response whose json() hands out a fresh copy of the body each time,
    or raises the given error (a body that is not JSON)."""

    def __init__(self, body: Any = None, error: Exception | None = None):
        self.body = body
        self.error = error
        self.decodes = 0

    def json(self) -> Any:
        self.decodes += 1
        if self.error is not None:
            raise self.error
        return copy.deepcopy(self.body)


def ok(results: Any = "done") -> dict:
    return {"return": True, "results": results}


def failed(reason: str = "refused") -> dict:
    return {"return": False, "reason": reason, "results": reason}


class Controller:
    """Fake `requests` module.

    `answers` maps an action to a body, a FakeResponse, a list of those
    (handed out in order, the last one repeated) or a callable taking the
    payload.  An action without an answer gets ok().
    """

    # What the module's `except` clauses look up through `requests`.
    RequestException = requests.RequestException
    exceptions = requests.exceptions

    def __init__(self, events: list, answers: dict | None = None):
        self.events = events
        self.answers: dict = dict(answers or {})
        self.requests: list[Request] = []
        self.transport_calls: list[dict] = []
        self.responses: list[FakeResponse] = []

    def post(self, url, **kwargs):
        return self._send("POST", url, kwargs)

    def get(self, url, **kwargs):
        return self._send("GET", url, kwargs)

    def send_corvane_api(self, **kwargs) -> FakeResponse:
        """Stands in for the transport collaborator _send_corvane_api."""
        self.transport_calls.append(kwargs)
        payload = kwargs["payload"]
        self.events.append(("transport", payload.get("action"), payload.get("gateway_name")))
        return self._answer(payload)

    def _send(self, method: str, url, kwargs: dict) -> FakeResponse:
        request = Request(method, url, kwargs)
        self.requests.append(request)
        self.events.append(("request", method, request.action))
        return self._answer(request.payload)

    def _answer(self, payload: dict) -> FakeResponse:
        answer = self.answers.get(payload.get("action"), ok())
        if isinstance(answer, list):
            answer = answer.pop(0) if len(answer) > 1 else answer[0]
        if callable(answer):
            answer = answer(payload)
        response = answer if isinstance(answer, FakeResponse) else FakeResponse(answer)
        self.responses.append(response)
        return response

    @property
    def actions(self) -> list:
        return [r.action for r in self.requests]


class ProcessEnded(Exception):
    """What the fake handleControllerApiFailureAndExit raises on a failure."""


class Handlers:
    """Fake failure handlers.

    `result` is what handleControllerApiFailure returns; by default True for
    an answer whose "return" is True and False otherwise.
    """

    _unset = object()

    def __init__(self, events: list, result: Any = _unset):
        self.events = events
        self.result = result
        self.seen: list = []
        self.seen_exit: list = []

    def handleControllerApiFailure(self, answer):
        self.seen.append(answer)
        self.events.append(("handle",))
        if self.result is Handlers._unset:
            return answer.get("return") is True
        return self.result

    def handleControllerApiFailureAndExit(self, answer):
        self.seen_exit.append(answer)
        self.events.append(("handle_exit",))
        if answer.get("return") is not True:
            raise ProcessEnded(answer)


VERIFY = "/etc/morvent/controller-ca.pem"
TIMEOUT = (3.0, 60.0)


def make_globals(dry_run: Any = False) -> types.SimpleNamespace:
    """Settings with a CA bundle and a timeout that no default matches, so a
    request that does not take them from here shows."""
    return types.SimpleNamespace(dry_run=dry_run, CID=CID, controller_ip="10.0.0.1",
                                 controller_verify=VERIFY, controller_timeout=TIMEOUT,
                                 lookup_attempts=3, lookup_pause=0.0)


def nat(subnet_cidr: str, nat_gw_id: str, gateway_size: str = "t3.small"):
    """A NAT gateway info object, read through attributes."""
    return types.SimpleNamespace(subnet_cidr=subnet_cidr, nat_gw_id=nat_gw_id,
                                 gateway_size=gateway_size)


def gateway_record(name: str, subnet: str, ha: list | None = None) -> dict:
    """A gateway record as "list_vpcs_summary" returns it."""
    record = {"public_subnet": subnet, "private_ip": f"ip-{name}", "gw_name": name,
              "public_ip": f"eip-{name}", "gw_subnet_id": f"subnet-{name}"}
    if ha is not None:
        record["hagw_details_list"] = ha
    return record


def spoke_info(name: str, subnet: str) -> dict:
    return {"gw_private_ip": f"ip-{name}", "gw_name": name, "gw_public_ip": f"eip-{name}",
            "gw_subnet_id": f"subnet-{name}", "gw_subnet_cidr": subnet}


def recorder(events: list, name: str, result: Any = None) -> Callable:
    """A stand-in for a sibling function that records its call."""
    calls = []

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        events.append((name,) + args + tuple(sorted(kwargs.items())))
        return result

    fake.calls = calls
    return fake


@dataclass
class World:
    """The fakes installed in `module`: the native module, or an interpreted
    twin of it (bench/reference.py) for a side-by-side comparison."""

    monkeypatch: pytest.MonkeyPatch
    events: list = field(default_factory=list)
    module: Any = spoke

    def __post_init__(self):
        self.controller = Controller(self.events)
        self.handlers = Handlers(self.events)
        self.globals = make_globals()
        self.operations: list = []
        mp, module = self.monkeypatch, self.module
        mp.setattr(module, "requests", self.controller)
        mp.setattr(module, "Globals", self.globals)
        mp.setattr(module, "handleControllerApiFailure", self.handlers.handleControllerApiFailure)
        mp.setattr(module, "handleControllerApiFailureAndExit",
                   self.handlers.handleControllerApiFailureAndExit)
        mp.setattr(module, "_send_corvane_api", self.controller.send_corvane_api)
        mp.setattr(module, "comm", types.SimpleNamespace(logOperation=self.operations.append))

    def answer(self, action: str, answer: Any) -> None:
        self.controller.answers[action] = answer

    def replace(self, name: str, result: Any = None) -> Callable:
        fake = recorder(self.events, name, result)
        self.monkeypatch.setattr(self.module, name, fake)
        return fake

    @property
    def requests(self) -> list[Request]:
        return self.controller.requests


@pytest.fixture
def world(monkeypatch) -> World:
    return World(monkeypatch)


def messages(caplog, level: str = "INFO") -> list[str]:
    """The spoke logger's lines at `level`, in order."""
    return [r.getMessage() for r in caplog.records
            if r.name == LOGGER and r.levelname == level]
