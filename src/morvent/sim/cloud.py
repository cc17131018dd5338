"""The simulated AWS cloud: a moto server on 127.0.0.1 and clients for it.

moto keeps its state in this process, so every `AwsEndpoint` of a process
shares one cloud.  Stopping an endpoint resets that state, which gives each
simulated world a clean start.  Unless made with ``realistic=False``, the
endpoint adds the EC2 facts moto leaves out (see `ec2_facts`).

moto checks the conditions of a conditional S3 write (`If-Match`,
`If-None-Match: *`) and then carries the write out, in two moves, while the
server answers requests on many threads; S3 does both at once.  The
endpoint carries out one S3 write at a time, so that of two conditional
writes racing for one object exactly one lands, as in S3.
"""

from __future__ import annotations

import contextlib
import functools
import io
import logging
import re
import socket
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator
from urllib.parse import parse_qs

import boto3
import botocore.config
import requests

from . import ec2_facts, indexes
from .patches import SharedPatch
from .throttle import Throttle, ThrottledApp

CREDENTIALS = {
    "aws_access_key_id": "testing",
    "aws_secret_access_key": "testing",
}
DEFAULT_REGION = "us-east-1"
#: The account moto files requests under unless their keys say otherwise.
DEFAULT_ACCOUNT = "123456789012"
#: The role assumed in an added account (`AwsEndpoint.add_account`).
SIM_ROLE = "morvent-sim"
#: Clients of the simulators: CloudWatch's large PutMetricData bodies go
#: uncompressed (moto reads compressed ones wrongly).
_CLIENT_CONFIG = botocore.config.Config(disable_request_compression=True)
#: What an interceptor returns to have the connection closed with no answer.
DROP = "drop"

log = logging.getLogger(__name__)


@dataclass
class AwsRequest:
    """One request to the simulated cloud, as an interceptor sees it."""

    service: str          # "ec2", "s3", ... (from the signature's credential scope)
    operation: str        # "DeleteNatGateway", "PutObject", ...
    method: str
    path: str
    user_agent: str
    status: str | None = None   # at "after": the answer's status line, e.g. "200 OK"
    query: str = ""             # the query string, e.g. "list-type=2&prefix=a%2F"
    #: S3 DeleteObjects: the keys it names (from the request body)
    keys: tuple[str, ...] = ()
    #: Query protocol (EC2, STS, ...): the request's parameters
    params: dict[str, list[str]] = field(default_factory=dict)


Interceptor = Callable[[str, AwsRequest], str | None]


class AwsEndpoint:
    """An AWS API endpoint served by moto in server mode on 127.0.0.1.

    >>> with AwsEndpoint() as aws:
    ...     ec2 = aws.client("ec2")
    """

    def __init__(self, port: int = 0, region: str = DEFAULT_REGION,
                 realistic: bool = True) -> None:
        self.region = region
        self._port = port
        self._server: Any = None
        self._url: str | None = None
        self._clients: dict[tuple[str, str, str], Any] = {}
        self._lock = threading.Lock()
        self._realistic = realistic
        self._exit_stack: contextlib.ExitStack | None = None
        self._interceptors: list[Interceptor] = []
        self._accounts: dict[str, dict[str, str]] = {}
        #: EC2 throttling of the tool's requests (`throttle.set(share=0.2)`), off by default.
        self.throttle = Throttle()

    @property
    def url(self) -> str:
        """The endpoint URL, e.g. "http://127.0.0.1:41234"."""
        if self._url is None:
            raise RuntimeError("the AWS endpoint is not running")
        return self._url

    def start(self) -> "AwsEndpoint":
        if self._url is not None:
            return self
        from moto.server import ThreadedMotoServer

        stack = contextlib.ExitStack()
        stack.enter_context(moto_lookups_cached())
        # werkzeug logs every request at info level on its own handler.
        stack.enter_context(_quiet_logger("werkzeug"))
        stack.enter_context(indexes.patched())
        if self._realistic:
            stack.enter_context(ec2_facts.patched())
        try:
            server = ThreadedMotoServer(ip_address="127.0.0.1", port=self._port,
                                        verbose=False)
            server.start()
        except BaseException:
            stack.close()
            raise
        host, port = server.get_host_and_port()
        # The WSGI server moto made; every request goes through our layer.
        wsgi = server._server
        wsgi.app = _Interception(ThrottledApp(_OneS3RequestAtATime(wsgi.app), self.throttle),
                                 self._current_interceptors)
        self._server = server
        self._exit_stack = stack
        self._url = f"http://{host}:{port}"
        log.debug("simulated AWS endpoint at %s", self._url)
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        try:
            self.reset()
        except requests.RequestException:
            log.warning("could not reset the simulated AWS state", exc_info=True)
        finally:
            self._server.stop()
            self._server = None
            self._url = None
            self._clients.clear()
            if self._exit_stack is not None:
                self._exit_stack.close()
                self._exit_stack = None

    def reset(self) -> None:
        """Forget every resource of the simulated cloud."""
        with requests.Session() as session:
            session.trust_env = False  # never a proxy for our own 127.0.0.1 server
            session.post(self.url + "/moto-api/reset", timeout=30).raise_for_status()
        with self._lock:
            # The keys of the added accounts are gone with the rest.
            self._accounts.clear()
            self._clients = {key: c for key, c in self._clients.items()
                             if key[2] == CREDENTIALS["aws_access_key_id"]}

    def add_interceptor(self, interceptor: Interceptor) -> None:
        """Call `interceptor(moment, request)` twice for every AWS request.

        moment "before": the request has arrived and nothing is done yet;
        "after": the cloud carried it out and the answer is not yet sent
        (`request.status` says what it would be).  Returning DROP closes the
        connection with no answer -- at "before" the request is never carried
        out.  The interceptor runs on the request's own thread and may block
        to hold the client waiting.  One that raises is logged and otherwise
        ignored.
        """
        with self._lock:
            self._interceptors.append(interceptor)

    def remove_interceptor(self, interceptor: Interceptor) -> None:
        with self._lock:
            if interceptor in self._interceptors:
                self._interceptors.remove(interceptor)

    def _current_interceptors(self) -> list[Interceptor]:
        with self._lock:
            return list(self._interceptors)

    def client(self, service: str, region: str | None = None,
               account: str | None = None) -> Any:
        """A boto3 client for `service` bound to this endpoint (cached), in
        `account` when it is an account added with `add_account` (otherwise
        in the default one)."""
        region = region or self.region
        credentials = self.credentials(account)
        key = (service, region, credentials["aws_access_key_id"])
        with self._lock:
            client = self._clients.get(key)
        if client is None:
            client = boto3.session.Session().client(
                service, region_name=region, endpoint_url=self.url, config=_CLIENT_CONFIG,
                **credentials)
            with self._lock:
                client = self._clients.setdefault(key, client)
        return client

    def add_account(self, number: str) -> dict[str, str]:
        """Make `number` an AWS account of its own; the credentials that reach it.

        moto keeps accounts apart by the access key of a request: a role
        assumed in another account gets keys that moto files under it.  The
        credentials are a session of the role ``SIM_ROLE`` there, good until
        the cloud is reset (which forgets the added accounts).
        """
        if number == DEFAULT_ACCOUNT:
            return dict(CREDENTIALS)
        with self._lock:
            known = self._accounts.get(number)
        if known is None:
            answer = self.client("sts").assume_role(
                RoleArn=f"arn:aws:iam::{number}:role/{SIM_ROLE}",
                RoleSessionName="morvent-sim", DurationSeconds=43200)["Credentials"]
            known = {"aws_access_key_id": answer["AccessKeyId"],
                     "aws_secret_access_key": answer["SecretAccessKey"],
                     "aws_session_token": answer["SessionToken"]}
            with self._lock:
                known = self._accounts.setdefault(number, known)
        return dict(known)

    def credentials(self, account: str | None = None) -> dict[str, str]:
        """The credentials of `account`: its own when it was added, else the
        default account's."""
        with self._lock:
            known = self._accounts.get(account) if account is not None else None
        return dict(known or CREDENTIALS)

    def environ(self) -> dict[str, str]:
        """Environment variables that point boto3 of this or a child process here."""
        return {
            "AWS_ENDPOINT_URL": self.url,
            "AWS_ACCESS_KEY_ID": CREDENTIALS["aws_access_key_id"],
            "AWS_SECRET_ACCESS_KEY": CREDENTIALS["aws_secret_access_key"],
            "AWS_DEFAULT_REGION": self.region,
        }

    def __enter__(self) -> "AwsEndpoint":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


class _Interception:
    """WSGI middleware: shows each request to the endpoint's interceptors
    before it is carried out and after, and drops it when one says so."""

    def __init__(self, app: Callable, interceptors: Callable[[], list[Interceptor]]) -> None:
        self.app = app
        self.interceptors = interceptors

    def __call__(self, environ: dict, start_response: Callable) -> Iterable[bytes]:
        interceptors = self.interceptors()
        if not interceptors:
            return self.app(environ, start_response)
        request = describe_request(environ)
        if _verdict(interceptors, "before", request) == DROP:
            _drop(environ)
        answer: list = []
        chunks: list[bytes] = []

        def keep(status: str, headers: list, exc_info: Any = None) -> Callable:
            answer[:] = [status, headers, exc_info]
            return chunks.append

        result = self.app(environ, keep)
        try:
            chunks.extend(result)
        finally:
            if hasattr(result, "close"):
                result.close()
        request.status = answer[0] if answer else None
        if _verdict(interceptors, "after", request) == DROP:
            _drop(environ)
        start_response(*answer)
        return [b"".join(chunks)]


class _OneS3RequestAtATime:
    """WSGI middleware: S3 requests run one after another.

    Writes, so that a conditional write sees the one before it; listings
    too, because moto walks a bucket's keys while another request may be
    deleting one (a lock let go), which raises in the listing and answers
    500.  The tool's S3 requests are few; one at a time costs nothing.
    """

    def __init__(self, app: Callable) -> None:
        self.app = app
        self.lock = threading.Lock()

    def __call__(self, environ: dict, start_response: Callable) -> Iterable[bytes]:
        if "/s3/" not in environ.get("HTTP_AUTHORIZATION", ""):
            return self.app(environ, start_response)
        with self.lock:
            result = self.app(environ, start_response)
            try:
                return [b"".join(result)]
            finally:
                if hasattr(result, "close"):
                    result.close()


def _verdict(interceptors: list[Interceptor], moment: str, request: AwsRequest) -> str | None:
    verdict = None
    for interceptor in interceptors:
        try:
            verdict = interceptor(moment, request) or verdict
        except Exception:
            log.exception("AWS request interceptor failed on %s.%s", request.service,
                          request.operation)
    return verdict


def _drop(environ: dict) -> None:
    """Close the client's connection with no answer.

    The server takes a ConnectionError out of the application for a client
    that went away, and sends nothing more.
    """
    conn = environ.get("werkzeug.socket")
    if conn is not None:
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
    raise ConnectionAbortedError("request dropped by an interceptor")


_CREDENTIAL = re.compile(r"Credential=[^/,]+/[^/,]+/[^/,]+/([^/,]+)/")
_S3_OPERATIONS = {
    # (method, object key given, query marker): operation
    ("GET", True, None): "GetObject", ("HEAD", True, None): "HeadObject",
    ("PUT", True, None): "PutObject", ("DELETE", True, None): "DeleteObject",
    ("GET", False, "list-type"): "ListObjectsV2", ("GET", False, None): "ListObjects",
    ("HEAD", False, None): "HeadBucket", ("PUT", False, None): "CreateBucket",
    ("DELETE", False, None): "DeleteBucket", ("POST", False, "delete"): "DeleteObjects",
    ("GET", False, "versions"): "ListObjectVersions",
    ("GET", False, "versioning"): "GetBucketVersioning",
    ("PUT", False, "versioning"): "PutBucketVersioning",
    ("GET", False, "location"): "GetBucketLocation",
}


def describe_request(environ: dict) -> AwsRequest:
    """Service and operation of a WSGI request to the simulated cloud.

    The service comes from the signature's credential scope; the operation
    from the "Action" form field (query protocol: EC2, STS, ...), the
    X-Amz-Target header (JSON protocol), the path (RPC v2: .../operation/Name)
    or, for S3, from the method and path.  The form body is read and put back.
    """
    method = environ.get("REQUEST_METHOD", "GET")
    path = environ.get("PATH_INFO", "/")
    match = _CREDENTIAL.search(environ.get("HTTP_AUTHORIZATION", ""))
    service = match.group(1) if match else "?"
    operation = ""
    target = environ.get("HTTP_X_AMZ_TARGET", "")
    params: dict[str, list[str]] = {}
    if target:
        operation = target.rsplit(".", 1)[-1]
    elif "/operation/" in path:
        operation = path.rsplit("/", 1)[-1]
    elif service == "s3":
        operation = _s3_operation(method, path, environ.get("QUERY_STRING", ""), environ)
    else:
        params = _form(environ)
        operation = params.get("Action", [""])[0]
    keys = _deleted_keys(environ) if operation == "DeleteObjects" else ()
    return AwsRequest(service, operation or method, method, path,
                      environ.get("HTTP_USER_AGENT", ""), query=environ.get("QUERY_STRING", ""),
                      keys=keys, params=params)


def _body(environ: dict) -> bytes:
    """The request body, read and put back for the application."""
    try:
        length = int(environ.get("CONTENT_LENGTH") or 0)
    except ValueError:
        return b""
    body = environ["wsgi.input"].read(length) if length > 0 else b""
    environ["wsgi.input"] = io.BytesIO(body)
    return body


_DELETED_KEY = re.compile(rb"<Key>(.*?)</Key>", re.DOTALL)


def _deleted_keys(environ: dict) -> tuple[str, ...]:
    from xml.sax.saxutils import unescape

    return tuple(unescape(key.decode("utf-8", "replace"))
                 for key in _DELETED_KEY.findall(_body(environ)))


def _form(environ: dict) -> dict[str, list[str]]:
    """The parameters of a query-protocol request (EC2, STS, ...): query string and form body."""
    fields = parse_qs(environ.get("QUERY_STRING", ""))
    if "x-www-form-urlencoded" in environ.get("CONTENT_TYPE", ""):
        for name, values in parse_qs(_body(environ).decode("utf-8", "replace")).items():
            fields.setdefault(name, []).extend(values)
    return fields


#: Query parameters that make an S3 request one on a sub-resource of the bucket
#: or object (versioning, tags, ...): named "<method> ?<marker>" unless listed above.
_S3_SUBRESOURCES = ("acl", "attributes", "cors", "encryption", "legal-hold", "lifecycle",
                    "location", "logging", "notification", "object-lock", "ownershipControls",
                    "policy", "publicAccessBlock", "replication", "retention", "tagging",
                    "uploadId", "uploads", "versioning", "versions", "website")


def _s3_operation(method: str, path: str, query: str, environ: dict) -> str:
    has_key = "/" in path.strip("/")
    fields = parse_qs(query, True)
    marker = next((m for m in ("list-type", "delete") if m in fields), None)
    if marker is None:
        marker = next((m for m in _S3_SUBRESOURCES if m in fields), None)
        if marker is not None:
            return _S3_OPERATIONS.get((method, has_key, marker), f"{method} ?{marker}")
    if method == "PUT" and has_key and environ.get("HTTP_X_AMZ_COPY_SOURCE"):
        return "CopyObject"
    return _S3_OPERATIONS.get((method, has_key, marker)) or \
        _S3_OPERATIONS.get((method, has_key, None), "")


@contextlib.contextmanager
def _quiet_logger(name: str) -> Iterator[None]:
    logger = logging.getLogger(name)
    level = logger.level
    logger.setLevel(logging.WARNING)
    try:
        yield
    finally:
        logger.setLevel(level)


_uncached: dict[str, Any] = {}


def _cache_lookups() -> None:
    import moto.backends
    import moto.core.responses

    modules = tuple(moto.backends.list_of_moto_modules())
    names = moto.core.responses.method_names_from_class
    _uncached.update(modules=moto.backends.list_of_moto_modules, names=names)
    moto.backends.list_of_moto_modules = lambda: modules
    moto.core.responses.method_names_from_class = functools.lru_cache(maxsize=None)(names)


def _uncache_lookups() -> None:
    import moto.backends
    import moto.core.responses

    moto.backends.list_of_moto_modules = _uncached.pop("modules")
    moto.core.responses.method_names_from_class = _uncached.pop("names")


#: ``with moto_lookups_cached():`` two of moto's look-ups of every request
#: come from a cache.  moto's server lists its own package folder (a stat of
#: each of its hundreds of modules) to route a request, and lists the methods
#: of the answering class, on every request: a third of the time it takes to
#: answer one.  Neither answer changes while the process runs.
moto_lookups_cached = SharedPatch(_cache_lookups, _uncache_lookups)
