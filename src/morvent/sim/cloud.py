"""The simulated AWS cloud: a moto server on 127.0.0.1 and clients for it.

moto keeps its state in this process, so every `AwsEndpoint` of a process
shares one cloud.  Stopping an endpoint resets that state, which gives each
simulated world a clean start.
"""

from __future__ import annotations

import contextlib
import logging
import threading
from typing import Any, Iterator

import boto3
import requests

CREDENTIALS = {
    "aws_access_key_id": "testing",
    "aws_secret_access_key": "testing",
}
DEFAULT_REGION = "us-east-1"

log = logging.getLogger(__name__)


class AwsEndpoint:
    """An AWS API endpoint served by moto in server mode on 127.0.0.1.

    >>> with AwsEndpoint() as aws:
    ...     ec2 = aws.client("ec2")
    """

    def __init__(self, port: int = 0, region: str = DEFAULT_REGION,
                 release_eips_on_nat_delete: bool = True) -> None:
        self.region = region
        self._port = port
        self._server: Any = None
        self._url: str | None = None
        self._clients: dict[tuple[str, str], Any] = {}
        self._lock = threading.Lock()
        self._patch_nat_delete = release_eips_on_nat_delete
        self._exit_stack: contextlib.ExitStack | None = None

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
        # werkzeug logs every request at info level on its own handler.
        stack.enter_context(_quiet_logger("werkzeug"))
        if self._patch_nat_delete:
            stack.enter_context(nat_delete_releases_eips())
        try:
            server = ThreadedMotoServer(ip_address="127.0.0.1", port=self._port,
                                        verbose=False)
            server.start()
        except BaseException:
            stack.close()
            raise
        host, port = server.get_host_and_port()
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

    def client(self, service: str, region: str | None = None) -> Any:
        """A boto3 client for `service` bound to this endpoint (cached)."""
        region = region or self.region
        key = (service, region)
        with self._lock:
            if key not in self._clients:
                self._clients[key] = boto3.session.Session().client(
                    service, region_name=region, endpoint_url=self.url, **CREDENTIALS)
            return self._clients[key]

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


@contextlib.contextmanager
def _quiet_logger(name: str) -> Iterator[None]:
    logger = logging.getLogger(name)
    level = logger.level
    logger.setLevel(logging.WARNING)
    try:
        yield
    finally:
        logger.setLevel(level)


_patch_lock = threading.Lock()
_patch_users = 0
_original_delete: Any = None


@contextlib.contextmanager
def nat_delete_releases_eips() -> Iterator[None]:
    """Make moto free a NAT gateway's Elastic IP when the gateway is deleted.

    AWS disassociates the address once a NAT gateway is deleted; moto keeps it
    associated with the gateway's network interface for ever.  Code that waits
    for the address to come free would never finish against plain moto.
    """
    global _patch_users, _original_delete
    from moto.ec2.models.nat_gateways import NatGatewayBackend

    with _patch_lock:
        if _patch_users == 0:
            _original_delete = NatGatewayBackend.delete_nat_gateway
            original = _original_delete

            def delete_nat_gateway(self: Any, nat_gateway_id: str) -> Any:
                nat = original(self, nat_gateway_id)
                eni = getattr(nat, "_eni", None)
                for eip in list(getattr(self, "addresses", [])):
                    if eni is not None and getattr(eip, "eni", None) is eni:
                        self.disassociate_address(address=eip.public_ip)
                return nat

            NatGatewayBackend.delete_nat_gateway = delete_nat_gateway
        _patch_users += 1
    try:
        yield
    finally:
        with _patch_lock:
            _patch_users -= 1
            if _patch_users == 0:
                NatGatewayBackend.delete_nat_gateway = _original_delete
                _original_delete = None
