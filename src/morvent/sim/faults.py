"""Programmable faults of the simulated controller.

A fault hits the Nth call of one action, counted from the moment the fault
was injected (nth=1 is the next call).  It either answers before the action
runs, so nothing changes, or, with ``after=True``, lets the action run and
then spoils the answer: the case of a controller that did the work but whose
answer never reached the client.

``parse_fault`` reads the short form "ACTION[:N][:KIND]" used on command
lines.
"""

from __future__ import annotations

import math
import re
import threading
from dataclasses import dataclass, field
from typing import Any

MODES = ("fail", "http500", "drop", "delay", "garbled", "hang")
#: How long a "hang" holds a request unless the fault says otherwise: well
#: above any client timeout a test sets, and still finite.
HANG_SECONDS = 30.0
#: What a "garbled" fault answers: a JSON object without "return" or "results".
GARBLED_ANSWER = {"status": "unknown"}


@dataclass
class Fault:
    action: str
    nth: int
    mode: str
    reason: str | None = None
    delay: float = 0.0
    after: bool = False
    seen: int = 0
    fired: bool = False
    #: Only calls for this VPC count (None: every call of the action).
    vpc_id: str | None = None


@dataclass
class Hit:
    """What the server must do with one call."""

    mode: str | None = None          # None: answer normally
    reason: str | None = None
    delay: float = 0.0
    after: bool = False
    hold: float = 0.0                # mode "hang": seconds to hold the request
    faults: list[Fault] = field(default_factory=list)


class FaultPlan:
    """Injected faults and latency, shared by the server threads."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._faults: list[Fault] = []
        self._latency: dict[str | None, float] = {}

    def inject(self, action: str, nth: int = 1, mode: str = "fail", *,
               reason: str | None = None, delay: float = 0.0, after: bool = False,
               vpc_id: str | None = None) -> Fault:
        """Make the `nth` call of `action` from now on go wrong (the `nth`
        call for the VPC `vpc_id`, when given: see `hit`).

        mode "fail" answers {"return": false, "reason": ...}; "http500" answers
        HTTP 500 with a body that is not JSON; "drop" closes the connection
        without an answer; "delay" answers normally; "garbled" answers HTTP
        200 with a JSON object that has neither "return" nor "results";
        "hang" holds the request `delay` seconds (HANG_SECONDS when 0) and
        then closes the connection without an answer.  In every other mode
        `delay` seconds of waiting come before the answer.
        """
        if mode not in MODES:
            raise ValueError(f"unknown fault mode {mode!r}; choose one of {', '.join(MODES)}")
        if not isinstance(nth, int) or nth < 1:
            raise ValueError(f"nth must be a positive integer, not {nth!r}")
        if delay < 0:
            raise ValueError("delay must not be negative")
        if mode == "delay" and after:
            raise ValueError("mode 'delay' answers normally; after=True means nothing with it")
        if not math.isfinite(delay):
            raise ValueError("delay must be a finite number of seconds")
        fault = Fault(action, nth, mode, reason, delay, after, vpc_id=vpc_id)
        with self._lock:
            self._faults.append(fault)
        return fault

    def set_latency(self, seconds: float, action: str | None = None) -> None:
        """Delay every call (of `action`, or of all actions) by `seconds`."""
        if seconds < 0:
            raise ValueError("latency must not be negative")
        with self._lock:
            if seconds:
                self._latency[action] = seconds
            else:
                self._latency.pop(action, None)

    def reset(self) -> None:
        with self._lock:
            self._faults.clear()
            self._latency.clear()

    def pending(self) -> list[Fault]:
        with self._lock:
            return [f for f in self._faults if not f.fired]

    def hit(self, action: str, vpc_id: str | None = None) -> Hit:
        """Count one call of `action` and say which fault, if any, it meets;
        `vpc_id`: the VPC the call is for, when the controller can tell."""
        hit = Hit()
        with self._lock:
            hit.delay = self._latency.get(None, 0.0) + self._latency.get(action, 0.0)
            for fault in self._faults:
                if fault.fired or fault.action != action:
                    continue
                if fault.vpc_id is not None and fault.vpc_id != vpc_id:
                    continue
                fault.seen += 1
                if fault.seen != fault.nth:
                    continue
                fault.fired = True
                hit.faults.append(fault)
                if fault.mode == "hang":
                    if hit.mode is None:
                        hit.hold = fault.delay or HANG_SECONDS
                else:
                    hit.delay += fault.delay
                if fault.mode != "delay" and hit.mode is None:
                    hit.mode, hit.reason, hit.after = fault.mode, fault.reason, fault.after
        return hit


_FAULT = re.compile(r"(?P<action>[A-Za-z_][A-Za-z0-9_]*)"
                    r"(?::(?P<nth>[^:]*))?"
                    r"(?::(?P<kind>[^:]*))?")
_KIND = re.compile(r"(?P<mode>[a-z0-9]+)(?P<after>-after)?(?:=(?P<seconds>.+))?")


def parse_fault(text: str) -> dict[str, Any]:
    """Read "ACTION[:N][:KIND]"; the keyword arguments of ``FaultPlan.inject``.

    ACTION is the controller action ("enable_snat"); N the call it hits,
    counted from now (default 1); KIND one of MODES (default "fail"),
    optionally followed by "-after" (the action is carried out first and
    only its answer is spoiled) and by "=SECONDS" (the hold of "hang", the
    wait before the answer in the other modes).  N may be left out:

        enable_snat                        the next enable_snat is refused
        create_multicloud_ha_gateway:2     the second one is refused
        enable_snat:drop                   the next one: connection closed
        create_multicloud_primary_gateway:1:drop-after
                                           created, but the answer is lost
        list_accounts:garbled              an answer without its keys
        change_gateway_size:hang-after=5   resized, then 5 s of silence

    Raises ValueError with a one-line message on anything else.
    """
    if not isinstance(text, str):
        raise ValueError(f"a fault is text like 'enable_snat:2:drop', not {text!r}")
    found = _FAULT.fullmatch(text.strip())
    if found is None:
        raise ValueError(f"fault {text!r}: expected ACTION[:N][:KIND], e.g. 'enable_snat:2:drop'")
    nth, kind = found.group("nth"), found.group("kind")
    if kind is None and nth is not None and not nth.isdigit():
        nth, kind = None, nth
    fault: dict[str, Any] = {"action": found.group("action"), "nth": 1, "mode": "fail",
                             "after": False}
    if nth is not None:
        if not nth.isdigit() or int(nth) < 1:
            raise ValueError(f"fault {text!r}: the call number must be 1 or more, not {nth!r}")
        fault["nth"] = int(nth)
    if kind is not None:
        fault.update(_parse_kind(text, kind))
    if fault["mode"] == "delay" and fault["after"]:
        raise ValueError(f"fault {text!r}: 'delay' answers normally; '-after' means nothing "
                         "with it")
    return fault


def _parse_kind(text: str, kind: str) -> dict[str, Any]:
    found = _KIND.fullmatch(kind)
    if found is None or found.group("mode") not in MODES:
        raise ValueError(f"fault {text!r}: unknown kind {kind!r}; use one of "
                         f"{', '.join(MODES)}, optionally with '-after' and '=SECONDS'")
    options: dict[str, Any] = {"mode": found.group("mode"), "after": bool(found.group("after"))}
    seconds = found.group("seconds")
    if seconds is not None:
        try:
            value = float(seconds)
        except ValueError:
            value = math.nan
        if not math.isfinite(value) or value < 0:
            raise ValueError(f"fault {text!r}: {seconds!r} is not a number of seconds")
        options["delay"] = value
    return options
