"""Shared fixtures of the configuration, AWS client, backup, account and CLI tests."""

from __future__ import annotations

import os
from pathlib import Path

import pytest
import yaml

from morvent.core.Globals import Globals

# The smallest valid configuration.
MINIMAL = {
    "controller_ip": "127.0.0.1:8443",
    "controller_user": "admin",
    "controller_password_env": "MORVENT_TEST_PASSWORD",
    "aws_account_name": "prod-acct",
    "region": "eu-central-1",
    "vpc_id": "vpc-0123456789abcdef0",
    "s3_bucket": "morvent-test-backups",
    "spoke_gw_name": "spoke-egress",
}

BUCKET = MINIMAL["s3_bucket"]
REGION = MINIMAL["region"]


def write_config(folder: Path, text: str | None = None, name: str = "morvent.yaml",
                 **changes) -> Path:
    """Write a configuration file: ``text`` as it is, or MINIMAL with ``changes``
    (a change to None drops the key)."""
    path = folder / name
    if text is None:
        data = {**MINIMAL, **changes}
        text = yaml.safe_dump({k: v for k, v in data.items() if v is not None},
                              sort_keys=False)
    path.write_text(text, encoding="utf-8")
    return path


@pytest.fixture
def globals_state():
    """Give every test fresh process-wide settings and put them back afterwards."""
    saved = {k: getattr(Globals, k) for k in ("CID", "controller_ip", "dry_run",
                                               "aws_client_manager", "controller_timeout",
                                               "controller_verify")}
    Globals.dry_run = False
    yield Globals
    for k, v in saved.items():
        setattr(Globals, k, v)


@pytest.fixture
def aws_env(monkeypatch, tmp_path):
    """Fake credentials, no shared AWS files, nothing from the user's environment."""
    for name in list(os.environ):
        if name.startswith("AWS_"):
            monkeypatch.delenv(name)
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "testing")
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "testing")
    monkeypatch.setenv("AWS_CONFIG_FILE", str(tmp_path / "no-aws-config"))
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "no-aws-credentials"))


@pytest.fixture
def s3(aws_env):
    """An in-process simulated S3 with the test bucket."""
    import boto3
    from moto import mock_aws

    with mock_aws():
        client = boto3.client("s3", region_name=REGION)
        client.create_bucket(Bucket=BUCKET,
                             CreateBucketConfiguration={"LocationConstraint": REGION})
        yield client


def s3_contents(client, prefix: str = "") -> dict[str, bytes]:
    """Key -> body of every object under ``prefix``."""
    answer = client.list_objects_v2(Bucket=BUCKET, Prefix=prefix)
    return {item["Key"]: client.get_object(Bucket=BUCKET, Key=item["Key"])["Body"].read()
            for item in answer.get("Contents", ())}


def folder_contents(folder: str | Path) -> dict[str, bytes]:
    """Relative path -> content of every file under ``folder`` but hidden ones (what a
    backup folder holds for S3; the hidden record of S3 versions stays local)."""
    folder = Path(folder)
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file() and not p.name.startswith(".")}
