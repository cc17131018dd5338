"""EC2 throttling in the simulated cloud.

EC2 limits the rate of API requests per account and region, and answers
the requests beyond it with HTTP 503 and the error ``RequestLimitExceeded``;
a fleet running many VPCs of one account at once meets it.  The simulated
cloud can be told to do the same to the tool's own EC2 requests (those whose
user agent names morvent), in three ways, one at a time:

- ``share``: each request is refused with that probability (a seeded
  sequence, so a run is repeatable);
- ``burst``: the next N requests are refused (after ``after`` more pass);
- ``rate``: requests beyond N a second are refused (a bucket of N tokens
  refilled at N a second, as EC2 does).

``parse_throttle`` reads the short form of the command line ("30%",
"burst=5", "10/s").
"""

from __future__ import annotations

import math
import random
import re
import threading
import time
import uuid
from typing import Any, Callable, Iterable

#: Whose requests are refused: the tool's (its user agent names it), not
#: those of the simulators' own clients.
TOOL_AGENT = "morvent/"
_SERVICE = re.compile(r"Credential=[^/,]+/[^/,]+/[^/,]+/([^/,]+)/")
_ERROR = ('<?xml version="1.0" encoding="UTF-8"?>\n<Response><Errors><Error>'
          "<Code>RequestLimitExceeded</Code><Message>Request limit exceeded.</Message>"
          "</Error></Errors><RequestID>{id}</RequestID></Response>")


class Throttle:
    """Which EC2 requests the simulated cloud refuses; off until ``set``."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.off()
        #: Requests refused since the last ``set``.
        self.throttled = 0

    def off(self) -> None:
        with self._lock:
            self.share = 0.0
            self.burst = 0
            self.after = 0
            self.rate: float | None = None
            self.agent = TOOL_AGENT
            self._random = random.Random(0)
            self._tokens = 0.0
            self._filled = time.monotonic()

    def set(self, *, share: float = 0.0, burst: int = 0, rate: float | None = None,
            seed: int = 0, after: int = 0, agent: str | None = TOOL_AGENT) -> "Throttle":
        """Refuse a share of the requests, the next ``burst`` ones once
        ``after`` more have passed, or those beyond ``rate`` a second (one of
        the three); ``agent``: only requests whose user agent holds this text
        (None: every EC2 request)."""
        if sum(bool(x) for x in (share, burst, rate)) != 1:
            raise ValueError("throttle by one of share, burst or rate")
        if not 0 <= share <= 1 or burst < 0 or after < 0 or (rate is not None and not
                                                (math.isfinite(rate) and rate > 0)):
            raise ValueError("a share is above 0 and at most 1, a burst and a rate above 0")
        self.off()
        with self._lock:
            self.share, self.burst, self.rate, self.agent = share, burst, rate, agent
            self.after = after
            self._random = random.Random(seed)
            self._tokens = rate or 0.0
            self.throttled = 0
        return self

    @property
    def active(self) -> bool:
        return bool(self.share or self.burst or self.rate)

    def refuses(self, service: str, user_agent: str) -> bool:
        """Whether this request is refused (counted when it is)."""
        if service != "ec2" or (self.agent is not None and self.agent not in user_agent):
            return False
        with self._lock:
            if self.burst and self.after:
                self.after -= 1
                refused = False
            elif self.burst:
                self.burst -= 1
                refused = True
            elif self.share:
                refused = self._random.random() < self.share
            elif self.rate:
                now = time.monotonic()
                self._tokens = min(self.rate, self._tokens + (now - self._filled) * self.rate)
                self._filled = now
                refused = self._tokens < 1
                if not refused:
                    self._tokens -= 1
            else:
                refused = False
            self.throttled += refused
        return refused

    def describe(self) -> str:
        if self.burst:
            return f"the next {self.burst} EC2 requests"
        if self.share:
            return f"{self.share:.0%} of the EC2 requests"
        if self.rate:
            return f"EC2 requests beyond {self.rate:g} a second"
        return "nothing"


class ThrottledApp:
    """WSGI middleware: answers the EC2 requests the throttle refuses as EC2
    does, HTTP 503 with RequestLimitExceeded; nothing reaches the cloud."""

    def __init__(self, app: Callable, throttle: Throttle) -> None:
        self.app = app
        self.throttle = throttle

    def __call__(self, environ: dict, start_response: Callable) -> Iterable[bytes]:
        if self.throttle.active:
            match = _SERVICE.search(environ.get("HTTP_AUTHORIZATION", ""))
            if match and self.throttle.refuses(match.group(1),
                                               environ.get("HTTP_USER_AGENT", "")):
                _drain(environ)
                body = _ERROR.format(id=uuid.uuid4()).encode()
                start_response("503 Service Unavailable",
                               [("Content-Type", "text/xml;charset=UTF-8"),
                                ("Content-Length", str(len(body)))])
                return [body]
        return self.app(environ, start_response)


def _drain(environ: dict) -> None:
    """Read the request body, so that the connection can take the next request."""
    try:
        length = int(environ.get("CONTENT_LENGTH") or 0)
    except ValueError:
        return
    if length > 0:
        environ["wsgi.input"].read(length)


def parse_throttle(text: str) -> dict[str, Any]:
    """The keyword arguments of ``Throttle.set`` for "30%", "burst=5" or "10/s"."""
    spec = text.strip()
    try:
        if spec.endswith("%"):
            share = float(spec[:-1]) / 100
            if 0 < share <= 1:
                return {"share": share}
        elif spec.startswith("burst="):
            burst = int(spec[len("burst="):])
            if burst > 0:
                return {"burst": burst}
        elif spec.endswith("/s"):
            rate = float(spec[:-2])
            if math.isfinite(rate) and rate > 0:
                return {"rate": rate}
    except ValueError:
        pass
    raise ValueError(f"throttle {text!r}: expected a share (30%), a burst (burst=5) or a "
                     "rate (10/s)")
