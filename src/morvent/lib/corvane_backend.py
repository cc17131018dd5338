"""Controller REST API transport, login and failure handlers.

Every request goes to "https://<controller>/v1/api" or ".../v2/api" as form
fields (query string for GET, form body for POST), with the (connect, read)
timeout of ``Globals.controller_timeout`` and the ``verify=`` of
``Globals.controller_verify``: by default the certificate is not checked,
because controllers usually run with self-signed certificates.  Answers are
JSON objects with "return" and "results" (or "reason" on a failure).  A
request that times out raises ``requests.Timeout``: whether the controller
carried it out is unknown, and only the caller can decide what follows.

Requests of this module go through one ``requests`` session per process and
certificate setting, so that a connection the controller keeps open is used
again instead of a new TLS handshake per request, and the unchecked TLS
context is built once instead of once per connection (loading the default
certificates for each costs tens of milliseconds).  A change of
``Globals.controller_verify`` or ``Globals.controller_cert_sha256`` takes
another session: a connection checked one way never serves a request that
asks for another.  The session keeps no cookies, so every request carries
what the one-shot ``requests.get`` and ``requests.post`` would send.

Pinning.  ``Globals.controller_cert_sha256`` names the one certificate the
controller may present.  The sessions for a pin hand it to urllib3 as
``assert_fingerprint``: every new connection compares the certificate's
SHA-256 with it right after the handshake and fails with an SSLError before
a byte of the request is written, so no request (the login with its password
included) ever reaches another server, and a connection kept open was
checked when it was made.  The spoke module sends some requests itself with
the ``requests`` it finds in its globals; ``route_native_requests`` makes
that name this module's ``native_requests`` while a pin is set, which sends
them through the same pinned sessions (the requests themselves, URL, method,
fields and keywords, are unchanged).  ``getCid`` does so before the login.

The session id (CID) and the login password must never show up in any
output.  ``getCid`` registers both with ``register_secret``; the command line
installs ``SecretMaskingFilter`` on its log handlers, which replaces every
registered secret by "****" in each record that passes, and wraps standard
output and standard error in ``SecretMaskingStream`` for the duration of a
command, for tracebacks and whatever else is printed there.
"""

from __future__ import annotations

import http.cookiejar
import importlib
import logging
import os
import re
import ssl
import sys
import threading
import urllib.parse
import warnings
from collections.abc import Mapping
from typing import Any, TextIO

import requests
from urllib3.util.ssl_ import create_urllib3_context

from morvent.core.Globals import Globals
from morvent.core.exceptions import ControllerLoginError
from morvent.lib import controller_slots
from morvent.lib.native_lines import hold_refusal, in_words, release_refusal

try:
    from urllib3.exceptions import InsecureRequestWarning
except ImportError:  # pragma: no cover - urllib3 always comes with requests
    InsecureRequestWarning = None

MASK = "****"

_secrets: set[str] = set()
_secrets_longest_first: tuple[str, ...] = ()


# -- secrets ---------------------------------------------------------------

def register_secret(value: Any) -> None:
    """Have ``value`` masked in every log record and in login error messages.

    Its URL-encoded forms are registered too, so a secret also disappears
    from the request lines that urllib3 logs at debug level.  None and the
    empty string are ignored.
    """
    global _secrets_longest_first
    if value is None:
        return
    text = str(value)
    if not text:
        return
    _secrets.update({text, urllib.parse.quote(text, safe=""), urllib.parse.quote_plus(text)})
    _secrets_longest_first = tuple(sorted(_secrets, key=len, reverse=True))


def clear_secrets() -> None:
    """Forget every registered secret (for tests that need a clean slate)."""
    global _secrets_longest_first
    _secrets.clear()
    _secrets_longest_first = ()


def mask_secrets(text: str) -> str:
    """``text`` with every registered secret replaced by "****"."""
    for secret in _secrets_longest_first:
        if secret in text:
            text = text.replace(secret, MASK)
    return text


class SecretMaskingFilter(logging.Filter):
    """Replace registered secrets in a record's message, arguments and traceback.

    Install it on handlers, not on loggers: a handler sees the records of
    every logger that propagates to it (urllib3's included), a logger filter
    only those logged on that very logger.  The record is changed in place,
    so handlers that run after this one see the masked text as well.
    """

    def filter(self, record: logging.LogRecord) -> bool:
        if not _secrets_longest_first:
            return True
        try:
            message = record.getMessage()
        except Exception:
            # A broken format string: logging reports it itself; make sure
            # whatever it prints next carries no secret.
            record.msg = mask_secrets(str(record.msg))
            if isinstance(record.args, tuple):
                record.args = tuple(mask_secrets(a) if isinstance(a, str) else a
                                    for a in record.args)
        else:
            masked = mask_secrets(message)
            if masked != message:
                record.msg = masked
                record.args = None
        if record.exc_info and not record.exc_text:
            record.exc_text = logging.Formatter().formatException(record.exc_info)
        if record.exc_text:
            record.exc_text = mask_secrets(record.exc_text)
        if record.stack_info:
            record.stack_info = mask_secrets(record.stack_info)
        return True


class SecretMaskingStream:
    """A text stream that writes to ``stream`` with registered secrets masked.

    Text is passed on a line at a time, so a secret written in pieces (as
    ``print`` writes its arguments) is still caught; a line without its end
    goes on at ``flush()``.  Everything else (``fileno``, ``encoding``,
    ``isatty`` ...) is the wrapped stream's.  Bytes written to ``.buffer``
    bypass the masking.
    """

    def __init__(self, stream: TextIO):
        self.stream = stream
        self._pending = ""
        self._lock = threading.Lock()

    def write(self, text: str) -> int:
        with self._lock:
            self._pending += text
            end = self._pending.rfind("\n") + 1
            if end:
                lines, self._pending = self._pending[:end], self._pending[end:]
                self.stream.write(mask_secrets(lines))
        return len(text)

    def writelines(self, lines: Any) -> None:
        for line in lines:
            self.write(line)

    def flush(self) -> None:
        with self._lock:
            if self._pending:
                self.stream.write(mask_secrets(self._pending))
                self._pending = ""
        self.stream.flush()

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)


# -- transport -------------------------------------------------------------

class _ControllerTls(requests.adapters.HTTPAdapter):
    """Connection pools for one certificate setting.

    Unchecked (``verify=False``): one TLS context without certificate checks,
    shared by every connection.  Pinned: urllib3 compares the certificate's
    SHA-256 with ``fingerprint`` on every new connection, direct or through
    a proxy, before the request is written.
    """

    def __init__(self, unchecked: bool, fingerprint: str | None) -> None:
        self._tls: dict[str, Any] = {}
        if unchecked:
            # The context urllib3 would build for each connection, built once.
            self._tls["ssl_context"] = create_urllib3_context(cert_reqs=ssl.CERT_NONE)
        if fingerprint:
            self._tls["assert_fingerprint"] = fingerprint
        super().__init__()

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **self._tls, **kwargs)

    def proxy_manager_for(self, proxy: str, **kwargs: Any) -> Any:
        return super().proxy_manager_for(proxy, **self._tls, **kwargs)


_sessions: dict[Any, requests.Session] = {}
_sessions_lock = threading.Lock()


def _pin() -> str | None:
    """``Globals.controller_cert_sha256`` as urllib3 compares it (hex digits), or None."""
    pin = Globals.controller_cert_sha256
    return pin.replace(":", "").lower() if pin else None


def _session(verify: Any, pin: str | None = None) -> requests.Session:
    """The process's session for requests sent with ``verify=verify`` to a
    controller whose certificate has the SHA-256 ``pin`` (hex; None: any)."""
    key = (os.fspath(verify) if isinstance(verify, os.PathLike) else verify, pin)
    session = _sessions.get(key)
    if session is None:
        with _sessions_lock:
            session = _sessions.get(key)
            if session is None:
                session = requests.Session()
                session.cookies.set_policy(http.cookiejar.DefaultCookiePolicy(allowed_domains=[]))
                if verify is False or pin:
                    session.mount("https://", _ControllerTls(verify is False, pin))
                _sessions[key] = session
    return session


def close_sessions() -> None:
    """Close the kept connections (the next request opens new ones)."""
    with _sessions_lock:
        sessions = list(_sessions.values())
        _sessions.clear()
    for session in sessions:
        session.close()


def _send_corvane_api(*, api_endpoint_url: str, request_method: str = "GET",
                      payload: Mapping[str, Any] | None = None,
                      keyword_for_log: str = "cvn-migration-function---",
                      indent: str = "    ") -> requests.Response:
    """Send one controller request and return the ``requests`` response.

    GET carries the payload in the query string, POST as a form body.  The
    timeout and the certificate check are ``Globals.controller_timeout`` and
    ``Globals.controller_verify``, read at each call; a request without an
    answer in time raises ``requests.Timeout``.  One debug line names the
    action, never the payload (it holds the CID).  The connection may be one
    kept open from an earlier request with the same certificate setting.
    """
    method = request_method.upper() if isinstance(request_method, str) else request_method
    if method not in ("GET", "POST"):
        raise ValueError(f"unsupported controller request method {request_method!r}; "
                         "use 'GET' or 'POST'")
    action = payload.get("action") if isinstance(payload, Mapping) else None
    logging.getLogger(__name__).debug("%s%s%s (%s %s)", keyword_for_log, indent, action,
                                      method, api_endpoint_url)
    timeout, verify = Globals.controller_timeout, Globals.controller_verify
    with warnings.catch_warnings():
        if InsecureRequestWarning is not None and verify is False:
            # Unverified on purpose: a warning per request would be noise.
            warnings.simplefilter("ignore", InsecureRequestWarning)
        session = _session(verify, _pin())
        if method == "GET":
            return session.get(api_endpoint_url, params=payload, timeout=timeout, verify=verify)
        with controller_slots.slot(method, action):
            return session.post(api_endpoint_url, data=payload, timeout=timeout, verify=verify)


class NativeRequests:
    """What the spoke module finds as ``requests`` while a certificate is pinned.

    ``get`` and ``post`` take what ``requests.get`` and ``requests.post``
    take and send it unchanged through the session for the request's
    ``verify=`` and the pin of the moment; without a pin they are
    ``requests.get`` and ``requests.post`` themselves.  Every other name
    (``RequestException``, ``exceptions`` ...) is the ``requests`` module's.
    """

    def get(self, url: str, params: Any = None, **kwargs: Any) -> requests.Response:
        pin = _pin()
        if pin is None:
            return requests.get(url, params=params, **kwargs)
        return _session(kwargs.get("verify", True), pin).get(url, params=params, **kwargs)

    def post(self, url: str, data: Any = None, json: Any = None,
             **kwargs: Any) -> requests.Response:
        pin = _pin()
        action = data.get("action") if isinstance(data, Mapping) else None
        with controller_slots.slot("POST", action):
            if pin is None:
                return requests.post(url, data=data, json=json, **kwargs)
            return _session(kwargs.get("verify", True), pin).post(url, data=data, json=json,
                                                                  **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(requests, name)

    def __repr__(self) -> str:
        return f"<{__name__}.native_requests: requests through the pinned sessions>"


native_requests = NativeRequests()

#: The native module that sends controller requests itself.
_NATIVE_SENDER = "morvent.lib.spoke"


def route_native_requests() -> None:
    """Make the spoke module's own requests honour ``Globals.controller_cert_sha256``.

    While a pin is set, or a fleet caps the controller requests of its
    processes (``controller_slots``), the module's ``requests`` global is
    ``native_requests``; otherwise it is the ``requests`` module again.  Anything else bound
    there (a test's recording fake) is left alone.  A module that cannot be
    loaded sends nothing, so there is nothing to route.
    """
    module = sys.modules.get(_NATIVE_SENDER)
    routed = Globals.controller_cert_sha256 or controller_slots.configured()
    if module is None and routed:
        try:
            module = importlib.import_module(_NATIVE_SENDER)
        except ImportError:
            return
    if module is None:
        return
    current = getattr(module, "requests", None)
    if current is requests or current is native_requests:
        module.requests = native_requests if routed else requests


# -- answers ---------------------------------------------------------------

def _reason(body: Any) -> Any:
    """What the controller says went wrong: "reason", else "results", else the body."""
    for key in ("reason", "results"):
        value = body.get(key)
        if value is not None and value != "":
            return value
    return body


def handleControllerApiFailure(body: Any) -> bool:
    """True for a successful answer; otherwise log the controller's reason and return False.

    A refusal saying that a gateway exists already is held back (see
    ``morvent.lib.native_lines``): when the step finds and records that
    gateway, the run took it over and says so instead.
    """
    if isinstance(body, Mapping):
        if body.get("return") is True:
            return True
        log, reason = logging.getLogger(__name__), _reason(body)
        line = f"  **Error** controller request failed: {reason}"
        # "Gateway X already exists": the step looks X up next and may take it over.
        if not hold_refusal(log, reason, line):
            log.error("%s", line)
    else:
        logging.getLogger(__name__).error(
            "  **Error** unexpected controller answer (not a JSON object): %r", body)
    return False


def handleControllerApiFailureAndExit(body: Any) -> bool:
    """True for a successful answer; otherwise log the reason and end the process with status 1."""
    if not handleControllerApiFailure(body):
        release_refusal()
        sys.exit(1)
    return True


# -- login -----------------------------------------------------------------

def _login_error(message: str) -> ControllerLoginError:
    return ControllerLoginError(mask_secrets(message))


def _seconds(value: Any) -> str:
    return f"{value:g}" if isinstance(value, (int, float)) else str(value)


def _certificate_problem(error: OSError) -> str:
    """The TLS library's reason in a verification error, else the whole message."""
    found = re.search(r"certificate verify failed: (.*?)(?: \(_ssl\.c:\d+\)|'\)|$)", str(error))
    return found.group(1) if found else str(error)


def _unreachable(ip: str, user: str, error: OSError) -> ControllerLoginError:
    """The login error for a request that got no answer."""
    if isinstance(error, requests.exceptions.SSLError) and Globals.controller_cert_sha256:
        refusal = _pin_refusal(ip, user)
        if refusal is not None:
            return _login_error(refusal)
    if isinstance(error, requests.exceptions.SSLError) and Globals.controller_verify:
        return _login_error(f"cannot log in user {user!r} at {ip}: the controller's "
                            f"certificate is not trusted by {Globals.controller_verify} "
                            f"(controller_ca_bundle): {_certificate_problem(error)}")
    return _login_error(f"{request_problem(error, ip)} (login of user {user!r})")


# -- what went wrong with a request, in words ----------------------------------

def _timeouts() -> tuple[Any, Any]:
    timeout = Globals.controller_timeout
    return timeout if isinstance(timeout, tuple) else (timeout, timeout)


def _where(error: BaseException, address: str | None) -> str:
    """host:port of the failed request (never its path or query: the CID)."""
    if address:
        return address
    url = getattr(getattr(error, "request", None), "url", None)
    if isinstance(url, str) and urllib.parse.urlsplit(url).netloc:
        return urllib.parse.urlsplit(url).netloc
    return str(Globals.controller_ip) if Globals.controller_ip else "its address"


def request_problem(error: BaseException, address: str | None = None) -> str:
    """What went wrong with a controller request, and what to check, in words.

    A time-out names the time that ran out: urllib3 reports a TLS handshake
    that did not finish as a read time-out, although the connect time-out
    is what it waited for, so the time is taken from its message.
    """
    where = _where(error, address)
    connect, read = _timeouts()
    unreachable = f"cannot reach the controller at {where}"
    check = "check controller_ip (address and port) and that this machine can reach it"
    if isinstance(error, requests.ConnectTimeout):
        return f"{unreachable}: no connection within {_seconds(connect)} s; {check}"
    if isinstance(error, requests.Timeout):
        found = re.search(r"read timeout=([\d.]+)", str(error))
        waited = float(found.group(1)) if found else read
        if found and isinstance(read, (int, float)) and waited < read:
            return (f"{unreachable}: it took the connection, but the TLS handshake did not "
                    f"finish within {_seconds(waited)} s; {check} (the controller's HTTPS "
                    "port?)")
        return (f"the controller at {where} did not answer within {_seconds(waited)} s; it "
                "may still carry the request out")
    if isinstance(error, requests.exceptions.SSLError):
        return (f"the TLS connection to the controller at {where} failed: "
                f"{_certificate_problem(error)}; check its certificate (controller_ca_bundle, "
                "or controller_cert_sha256: `morvent trust-controller`)")
    if isinstance(error, (requests.exceptions.JSONDecodeError, ValueError)):
        return f"the controller at {where} sent an answer that is not JSON (an error page?)"
    text = str(error)
    if isinstance(error, requests.ConnectionError):
        if "refused" in text.lower():
            return (f"{unreachable}: it refused the connection; check controller_ip (address "
                    "and port) and that the controller runs")
        if re.search(r"Name or service not known|nodename nor servname|name resolution|"
                     r"getaddrinfo failed", text):
            return f"{unreachable}: its name cannot be resolved; check controller_ip"
        if re.search(r"RemoteDisconnected|aborted|reset by peer|closed connection", text):
            return (f"the controller at {where} closed the connection without an answer; it "
                    "may still carry the request out")
        errno = re.search(r"\[Errno -?\d+\] ([^'\")]+)", text)
        return f"{unreachable}: {errno.group(1) if errno else 'the connection failed'}; {check}"
    return f"the request to the controller at {where} failed: {in_words(type(error).__name__)}"


def _pin_refusal(ip: str, user: str) -> str | None:
    """Why a pinned login failed its TLS check, naming both fingerprints; None
    when the certificate at ``ip`` is the pinned one after all (another TLS
    problem).  The certificate is read again for the message only: the
    refused connection carried nothing."""
    from morvent.lib.certificate import fetch_certificate, normalise_fingerprint, \
        sha256_fingerprint

    pinned = normalise_fingerprint(Globals.controller_cert_sha256)
    timeout = Globals.controller_timeout
    try:
        presented = sha256_fingerprint(fetch_certificate(
            ip, timeout[0] if isinstance(timeout, tuple) else timeout))
    except OSError as e:
        what = f"a certificate that could not be read again ({e})"
    else:
        if presented == pinned:
            return None
        what = f"the certificate with SHA-256 {presented}"
    return (f"the controller at {ip} presents {what}, but the trusted one "
            f"(controller_cert_sha256) is {pinned}: the login of user {user!r} was not sent; "
            "if the controller's certificate was replaced, check the new one and run `morvent "
            "trust-controller` again")


def getCid(ip: str, user: str, password: str | None) -> tuple[str | None, str]:
    """Log in to the controller at ``ip``; return ``(version, CID)``.

    Raises ``ControllerLoginError`` when there is no password, the controller
    cannot be reached, presents a certificate other than the pinned one,
    refuses the login or sends no session id.  When only the version cannot
    be read, the version is None and a warning is logged.
    """
    log = logging.getLogger(__name__)
    if not ip:
        raise ControllerLoginError("no controller address given (controller_ip)")
    if not user:
        raise ControllerLoginError(f"no controller user name given for the controller at {ip}")
    if password is None or password == "":
        raise ControllerLoginError(
            f"no password for controller user {user!r} at {ip}: the environment variable "
            "named by controller_password_env is not set or is empty")
    register_secret(password)
    url = f"https://{ip}/v1/api"
    # The spoke module's own requests go where this login goes, and no further.
    route_native_requests()

    try:
        response = _send_corvane_api(
            api_endpoint_url=url, request_method="POST",
            payload={"action": "login", "username": user, "password": password})
    except OSError as e:  # requests' errors derive from OSError
        raise _unreachable(ip, user, e) from e
    try:
        body = response.json()
    except ValueError:
        raise _login_error(
            f"the controller at {ip} answered the login of user {user!r} with something "
            f"other than JSON (HTTP status {getattr(response, 'status_code', '?')})") from None
    if not isinstance(body, Mapping):
        raise _login_error(f"the controller at {ip} answered the login of user {user!r} "
                           f"with an unexpected value: {body!r}")
    if body.get("return") is not True:
        raise _login_error(f"the controller at {ip} refused the login of user {user!r}: "
                           f"{_reason(body)}")
    cid = body.get("CID")
    if cid is None or cid == "":
        raise _login_error(f"the controller at {ip} accepted the login of user {user!r} "
                           "but sent no session id (CID)")
    register_secret(cid)

    version, problem = None, None
    try:
        answer = _send_corvane_api(api_endpoint_url=url, request_method="GET",
                                   payload={"action": "list_version_info", "CID": cid}).json()
    except (OSError, ValueError) as e:
        problem = request_problem(e, ip)
    else:
        if (isinstance(answer, Mapping) and answer.get("return") is True
                and isinstance(answer.get("results"), Mapping)):
            version = answer["results"].get("current_version")
            if version is None:
                problem = "the answer has no current_version"
        else:
            problem = _reason(answer) if isinstance(answer, Mapping) else repr(answer)
    if problem is not None:
        log.warning("  could not read the controller version at %s: %s", ip,
                    mask_secrets(str(problem)))
    log.info("- logged in to the controller at %s as %s (version %s)", ip, user,
             version if version is not None else "unknown")
    return version, cid
