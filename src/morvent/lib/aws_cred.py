"""AWS clients for the configured account and region."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

import boto3
import botocore.config
import botocore.exceptions

from morvent.core.config import Config, ConfigError, as_config

# Standard retry mode: exponential back-off with jitter on throttling and
# transient errors, the same for every client of a run.
CLIENT_CONFIG = botocore.config.Config(retries={"mode": "standard"})


class AwsClientManager:
    """Hands out one client per AWS service, made on first use.

    Credentials come from boto3's usual chain: the profile named by
    ``aws_profile`` when set, else the environment, shared files or the
    instance role.  ``aws_endpoint_url`` sends every client to one endpoint
    (a local simulated cloud) instead of AWS.
    """

    def __init__(self, config: Config | Mapping | str | os.PathLike):
        self.config = as_config(config)
        self._session: boto3.session.Session | None = None
        self._clients: dict[str, Any] = {}

    @property
    def region(self) -> str:
        return self.config.region

    def _get_session(self) -> boto3.session.Session:
        if self._session is None:
            try:
                self._session = boto3.session.Session(profile_name=self.config.aws_profile,
                                                      region_name=self.config.region)
            except botocore.exceptions.ProfileNotFound:
                raise ConfigError(self.config.source, "aws_profile",
                                  f"no AWS profile named {self.config.aws_profile!r} in the "
                                  "AWS configuration files") from None
        return self._session

    def client(self, service: str) -> Any:
        """The client of ``service`` (an AWS service name), made once."""
        client = self._clients.get(service)
        if client is None:
            client = self._get_session().client(service, region_name=self.config.region,
                                                endpoint_url=self.config.aws_endpoint_url,
                                                config=CLIENT_CONFIG)
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
