"""The command line, with a fake migration command and an in-process simulated S3."""

import logging
import os
import subprocess
import sys
import traceback
import types
from pathlib import Path

import pytest

from awsconf_fixtures import (MINIMAL, aws_env, globals_state, s3, s3_contents,  # noqa: F401
                              write_config)
from morvent import cli
from morvent.core.ConfigAdaptor import ConfigAdaptor
from morvent.core.config import Config
from morvent.lib import corvane_backend
from morvent.lib.s3 import VpcLock

PASSWORD_ENV = MINIMAL["controller_password_env"]
LOCK_KEY = "morvent/prod-acct/eu-central-1/vpc-0123456789abcdef0.lock"


class FakeManager:
    """Stands in for the native Manager; records what each call saw."""

    def __init__(self, s3_client):
        self.s3 = s3_client
        self.calls = []
        self.action = None  # what the next call does: an exception to raise, or None

    def _run(self, method, config):
        self.calls.append({
            "method": method, "config": config,
            "dry_run": cli.Globals.dry_run,
            "timeout": cli.Globals.controller_timeout,
            "verify": cli.Globals.controller_verify,
            "locked": self.s3 is not None and bool(
                self.s3.list_objects_v2(Bucket=MINIMAL["s3_bucket"],
                                        Prefix=LOCK_KEY).get("KeyCount")),
            "level": logging.getLogger("morvent").getEffectiveLevel(),
        })
        logging.getLogger("morvent.commands.brindlemark").info("- step with s3cr3t inside")
        if self.action is not None:
            raise self.action

    def execute(self, config):
        self._run("execute", config)

    def revert(self, config):
        self._run("revert", config)

    def cleanup(self, config):
        self._run("cleanup", config)


@pytest.fixture
def run(s3, tmp_path, monkeypatch, capsys, globals_state):
    """run(*argv) -> (status, stderr), with a fake Manager as ``run.manager``."""
    manager = FakeManager(s3)
    monkeypatch.setattr(cli, "_load_manager", lambda: manager)
    monkeypatch.setenv(PASSWORD_ENV, "pw")
    path = write_config(tmp_path, work_dir=str(tmp_path / "work"))

    def call(*argv):
        argv = [a.replace("CONFIG", str(path)) for a in argv]
        status = cli.main(argv)
        return status, capsys.readouterr().err

    call.manager, call.path, call.s3 = manager, path, s3
    return call


def lock_exists(s3_client):
    return any(k == LOCK_KEY for k in s3_contents(s3_client))


def test_execute_success_holds_the_lock_while_running(run):
    status, err = run("execute", "--config", "CONFIG")
    assert status == 0
    (call,) = run.manager.calls
    assert call["method"] == "execute" and call["locked"] and call["dry_run"] is False
    assert isinstance(call["config"], Config) and call["config"].source == str(run.path)
    assert not lock_exists(run.s3)


def test_failed_migration_exits_1_and_releases_the_lock(run):
    run.manager.action = SystemExit(1)
    status, err = run("execute", "--config", "CONFIG")
    assert status == 1
    assert not lock_exists(run.s3)
    assert "run it again to resume" in err


def test_dry_run_sets_the_flag_and_writes_no_lock(run):
    status, _ = run("execute", "--config", "CONFIG", "--dry-run")
    assert status == 0
    (call,) = run.manager.calls
    assert call["dry_run"] is True and call["locked"] is False
    assert s3_contents(run.s3) == {}
    assert cli.Globals.dry_run is False  # put back for whoever calls main() next


def test_revert_is_never_a_dry_run(run, globals_state):
    globals_state.dry_run = True
    status, _ = run("revert", "--config", "CONFIG")
    assert status == 0
    (call,) = run.manager.calls
    assert (call["method"], call["dry_run"], call["locked"]) == ("revert", False, True)


def test_cleanup_needs_no_password(run, monkeypatch):
    monkeypatch.delenv(PASSWORD_ENV)
    assert run("cleanup", "--config", "CONFIG")[0] == 0
    assert run.manager.calls[0]["method"] == "cleanup"


@pytest.mark.parametrize("command", ["execute", "revert"])
@pytest.mark.parametrize("value", [None, ""])
def test_missing_password_stops_before_anything_runs(run, monkeypatch, command, value):
    if value is None:
        monkeypatch.delenv(PASSWORD_ENV)
    else:
        monkeypatch.setenv(PASSWORD_ENV, value)
    status, err = run(command, "--config", "CONFIG")
    assert status == 2
    assert err.strip().count("\n") == 0 and PASSWORD_ENV in err and str(run.path) in err
    assert run.manager.calls == [] and s3_contents(run.s3) == {}


def test_bad_configuration_exits_2_with_one_line(run, tmp_path):
    bad = write_config(tmp_path, name="bad.yaml", vpcid="vpc-0123456789abcdef0")
    status, err = run("execute", "--config", str(bad))
    assert status == 2
    assert err.strip() == f"morvent: error: {bad}: vpcid: unknown key (did you mean 'vpc_id'?)"
    assert run.manager.calls == []


@pytest.mark.parametrize("argv", [
    [],
    ["explode"],
    ["execute"],
    ["execute", "--config", "CONFIG", "--dry-run", "--break-lock"],
    ["revert", "--config", "CONFIG", "--dry-run"],
    ["execute", "--config", "CONFIG", "-v", "-q"],
    ["execute", "--config", "CONFIG", "--bogus"],
])
def test_usage_errors_exit_2(run, argv):
    status, err = run(*argv)
    assert status == 2 and err
    assert run.manager.calls == []


def test_lock_held_exits_1_naming_the_holder(run):
    VpcLock(run.s3, ConfigAdaptor(str(run.path)).backup_descriptor,
            owner={"user": "alice", "host": "ops-1", "pid": 77, "time": "T",
                   "command": "morvent revert"}).acquire()
    status, err = run("execute", "--config", "CONFIG")
    assert status == 1 and run.manager.calls == []
    (line,) = err.strip().splitlines()
    assert "alice on host ops-1" in line and "pid 77" in line and "--break-lock" in line


def test_break_lock_takes_over_a_stale_lock(run):
    des = ConfigAdaptor(str(run.path)).backup_descriptor
    VpcLock(run.s3, des, owner={"user": "alice", "host": "ops-1"}).acquire()
    status, err = run("revert", "--config", "CONFIG", "--break-lock")
    assert status == 0 and run.manager.calls[0]["locked"]
    assert "broke the lock" in err and not lock_exists(run.s3)


@pytest.mark.parametrize("verbose", [False, True])
def test_errors_the_user_can_act_on_are_one_line(run, monkeypatch, verbose):
    login_error = type("ControllerLoginError", (Exception,), {})
    monkeypatch.setattr("morvent.core.exceptions.ControllerLoginError", login_error,
                        raising=False)
    run.manager.action = login_error("login refused for admin at 127.0.0.1:8443")
    argv = ["execute", "--config", "CONFIG"] + (["-v"] if verbose else [])
    status, err = run(*argv)
    assert status == 1
    assert "morvent: error: login refused for admin at 127.0.0.1:8443" in err
    assert ("Traceback" in err) is verbose
    assert not lock_exists(run.s3)


def test_unexpected_error_keeps_its_traceback(run):
    run.manager.action = KeyError("nat_gw_id")
    status, err = run("execute", "--config", "CONFIG")
    assert status == 1
    assert "Traceback" in err and "unexpected KeyError" in err
    assert not lock_exists(run.s3)


@pytest.mark.parametrize("argv, level", [
    (["execute", "--config", "CONFIG"], logging.INFO),
    (["-v", "execute", "--config", "CONFIG"], logging.DEBUG),
    (["execute", "--config", "CONFIG", "--quiet"], logging.WARNING),
])
def test_verbosity(run, argv, level):
    status, err = run(*argv)
    assert status == 0 and run.manager.calls[0]["level"] == level
    assert ("- step with" in err) is (level <= logging.INFO)


def test_secrets_are_masked_when_the_transport_offers_a_filter(run, monkeypatch):
    class Masking(logging.Filter):
        def filter(self, record):
            record.msg = record.getMessage().replace("s3cr3t", "****")
            record.args = ()
            return True

    monkeypatch.setattr(corvane_backend, "SecretMaskingFilter", Masking, raising=False)
    status, err = run("execute", "--config", "CONFIG")
    assert status == 0 and "- step with **** inside" in err and "s3cr3t" not in err


def test_demo_is_handed_its_arguments(run, monkeypatch):
    seen = []
    demo = types.ModuleType("morvent.sim.demo")
    demo.main = lambda argv: seen.append(argv) or 3
    monkeypatch.setitem(sys.modules, "morvent.sim.demo", demo)
    assert run("demo", "--nat-gateways", "3", "--help")[0] == 3
    assert seen == [["--nat-gateways", "3", "--help"]]


def test_demo_missing_is_a_clear_error(run, monkeypatch):
    monkeypatch.setitem(sys.modules, "morvent.sim.demo", None)
    status, err = run("demo")
    assert status == 2 and "demo is not available" in err and "Traceback" not in err


def test_python_dash_m_runs_the_command_line(tmp_path):
    src = Path(cli.__file__).resolve().parents[1]
    env = {**os.environ, "PYTHONPATH": str(src)}
    done = subprocess.run([sys.executable, "-m", "morvent", "execute", "--config",
                           str(tmp_path / "absent.yaml")], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr.strip() == f"morvent: error: {tmp_path / 'absent.yaml'}: no such file"


def test_unverified_controller_requests_do_not_warn_on_every_request(run):
    import warnings

    import urllib3

    def request(config):
        warnings.warn("Unverified HTTPS request", urllib3.exceptions.InsecureRequestWarning)
        warnings.warn("something else", UserWarning)

    run.manager.execute = request
    with pytest.warns(UserWarning) as caught:
        assert run("execute", "--config", "CONFIG")[0] == 0
    assert [w.category for w in caught] == [UserWarning]


def test_demo_output_is_the_demos_own(run, monkeypatch):
    # The demo runs execute and revert through main(); a handler installed
    # around it as well would print every log line twice.
    seen = []
    demo = types.ModuleType("morvent.sim.demo")
    demo.main = lambda argv: seen.append(list(logging.getLogger().handlers)) or 0
    monkeypatch.setitem(sys.modules, "morvent.sim.demo", demo)
    before = list(logging.getLogger().handlers)
    assert run("demo")[0] == 0
    assert seen == [before]


@pytest.mark.parametrize("error", [
    "morvent.lib.awsutil.WaitTimeout",
    "morvent.lib.awsutil.AwsStepError",
    "morvent.core.exceptions.HistoryError",
])
def test_aws_step_and_history_errors_are_one_line(run, error):
    # Their messages say what is wrong and what holds it (an Elastic IP that
    # stays associated, a damaged history file): no traceback needed.
    module, name = error.rsplit(".", 1)
    run.manager.action = getattr(__import__(module, fromlist=[name]), name)(
        "timed out after 600 s waiting for Elastic IP eipalloc-1 to be free")
    status, err = run("revert", "--config", "CONFIG")
    assert status == 1
    assert err.strip().splitlines()[-1] == ("morvent: error: timed out after 600 s waiting "
                                            "for Elastic IP eipalloc-1 to be free")
    assert "Traceback" not in err


def _requests_error(name, *args):
    import requests

    return getattr(requests, name)(*args)


@pytest.mark.parametrize("name, args", [
    ("ConnectionError", ("('Connection aborted.', RemoteDisconnected('closed'))",)),
    ("JSONDecodeError", ("Expecting value", "<html>", 0)),
])
def test_broken_controller_connection_is_one_line(run, name, args):
    run.manager.action = _requests_error(name, *args)
    status, err = run("revert", "--config", "CONFIG")
    assert status == 1
    assert err.strip().splitlines()[-1].startswith("morvent: error: controller request failed: ")
    assert "Traceback" not in err


# -- controller request settings -------------------------------------------------

PEM = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"


@pytest.mark.parametrize("outcome", [None, SystemExit(1), RuntimeError("boom")])
@pytest.mark.parametrize("keys, timeout, bundle", [
    ({}, (15.0, 900.0), None),
    ({"controller_timeout": 1800}, (15.0, 1800.0), None),
    ({"controller_timeout": 5, "controller_ca_bundle": "ca.pem"}, (5.0, 5.0), "ca.pem"),
])
def test_controller_settings_hold_for_the_command_only(run, tmp_path, globals_state, outcome,
                                                       keys, timeout, bundle):
    (tmp_path / "ca.pem").write_text(PEM)
    path = write_config(tmp_path, name="requests.yaml", work_dir=str(tmp_path / "work"), **keys)
    globals_state.controller_timeout, globals_state.controller_verify = "before", "before"
    run.manager.action = outcome
    run("execute", "--config", str(path))
    (call,) = run.manager.calls
    assert call["timeout"] == timeout
    assert call["verify"] == (str(tmp_path / bundle) if bundle else False)
    assert (globals_state.controller_timeout, globals_state.controller_verify) == \
        ("before", "before")


@pytest.mark.parametrize("bundle, warned", [(False, False), (True, True)])
def test_unverified_request_warning_only_hidden_without_a_ca_bundle(run, tmp_path, bundle,
                                                                    warned):
    import warnings

    import urllib3

    (tmp_path / "ca.pem").write_text(PEM)
    keys = {"controller_ca_bundle": "ca.pem"} if bundle else {}
    path = write_config(tmp_path, name="requests.yaml", work_dir=str(tmp_path / "work"), **keys)
    run.manager.execute = lambda config: warnings.warn(
        "Unverified HTTPS request", urllib3.exceptions.InsecureRequestWarning)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert run("execute", "--config", str(path))[0] == 0
    assert bool(caught) is warned


# -- no secret in the output -------------------------------------------------------

CID = "cid-0a1b2c3d4e5f"


@pytest.mark.parametrize("verbosity", [[], ["-v"]])
def test_secrets_are_masked_in_error_lines_tracebacks_and_prints(run, capsys, verbosity):
    import requests

    def execute(config):
        corvane_backend.register_secret(CID)
        url = f"/v1/api?action=list_vpcs_summary&CID={CID}"
        try:
            raise requests.ConnectionError(f"Max retries exceeded with url: {url}")
        except requests.ConnectionError:
            # What the migration does with a failed step: straight to stderr.
            traceback.print_exc()
            print("stray", "CID", CID)
            print(f"partial {CID}", end="", file=sys.stderr)
            raise

    run.manager.execute = execute
    streams = sys.stdout, sys.stderr
    try:
        status = cli.main([*verbosity, "execute", "--config", str(run.path)])
        out, err = capsys.readouterr()
    finally:
        corvane_backend.clear_secrets()
    assert status == 1
    assert CID not in out + err
    assert "stray CID ****" in out and "partial ****" in err
    assert err.count("CID=****") == (3 if verbosity else 2)  # print_exc, (-v traceback), line
    assert err.strip().splitlines()[-1] == (
        "morvent: error: controller request failed: Max retries exceeded with url: "
        "/v1/api?action=list_vpcs_summary&CID=****")
    assert (sys.stdout, sys.stderr) == streams  # put back after the command
