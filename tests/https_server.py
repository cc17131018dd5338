"""A tiny HTTPS server on 127.0.0.1 for tests, with a self-signed certificate.

    with HttpsServer(handler) as server:
        requests.get(server.url + "/v1/api", params=..., verify=False)
        server.requests  # what arrived, as Request records

``handler(request)`` returns ``(status, body)``: a dict or list body is sent
as JSON, a str or bytes body as it is.  With ``keep_alive=True`` the server
speaks HTTP/1.1 and keeps connections open between requests;
``server.connections`` counts the connections it accepted.  The certificate is made when the
server starts (with ``cryptography``) and is valid for 127.0.0.1 only.
"""

from __future__ import annotations

import dataclasses
import datetime
import ipaddress
import json
import os
import ssl
import tempfile
import threading
import urllib.parse
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


@dataclasses.dataclass
class Request:
    """One request as the server saw it; query and form are lists of (name, value)."""

    method: str
    path: str
    query: list[tuple[str, str]]
    form: list[tuple[str, str]]
    headers: dict[str, str]

    @property
    def query_dict(self) -> dict[str, str]:
        return dict(self.query)

    @property
    def form_dict(self) -> dict[str, str]:
        return dict(self.form)


Handler = Callable[[Request], "tuple[int, Any]"]


def make_self_signed_certificate(folder: str) -> tuple[str, str]:
    """Write a certificate and key for 127.0.0.1 into ``folder``; return their paths."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder()
            .subject_name(name).issuer_name(name)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False)
            .sign(key, hashes.SHA256()))
    cert_path = os.path.join(folder, "cert.pem")
    key_path = os.path.join(folder, "key.pem")
    with open(cert_path, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(key_path, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    return cert_path, key_path


class HttpsServer:
    """An HTTPS server on 127.0.0.1 and a free port, serving ``handler`` in a thread."""

    def __init__(self, handler: Handler, keep_alive: bool = False):
        self.handler = handler
        self.keep_alive = keep_alive
        self.connections = 0
        self.requests: list[Request] = []
        self._server: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self._folder: tempfile.TemporaryDirectory | None = None

    @property
    def address(self) -> str:
        """"127.0.0.1:<port>", the way a controller address is configured."""
        assert self._server is not None, "server not started"
        return f"127.0.0.1:{self._server.server_address[1]}"

    @property
    def url(self) -> str:
        return f"https://{self.address}"

    @property
    def cert_path(self) -> str:
        """The server's certificate (PEM): a CA bundle that trusts this server."""
        assert self._folder is not None, "server not started"
        return os.path.join(self._folder.name, "cert.pem")

    def start(self) -> "HttpsServer":
        self._folder = tempfile.TemporaryDirectory()
        cert, key = make_self_signed_certificate(self._folder.name)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), self._request_handler_class())
        self._server.daemon_threads = True
        self._server.socket = context.wrap_socket(self._server.socket, server_side=True)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True,
                                        name="test-https-server")
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        if self._thread is not None:
            self._thread.join(timeout=5)
            self._thread = None
        if self._folder is not None:
            self._folder.cleanup()
            self._folder = None

    def __enter__(self) -> "HttpsServer":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _request_handler_class(self) -> type[BaseHTTPRequestHandler]:
        server = self

        class RequestHandler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1" if server.keep_alive else "HTTP/1.0"

            def setup(self) -> None:
                server.connections += 1
                super().setup()

            def _serve(self) -> None:
                split = urllib.parse.urlsplit(self.path)
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length).decode("utf-8") if length else ""
                request = Request(
                    method=self.command, path=split.path,
                    query=urllib.parse.parse_qsl(split.query, keep_blank_values=True),
                    form=urllib.parse.parse_qsl(raw, keep_blank_values=True),
                    headers=dict(self.headers.items()))
                server.requests.append(request)
                status, body = server.handler(request)
                if isinstance(body, (dict, list)):
                    data, kind = json.dumps(body).encode(), "application/json"
                else:
                    data = body if isinstance(body, bytes) else str(body).encode()
                    kind = "text/plain"
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", kind)
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data)
                except (ConnectionError, ssl.SSLError):
                    pass  # the client gave up waiting (a test of its timeout)

            do_GET = do_POST = do_PUT = do_DELETE = _serve

            def log_message(self, format: str, *args: Any) -> None:
                pass  # keep test output clean

        return RequestHandler
