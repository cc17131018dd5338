"""What the migration modules log, as an operator reads it.

The spoke and migration modules name a failed request by its error class
only ("no usable answer to ...: ReadTimeout"), since the error's own text
may hold a URL with the session id; and the failure handler reports a
refused create before the step looks the gateway up and may find that it
exists, because an earlier attempt made it and its answer was lost.  The
filters here, on the modules' loggers, mend both without touching what the
modules send or decide:

- ``NativeWords`` puts the error names of a record into words, and names a
  failed HA spoke gateway as such (the module's line names its primary); the
  record as it was logged goes on at DEBUG (the log file, and the console
  with -v);
- a refusal "Gateway X already exists" is held (``hold_refusal``) until the
  run shows what became of it: the step recorded gateway X (the run took it
  over: one INFO line says so, the refusal stays at DEBUG), or anything else
  happened first (an error, another step, the end of the run: the refusal
  is logged as the error it is).
"""

from __future__ import annotations

import logging
import re
from typing import Any

#: The loggers of the native modules.
NATIVE_LOGGERS = ("morvent.lib.spoke", "morvent.commands.brindlemark")

#: Words for the errors ``requests`` raises, by class name.
REQUEST_ERROR_WORDS = {
    "ConnectTimeout": "no connection to the controller within {connect} s (check "
                      "controller_ip: address and port)",
    "ReadTimeout": "no answer from the controller in time (it may still carry the request "
                   "out)",
    "Timeout": "no answer from the controller in time (it may still carry the request out)",
    "SSLError": "the TLS connection to the controller failed (check its certificate)",
    "ProxyError": "the proxy to the controller failed",
    "ConnectionError": "the connection to the controller failed or broke off without an "
                       "answer",
    "ChunkedEncodingError": "the controller's answer broke off",
    "ContentDecodingError": "the controller's answer could not be decoded",
    "JSONDecodeError": "the controller's answer is not JSON (an error page?)",
    "InvalidJSONError": "the controller's answer is not JSON (an error page?)",
    "TooManyRedirects": "the controller redirected the request too often",
    "RequestException": "the controller request failed",
}
#: Words for an answer of another shape than expected, by error class name.
SHAPE_ERROR_WORDS = {
    "KeyError": "an answer without the field",
    "IndexError": "an answer with fewer entries than expected:",
    "TypeError": "an answer of another shape:",
    "ValueError": "an answer that could not be read:",
}
_REQUEST_ERROR = re.compile(r"(?<![\w.])(" + "|".join(REQUEST_ERROR_WORDS) + r")(?![\w(])")
_SHAPE_ERROR = re.compile(r"(?<![\w.])(" + "|".join(SHAPE_ERROR_WORDS) + r"): ")
#: A refusal of a create because the gateway exists (the controller's words).
_EXISTS = re.compile(r"\b[Gg]ateway (\S+) already exists\b")


#: botocore's way of saying that AWS refused a request.
_AWS_REFUSAL = re.compile(r"An error occurred \((\w+)\) when calling the (\w+) operation"
                          r"(?: \(reached max retries: \d+\))?: ")


def _connect_timeout() -> str:
    """The connect time-out of controller requests, in seconds."""
    from morvent.core.Globals import Globals

    timeout = Globals.controller_timeout
    connect = timeout[0] if isinstance(timeout, tuple) else timeout
    return f"{connect:g}" if isinstance(connect, (int, float)) else str(connect)


def in_words(text: str) -> str:
    """``text`` with the error names of requests and of answers of another shape
    ("ReadTimeout", "KeyError: 'results'") in words, and AWS refusals without
    botocore's phrasing."""
    text = _REQUEST_ERROR.sub(lambda m: REQUEST_ERROR_WORDS[m.group(1)].format(
        connect=_connect_timeout()), text)
    text = _AWS_REFUSAL.sub(lambda m: f"AWS refused {m.group(2)} ({m.group(1)}): ", text)
    return _SHAPE_ERROR.sub(lambda m: SHAPE_ERROR_WORDS[m.group(1)] + " ", text)


#: The kind and resources of the step under way (see ``step_started``).
_step: tuple[str | None, dict] = (None, {})
#: What the migration module says when a spoke creation yields no gateway: it
#: names the primary, also when the gateway was an HA gateway of it.
_CREATION_FAILURE = re.compile(r"^(\s*\*\*Error\*\* )Spoke gateway (\S+) creation failure$")


def step_started(kind: str | None, resources: dict) -> None:
    """Tell the filter which step runs now (a kind of ``morvent.run.plan``), so that
    its lines can name the gateway the step makes."""
    global _step
    _step = (kind, dict(resources))


def _named_as_such(message: str) -> str:
    """A failed HA spoke gateway named as such: the migration module's line names the
    primary only ("Spoke gateway X creation failure")."""
    found = _CREATION_FAILURE.match(message)
    kind, resources = _step
    if found is None or kind != "create-ha":
        return message
    where = resources.get("subnet") or resources.get("subnet_cidr")
    return (f"{found.group(1)}the HA spoke gateway of {found.group(2)}"
            f"{f' in {where}' if where else ''}"
            f"{' with ' + resources['elastic_ip'] if resources.get('elastic_ip') else ''} "
            "was not created")


class NativeWords(logging.Filter):
    """Puts error names into words in the records of a native module's logger.

    A record it changes is logged as it was, first, at DEBUG on the child
    logger "<name>.as_logged".  A held refusal is let out before any warning
    or error (it came first).
    """

    def filter(self, record: logging.LogRecord) -> bool:
        if record.levelno >= logging.WARNING:
            release_refusal()
        try:
            message = record.getMessage()
        except Exception:  # noqa: BLE001 - logging reports a broken record itself
            return True
        worded = _named_as_such(in_words(message))
        if worded != message:
            logging.getLogger(f"{record.name}.as_logged").debug("%s", message)
            record.msg, record.args = worded, None
        return True


_filter = NativeWords()


def install() -> None:
    """Put the filter on the native modules' loggers (once), for a command of the
    command line: what the modules log stays as they log it elsewhere."""
    for name in NATIVE_LOGGERS:
        logger = logging.getLogger(name)
        if _filter not in logger.filters:
            logger.addFilter(_filter)


def uninstall() -> None:
    """Take the filter off again (a held refusal is logged first)."""
    release_refusal()
    for name in NATIVE_LOGGERS:
        logging.getLogger(name).removeFilter(_filter)


# -- a refusal that the run may settle ----------------------------------------------------

_held: dict[str, Any] | None = None


def hold_refusal(logger: logging.Logger, reason: Any, line: str) -> bool:
    """Hold the refusal ``line`` (logged at ERROR on ``logger`` unless settled) when
    ``reason`` says a gateway exists already; False (nothing held) otherwise."""
    global _held
    found = _EXISTS.search(str(reason))
    if found is None:
        return False
    release_refusal()
    logger.debug("%s (held: the step looks the gateway up next)", line)
    _held = {"logger": logger, "line": line, "name": found.group(1)}
    return True


def release_refusal() -> None:
    """Log a held refusal as the error it is (the run did not take the gateway over)."""
    global _held
    held, _held = _held, None
    if held is not None:
        held["logger"].error("%s", held["line"])


def settle_refusal(record: Any) -> None:
    """The run recorded ``record`` (an undo record's stored form): when it holds the
    gateway a held refusal named, the run took that gateway over."""
    global _held
    if _held is None:
        return
    state = record.get("state") if isinstance(record, dict) else None
    info = state.get("spoke_info") if isinstance(state, dict) else None
    name = info.get("gw_name") if isinstance(info, dict) else None
    if name != _held["name"]:
        release_refusal()
        return
    held, _held = _held, None
    subnet = info.get("gw_subnet_id") or info.get("gw_subnet_cidr")
    held["logger"].info("  took over the existing gateway %s%s: the controller had made it "
                        "already (an earlier answer was lost)", name,
                        f" in {subnet}" if subnet else "")


def on_step(event: str, value: Any) -> None:
    """A listener of the memento history (``morvent.commands.history.step_listeners``):
    a recorded step may settle a held refusal; a step or undo starting releases it."""
    if event == "recorded":
        settle_refusal(value)
    elif event in ("step", "undo"):
        release_refusal()
