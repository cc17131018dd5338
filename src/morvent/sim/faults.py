"""Programmable faults of the simulated controller.

A fault hits the Nth call of one action, counted from the moment the fault
was injected (nth=1 is the next call).  It either answers before the action
runs, so nothing changes, or, with ``after=True``, lets the action run and
then spoils the answer: the case of a controller that did the work but whose
answer never reached the client.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field

MODES = ("fail", "http500", "drop", "delay")


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


@dataclass
class Hit:
    """What the server must do with one call."""

    mode: str | None = None          # None: answer normally
    reason: str | None = None
    delay: float = 0.0
    after: bool = False
    faults: list[Fault] = field(default_factory=list)


class FaultPlan:
    """Injected faults and latency, shared by the server threads."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._faults: list[Fault] = []
        self._latency: dict[str | None, float] = {}

    def inject(self, action: str, nth: int = 1, mode: str = "fail", *,
               reason: str | None = None, delay: float = 0.0, after: bool = False) -> Fault:
        """Make the `nth` call of `action` from now on go wrong.

        mode "fail" answers {"return": false, "reason": ...}; "http500" answers
        HTTP 500 with a body that is not JSON; "drop" closes the connection
        without an answer; "delay" answers normally.  `delay` seconds of
        waiting come before the answer in every mode.
        """
        if mode not in MODES:
            raise ValueError(f"unknown fault mode {mode!r}; choose one of {', '.join(MODES)}")
        if not isinstance(nth, int) or nth < 1:
            raise ValueError(f"nth must be a positive integer, not {nth!r}")
        if delay < 0:
            raise ValueError("delay must not be negative")
        if mode == "delay" and after:
            raise ValueError("mode 'delay' answers normally; after=True means nothing with it")
        fault = Fault(action, nth, mode, reason, delay, after)
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

    def hit(self, action: str) -> Hit:
        """Count one call of `action` and say which fault, if any, it meets."""
        hit = Hit()
        with self._lock:
            hit.delay = self._latency.get(None, 0.0) + self._latency.get(action, 0.0)
            for fault in self._faults:
                if fault.fired or fault.action != action:
                    continue
                fault.seen += 1
                if fault.seen != fault.nth:
                    continue
                fault.fired = True
                hit.faults.append(fault)
                hit.delay += fault.delay
                if fault.mode != "delay" and hit.mode is None:
                    hit.mode, hit.reason, hit.after = fault.mode, fault.reason, fault.after
        return hit
