"""A simulated controller: the REST API over HTTPS on 127.0.0.1.

    with ControllerSimulator(aws=endpoint, users={"admin": "pw"}) as sim:
        url = f"https://{sim.address}/v1/api"

Requests are form-encoded (POST body, GET query string or GET body) and
answered with JSON.  Every request is recorded in `sim.requests`; faults and
latency are programmed with `sim.inject()` and `sim.set_latency()`.
"""

from __future__ import annotations

import json
import logging
import shutil
import socket
import ssl
import tempfile
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable
from urllib.parse import parse_qsl, urlsplit

from . import tls
from .actions import ControllerState
from .faults import GARBLED_ANSWER, Fault, FaultPlan
from .gateways import Gateway, GatewayCloud

API_PATHS = ("/v1/api", "/v2/api")
DEFAULT_USERS = {"admin": "corvane-sim"}
DEFAULT_VERSION = "7.2.4996"
SECRET_FIELDS = ("password",)
MAX_BODY = 1 << 20
#: What an interceptor returns to have the connection closed with no answer.
DROP = "drop"

log = logging.getLogger(__name__)


@dataclass
class RecordedRequest:
    """One request as the controller saw it (secrets masked)."""

    action: str | None
    method: str
    path: str
    fields: dict[str, str]
    time: float
    query: dict[str, str] = field(default_factory=dict)
    body: dict[str, str] = field(default_factory=dict)
    status: int | None = None
    answer: dict | None = None
    fault: str | None = None
    #: The VPC the request is for, when it names the VPC or a gateway the
    #: controller knows.
    vpc_id: str | None = None


Interceptor = Callable[[str, RecordedRequest, dict | None], str | None]


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address: tuple[str, int], handler: type, sim: "ControllerSimulator",
                 context: ssl.SSLContext) -> None:
        self.sim = sim
        self.context = context
        #: Set by stop(): requests held by a "hang" fault let go at once.
        self.stopping = threading.Event()
        self._held: set[threading.Thread] = set()
        self._held_lock = threading.Lock()
        super().__init__(address, handler)

    def hold(self, seconds: float) -> None:
        """Keep the calling request thread waiting `seconds`, or until stop()."""
        with self._held_lock:
            self._held = {t for t in self._held if t.is_alive()}
            self._held.add(threading.current_thread())
        self.stopping.wait(seconds)

    def release_held(self, timeout: float = 10.0) -> None:
        """Let every held request go and wait for its thread to end."""
        self.stopping.set()
        with self._held_lock:
            held, self._held = self._held, set()
        for thread in held:
            if thread is not threading.current_thread():
                thread.join(timeout)

    def finish_request(self, request: socket.socket, client_address: Any) -> None:
        # The TLS handshake runs here, in the request's own thread, so a slow
        # or broken client cannot stall the accept loop.
        request.settimeout(60)
        try:
            conn = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as err:
            log.debug("TLS handshake with %s failed: %s", client_address, err)
            return
        try:
            super().finish_request(conn, client_address)
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def handle_error(self, request: Any, client_address: Any) -> None:
        log.debug("request from %s failed", client_address, exc_info=True)


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    server_version = "CorvaneSim/1.0"

    def do_GET(self) -> None:
        self._serve()

    def do_POST(self) -> None:
        self._serve()

    def _method_not_allowed(self) -> None:
        self._send_json(405, {"return": False, "reason": f"Method {self.command} is not allowed"})

    do_PUT = do_DELETE = do_PATCH = _method_not_allowed

    def log_message(self, format: str, *args: Any) -> None:
        log.debug("%s %s", self.address_string(), format % args)

    def _serve(self) -> None:
        sim = self.server.sim
        url = urlsplit(self.path)
        path = url.path.rstrip("/") or "/"
        query = dict(parse_qsl(url.query, keep_blank_values=True))
        body, problem = self._read_body()
        fields = {**query, **body}
        record = sim._record(RecordedRequest(
            action=fields.get("action"), method=self.command, path=path,
            fields=_masked(fields), query=_masked(query), body=_masked(body), time=time.time()))
        if path not in API_PATHS:
            self._answer(record, 404, {"return": False, "reason": f"Not found: {path}"})
            return
        if problem:
            self._answer(record, 400, {"return": False, "reason": problem})
            return
        record.vpc_id = sim.vpc_of(fields)
        if sim._intercept("before", record, None) == DROP:
            self._drop(record)
            return
        hit = sim.faults.hit(record.action or "", record.vpc_id)
        if hit.delay:
            time.sleep(hit.delay)
        if hit.mode and not hit.after:
            self._fault(record, hit.mode, hit.reason, hit.hold)
            return
        answer = sim._handle(record.action, fields)
        sim._notify(record, answer)
        if sim._intercept("after", record, answer) == DROP:
            self._drop(record)
            return
        if hit.mode:
            self._fault(record, hit.mode, hit.reason, hit.hold)
            return
        self._answer(record, 200, answer)

    def _read_body(self) -> tuple[dict[str, str], str | None]:
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            return {}, "Bad Content-Length"
        if length <= 0:
            return {}, None
        if length > MAX_BODY:
            return {}, "Request body too large"
        raw = self.rfile.read(length)
        ctype = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        if ctype not in ("", "application/x-www-form-urlencoded"):
            return {}, f"Expected a form-encoded request (application/x-www-form-urlencoded), not {ctype}"
        return dict(parse_qsl(raw.decode("utf-8", "replace"), keep_blank_values=True)), None

    def _fault(self, record: RecordedRequest, mode: str, reason: str | None,
               hold: float = 0.0) -> None:
        record.fault = mode
        if mode == "fail":
            self._answer(record, 200, {
                "return": False,
                "reason": reason or f"Simulated failure of {record.action}"})
        elif mode == "http500":
            record.status = 500
            body = b"<html><body><h1>500 Internal Server Error</h1></body></html>"
            self.send_response(500)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif mode == "garbled":
            self._answer(record, 200, dict(GARBLED_ANSWER))
        elif mode == "hang":
            # No answer at all, for a while; then the connection is closed.
            self.server.hold(hold)
            self.close_connection = True
        else:  # drop: close the connection without a word
            self.close_connection = True

    def _drop(self, record: RecordedRequest) -> None:
        """Close the connection without a word, as an interceptor asked."""
        record.fault = "intercepted"
        self.close_connection = True

    def _answer(self, record: RecordedRequest, status: int, answer: dict) -> None:
        if (self.server.sim.failures_carry_results and answer.get("return") is False
                and "results" not in answer):
            answer = {**answer, "results": answer.get("reason")}
        record.status = status
        record.answer = answer
        self._send_json(status, answer)

    def _send_json(self, status: int, answer: dict) -> None:
        body = json.dumps(answer).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def _masked(fields: dict[str, str]) -> dict[str, str]:
    return {k: ("********" if k in SECRET_FIELDS else v) for k, v in fields.items()}


class ControllerSimulator:
    """The controller's REST API with state, coupled to a simulated cloud.

    `aws` is an `AwsEndpoint` (or anything with `client(service, region)`);
    without it, logins, accounts and queries work but gateways cannot be made.
    """

    def __init__(self, aws: Any = None, *, users: dict[str, str] | None = None,
                 version: str = DEFAULT_VERSION, port: int = 0,
                 session_ttl: float | None = None) -> None:
        cloud = GatewayCloud(lambda region, account=None: aws.client("ec2", region, account)) \
            if aws is not None else None
        self.state = ControllerState(cloud, users or DEFAULT_USERS, version, session_ttl)
        self.faults = FaultPlan()
        #: Failure answers carry the reason under "results" too, as some
        #: controller versions send them.
        self.failures_carry_results = False
        self._port = port
        self._lock = threading.RLock()
        self._records: list[RecordedRequest] = []
        self._observers: list[Callable[[RecordedRequest, dict], None]] = []
        self._interceptors: list[Interceptor] = []
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._tmpdir: str | None = None
        #: The certificate served (PEM) while running, in a folder of its own.
        self.cert_path: str | None = None
        # (certificate, key), PEM: made once and kept across restarts, as a
        # controller keeps its certificate when it comes back.
        self._pem: tuple[bytes, bytes] | None = None

    # -- life cycle ------------------------------------------------------------

    def start(self) -> "ControllerSimulator":
        if self._server is not None:
            return self
        self._tmpdir = tempfile.mkdtemp(prefix="corvane-sim-")
        try:
            self.cert_path, key_path = tls.write_pair(self._tmpdir, *self._certificate())
            context = tls.server_context(self.cert_path, key_path)
            self._server = _Server(("127.0.0.1", self._port), _Handler, self, context)
        except BaseException:
            shutil.rmtree(self._tmpdir, ignore_errors=True)
            self._tmpdir = self.cert_path = None
            raise
        # A start after stop() comes back on the same address.
        self._port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1},
                                        name="controller-sim", daemon=True)
        self._thread.start()
        log.debug("simulated controller at https://%s", self.address)
        return self

    def stop(self) -> None:
        """Stop serving, as a controller that goes down: requests held by a
        "hang" fault are let go first.  The state (gateways, accounts,
        sessions) is kept, and start() brings the controller back on the
        same address, its sessions still valid.  May be called from an
        observer; the request being served still gets its answer."""
        if self._server is None:
            return
        self._server.stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._server.release_held()
        if self._thread is not None:
            self._thread.join(timeout=10)
        self._server = self._thread = None
        if self._tmpdir:
            shutil.rmtree(self._tmpdir, ignore_errors=True)
        self._tmpdir = self.cert_path = None

    def _certificate(self) -> tuple[bytes, bytes]:
        if self._pem is None:
            self._pem = tls.make_self_signed()
        return self._pem

    @property
    def cert_sha256(self) -> str:
        """SHA-256 fingerprint of the certificate served ("AB:CD:..."), what a
        configuration pins; the same after a restart."""
        return tls.fingerprint(self._certificate()[0])

    def replace_certificate(self) -> None:
        """Serve a new certificate from the next start() on: a controller whose
        certificate was replaced, or another server answering at its address."""
        self._pem = None

    def __enter__(self) -> "ControllerSimulator":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def address(self) -> str:
        """"127.0.0.1:PORT", the controller address clients are configured with."""
        if self._server is None:
            raise RuntimeError("the simulated controller is not running")
        host, port = self._server.server_address[:2]
        return f"{host}:{port}"

    def url(self, version: int = 1) -> str:
        return f"https://{self.address}/v{version}/api"

    # -- requests ----------------------------------------------------------------

    def _record(self, record: RecordedRequest) -> RecordedRequest:
        with self._lock:
            self._records.append(record)
        return record

    def _handle(self, action: str | None, fields: dict[str, str]) -> dict:
        try:
            with self._lock:
                answer = self.state.handle(action, fields)
        except Exception as err:
            # A fault of the simulator itself: say so loudly, answer like a
            # controller with an internal error.
            log.exception("simulated controller failed on %s", action)
            return {"return": False, "reason": f"Internal error: {type(err).__name__}: {err}"}
        if answer.get("return") is False:
            log.info("controller refused %s: %s", action, answer.get("reason"))
        return answer

    def add_observer(self, observer: Callable[[RecordedRequest, dict], None]) -> None:
        """Call `observer(record, answer)` after every action the controller
        carries out, before the answer goes back: the client is still waiting,
        so the observer sees the state that this very request left behind.

        An observer that raises is logged and otherwise ignored.
        """
        with self._lock:
            self._observers.append(observer)

    def remove_observer(self, observer: Callable[[RecordedRequest, dict], None]) -> None:
        with self._lock:
            if observer in self._observers:
                self._observers.remove(observer)

    def _notify(self, record: RecordedRequest, answer: dict) -> None:
        with self._lock:
            observers = list(self._observers)
        for observer in observers:
            try:
                observer(record, answer)
            except Exception:
                log.exception("request observer failed on %s", record.action)

    def add_interceptor(self, interceptor: Interceptor) -> None:
        """Call `interceptor(moment, record, answer)` twice for every API request.

        moment "before": the request has arrived and nothing is done yet
        (answer None); "after": the action is carried out (after the
        observers) and its answer not yet sent.  Returning DROP closes the
        connection with no answer -- at "before" the action is never carried
        out.  The interceptor runs on the request's own thread, so it may
        block to hold the client waiting.  One that raises is logged and
        otherwise ignored.
        """
        with self._lock:
            self._interceptors.append(interceptor)

    def remove_interceptor(self, interceptor: Interceptor) -> None:
        with self._lock:
            if interceptor in self._interceptors:
                self._interceptors.remove(interceptor)

    def _intercept(self, moment: str, record: RecordedRequest, answer: dict | None) -> str | None:
        with self._lock:
            interceptors = list(self._interceptors)
        verdict = None
        for interceptor in interceptors:
            try:
                verdict = interceptor(moment, record, answer) or verdict
            except Exception:
                log.exception("request interceptor failed on %s", record.action)
        return verdict

    @property
    def requests(self) -> list[RecordedRequest]:
        """Every request so far, oldest first."""
        with self._lock:
            return list(self._records)

    def calls(self, action: str) -> list[RecordedRequest]:
        return [r for r in self.requests if r.action == action]

    def actions(self) -> list[str | None]:
        return [r.action for r in self.requests]

    def clear_requests(self) -> None:
        with self._lock:
            self._records.clear()

    # -- faults --------------------------------------------------------------------

    def inject(self, action: str, nth: int = 1, mode: str = "fail", *,
               reason: str | None = None, delay: float = 0.0, after: bool = False,
               vpc_id: str | None = None) -> Fault:
        """Make the `nth` call of `action`, counted from now, go wrong.

        See `FaultPlan.inject` for the modes ("fail", "http500", "drop",
        "delay", "garbled", "hang"); `faults.parse_fault` reads them from a
        short text.  With after=True the action is carried out and only its
        answer is spoiled.  With `vpc_id`, only the calls for that VPC count
        (see `vpc_of`).
        """
        return self.faults.inject(action, nth, mode, reason=reason, delay=delay, after=after,
                                  vpc_id=vpc_id)

    def vpc_of(self, fields: dict[str, str]) -> str | None:
        """The VPC a request is for: the one it names, or the one of the
        gateway it names, when the controller knows that gateway."""
        if fields.get("vpc_id"):
            return fields["vpc_id"]
        with self._lock:
            for key in ("gw_name", "gateway_name", "primary_gw_name"):
                gw = self.state.gateways.get(fields.get(key) or "")
                if gw is not None:
                    return gw.vpc_id
        return None

    def set_latency(self, seconds: float, action: str | None = None) -> None:
        self.faults.set_latency(seconds, action)

    def reset_faults(self) -> None:
        self.faults.reset()

    # -- state -----------------------------------------------------------------------

    def login(self, username: str | None = None, password: str | None = None) -> str:
        """A session id, as a login over the API would give (not recorded)."""
        with self._lock:
            if username is None:
                username, password = next(iter(self.state.users.items()))
            answer = self.state.handle("login", {"username": username, "password": password or ""})
        if not answer["return"]:
            raise ValueError(answer["reason"])
        return answer["CID"]

    def reset(self) -> None:
        """Forget every gateway, account, session, fault and recorded request,
        as a freshly installed controller (the cloud is left alone)."""
        with self._lock:
            self.state.gateways.clear()
            self.state.accounts.clear()
            self.state.sessions.clear()
            self._records.clear()
        self.faults.reset()
        self.failures_carry_results = False

    def expire_sessions(self) -> None:
        """End every session, as a controller restart or time-out would."""
        with self._lock:
            self.state.sessions.clear()

    def add_account(self, account_name: str, account_number: str = "123456789012") -> None:
        with self._lock:
            answer = self.state.handle("setup_account_profile", {
                "account_name": account_name, "cloud_type": "1",
                "aws_account_number": account_number}, trusted=True)
        if not answer["return"]:
            raise ValueError(answer["reason"])

    @property
    def gateways(self) -> dict[str, Gateway]:
        """The gateways the controller knows, by name (live objects: read only)."""
        with self._lock:
            return dict(self.state.gateways)
