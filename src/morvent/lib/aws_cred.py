"""AWS clients for the configured account and region.

A boto3 client reads its service's model files when it is made, which costs
far more CPU time than most of the requests a run sends with it.  So every
manager of the same configuration in a process -- the command line's (lock,
backup) and the migration's own -- shares one session and one client per
service: a small process-wide cache keyed by what a client depends on (the
profile, the region, the endpoint, and the environment that supplies
credentials, AWS settings and proxies).  boto3 clients are thread-safe; a
session is not, so sessions and clients are made under a lock.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from collections.abc import Mapping
from typing import Any

import boto3
import botocore.config
import botocore.exceptions

from morvent import __version__
from morvent.core.config import Config, ConfigError, as_config
from morvent.core.schema import excerpt

#: Named in the user agent of every AWS request, so that CloudTrail (its
#: userAgent field) and the simulated cloud tell the tool's requests apart.
USER_AGENT = f"morvent/{__version__}"
#: The SDK's adaptive retry mode: exponential back-off with jitter on
#: throttling and transient errors (as the standard mode), and, once AWS
#: throttles, a client-side rate that follows what AWS lets through.  A
#: fleet runs many VPCs of one account and region at once, and EC2 limits
#: the request rate per account and region.
RETRY_MODE = "adaptive"
#: Attempts of one request in all, the first included (the SDK's own
#: default is 3).  Back-off waits up to 2, 4, 8, 16 and then 20 s between
#: them, so a request gives up after about a minute of throttling.
MAX_ATTEMPTS = 8

#: Most configurations whose session and clients are kept (oldest dropped first).
CACHED_CONFIGURATIONS = 4
#: Environment variables, besides every AWS_* one, that a client depends on.
_PROXY_VARIABLES = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY")

_lock = threading.RLock()
#: (profile, region, endpoint, environment) -> _Shared, most recently used last.
_shared: OrderedDict[tuple, "_Shared"] = OrderedDict()


class _Shared:
    """The session of one configuration and the clients made from it."""

    def __init__(self, session: boto3.session.Session):
        self.session = session
        self.clients: dict[str, Any] = {}


def _environment() -> tuple:
    """The environment variables that decide credentials, AWS settings and proxies."""
    return tuple(sorted((name, value) for name, value in os.environ.items()
                        if name.upper().startswith("AWS_")
                        or name.upper() in _PROXY_VARIABLES))


def client_config(session: boto3.session.Session) -> botocore.config.Config:
    """The settings of every client: the user agent, and retries in
    RETRY_MODE with at most MAX_ATTEMPTS attempts, unless the AWS settings
    in use say otherwise (AWS_RETRY_MODE and AWS_MAX_ATTEMPTS, or retry_mode
    and max_attempts in the profile), as for the AWS CLI."""
    try:
        profile = session._session.get_scoped_config()
    except (AttributeError, botocore.exceptions.BotoCoreError):
        profile = {}

    def setting(name: str) -> str | None:
        # Only what the user set: the SDK's own defaults are not ours.
        return os.environ.get(f"AWS_{name.upper()}") or profile.get(name)

    attempts = setting("max_attempts")
    retries = {"mode": setting("retry_mode") or RETRY_MODE,
               "total_max_attempts": int(attempts) if attempts and attempts.isdigit()
               and int(attempts) > 0 else MAX_ATTEMPTS}
    return botocore.config.Config(retries=retries, user_agent_extra=USER_AGENT)


def clear_client_cache() -> None:
    """Forget every shared session and client (the next manager makes new ones)."""
    with _lock:
        _shared.clear()


class AwsClientManager:
    """Hands out one client per AWS service, made on first use.

    Managers of the same configuration share their clients (see above).
    Credentials come from boto3's usual chain: the profile named by
    ``aws_profile`` when set, else the environment, shared files or the
    instance role.  ``aws_endpoint_url`` sends every client to one endpoint
    (a local simulated cloud) instead of AWS.
    """

    def __init__(self, config: Config | Mapping | str | os.PathLike):
        self.config = as_config(config)
        self._shared: _Shared | None = None
        self._clients: dict[str, Any] = {}

    @property
    def region(self) -> str:
        return self.config.region

    def _get_shared(self) -> _Shared:
        """The session and clients of this configuration, shared in the process."""
        if self._shared is None:
            config = self.config
            key = (config.aws_profile, config.region, config.aws_endpoint_url, _environment())
            with _lock:
                shared = _shared.get(key)
                if shared is None:
                    try:
                        session = boto3.session.Session(profile_name=config.aws_profile,
                                                        region_name=config.region)
                    except botocore.exceptions.ProfileNotFound:
                        raise ConfigError(config.source, "aws_profile",
                                          f"no AWS profile named {excerpt(config.aws_profile)} "
                                          "in the AWS configuration files") from None
                    shared = _shared[key] = _Shared(session)
                    while len(_shared) > CACHED_CONFIGURATIONS:
                        _shared.popitem(last=False)
                else:
                    _shared.move_to_end(key)
            self._shared = shared
        return self._shared

    def _get_session(self) -> boto3.session.Session:
        return self._get_shared().session

    def client(self, service: str) -> Any:
        """The client of ``service`` (an AWS service name), made once per configuration."""
        client = self._clients.get(service)
        if client is None:
            shared = self._get_shared()
            with _lock:
                client = shared.clients.get(service)
                if client is None:
                    try:
                        client = shared.session.client(
                            service, region_name=self.config.region,
                            endpoint_url=self.config.aws_endpoint_url,
                            config=client_config(shared.session))
                    except botocore.exceptions.InvalidRegionError:
                        raise ConfigError(self.config.source, "region",
                                          f"{excerpt(self.config.region)} is not a region "
                                          "name AWS accepts") from None
                    shared.clients[service] = client
            self._clients[service] = client
        return client

    def getEc2Client(self) -> Any:
        return self.client("ec2")

    def getCwClient(self) -> Any:
        return self.client("cloudwatch")

    def getS3Client(self) -> Any:
        return self.client("s3")

    def getStsClient(self) -> Any:
        return self.client("sts")
