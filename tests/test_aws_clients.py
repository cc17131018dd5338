"""AwsClientManager: one client per service, for the configured region, profile and endpoint."""

import dataclasses
import os

import pytest

from awsconf_fixtures import MINIMAL, aws_env, write_config  # noqa: F401
from morvent.core.config import ConfigError, config_from_mapping
from morvent.lib.aws_cred import AwsClientManager

GETTERS = [("getEc2Client", "ec2"), ("getCwClient", "cloudwatch"), ("getS3Client", "s3"),
           ("getStsClient", "sts")]


@pytest.mark.parametrize("getter, service", GETTERS)
def test_client_is_made_once_for_the_region_with_adaptive_retries(aws_env, getter, service):
    manager = AwsClientManager(config_from_mapping(MINIMAL))
    client = getattr(manager, getter)()
    assert getattr(manager, getter)() is client
    assert client.meta.service_model.service_name == service
    assert client.meta.region_name == MINIMAL["region"]
    assert client.meta.config.retries == {"mode": "adaptive", "total_max_attempts": 8}
    assert "morvent/" in client.meta.config.user_agent_extra  # tells its requests apart


@pytest.mark.parametrize("environment, profile, retries", [
    ({"AWS_MAX_ATTEMPTS": "3"}, "", {"mode": "adaptive", "total_max_attempts": 3}),
    ({"AWS_RETRY_MODE": "standard"}, "max_attempts = 12\n",
     {"mode": "standard", "total_max_attempts": 12}),
    ({}, "retry_mode = legacy\n", {"mode": "legacy", "total_max_attempts": 8}),
])
def test_the_users_aws_retry_settings_win(aws_env, tmp_path, monkeypatch, environment,
                                          profile, retries):
    (tmp_path / "no-aws-config").write_text("[default]\n" + profile)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    client = AwsClientManager(config_from_mapping(MINIMAL)).getEc2Client()
    assert client.meta.config.retries == retries


def test_a_region_the_sdk_refuses_is_a_configuration_error(aws_env):
    # The configuration's check keeps such names out; a Config built another
    # way still gets one line naming the key, not "unexpected InvalidRegionError".
    cfg = dataclasses.replace(config_from_mapping(MINIMAL), region="eu-" + "x" * 200 + "-1")
    with pytest.raises(ConfigError) as info:
        AwsClientManager(cfg).getEc2Client()
    assert info.value.key == "region" and len(str(info.value)) < 200


@pytest.mark.parametrize("getter, service", GETTERS)
def test_endpoint_url_is_used_by_every_client(aws_env, getter, service):
    cfg = config_from_mapping({**MINIMAL, "aws_endpoint_url": "http://127.0.0.1:5999"})
    client = getattr(AwsClientManager(cfg), getter)()
    assert client.meta.endpoint_url == "http://127.0.0.1:5999"


def test_profile_supplies_the_credentials(aws_env, tmp_path, monkeypatch):
    (tmp_path / "no-aws-config").write_text("[profile netadmin]\nregion = us-east-1\n")
    (tmp_path / "no-aws-credentials").write_text(
        "[netadmin]\naws_access_key_id = AKIDPROFILE\naws_secret_access_key = s\n")
    monkeypatch.delenv("AWS_ACCESS_KEY_ID")
    monkeypatch.delenv("AWS_SECRET_ACCESS_KEY")
    cfg = config_from_mapping({**MINIMAL, "aws_profile": "netadmin"})
    manager = AwsClientManager(cfg)
    client = manager.getEc2Client()
    assert manager._get_session().get_credentials().access_key == "AKIDPROFILE"
    # The configured region wins over the profile's.
    assert client.meta.region_name == MINIMAL["region"]


def test_unknown_profile_is_a_configuration_error(aws_env, tmp_path):
    path = write_config(tmp_path, aws_profile="nosuchprofile")
    manager = AwsClientManager(str(path))
    with pytest.raises(ConfigError) as info:
        manager.getS3Client()
    assert info.value.key == "aws_profile" and str(path) in str(info.value)
    assert "nosuchprofile" in str(info.value)


# -- clients shared between managers -------------------------------------------

def _profile_files(tmp_path):
    (tmp_path / "no-aws-config").write_text("[profile netadmin]\nregion = us-east-1\n")
    (tmp_path / "no-aws-credentials").write_text(
        "[netadmin]\naws_access_key_id = AKIDPROFILE\naws_secret_access_key = s\n")


@pytest.mark.parametrize("getter", ["getEc2Client", "getS3Client"])
def test_managers_of_one_configuration_share_their_clients(aws_env, getter):
    first = getattr(AwsClientManager(config_from_mapping(MINIMAL)), getter)()
    again = getattr(AwsClientManager(config_from_mapping(dict(MINIMAL))), getter)()
    assert again is first


@pytest.mark.parametrize("change, env", [
    ({"region": "us-west-2"}, {}),
    ({"aws_endpoint_url": "http://127.0.0.1:5999"}, {}),
    ({"aws_profile": "netadmin"}, {}),
    ({}, {"AWS_ACCESS_KEY_ID": "AKIDOTHER"}),
    ({}, {"HTTPS_PROXY": "http://proxy.invalid:3128"}),
])
def test_a_shared_client_never_serves_another_setting(aws_env, tmp_path, monkeypatch, change,
                                                      env):
    _profile_files(tmp_path)
    base = AwsClientManager(config_from_mapping(MINIMAL)).getEc2Client()
    saved = {name: os.environ.get(name) for name in env}
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    cfg = config_from_mapping({**MINIMAL, **change})
    other = AwsClientManager(cfg).getEc2Client()
    assert other is not base
    assert other.meta.region_name == cfg.region
    if cfg.aws_endpoint_url:
        assert other.meta.endpoint_url == cfg.aws_endpoint_url
    # Back to the first environment: the first client again, not the other one.
    for name, value in saved.items():
        if value is None:
            monkeypatch.delenv(name)
        else:
            monkeypatch.setenv(name, value)
    assert AwsClientManager(config_from_mapping(MINIMAL)).getEc2Client() is base


def test_a_profile_that_fails_is_not_remembered(aws_env, tmp_path):
    cfg = config_from_mapping({**MINIMAL, "aws_profile": "netadmin"})
    with pytest.raises(ConfigError):
        AwsClientManager(cfg).getEc2Client()
    _profile_files(tmp_path)  # now it exists (the files are read when a session is made)
    client = AwsClientManager(cfg).getEc2Client()
    assert client.meta.region_name == MINIMAL["region"]
