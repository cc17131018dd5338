"""The command line, with a fake migration command and an in-process simulated S3."""

import contextlib
import dataclasses
import json
import logging
import os
import shutil
import signal
import subprocess
import sys
import traceback
import types
from pathlib import Path

import pytest

from awsconf_fixtures import (MINIMAL, aws_env, globals_state, s3, s3_contents,  # noqa: F401
                              write_config)
from morvent import cli
from morvent.run import aws, common
from morvent.core import egress
from morvent.run import plan
from morvent.core.ConfigAdaptor import ConfigAdaptor
from morvent.core.config import Config
from morvent.core.interrupt import Terminated
from morvent.lib import corvane_backend
from morvent.lib.lock import VpcLock
from morvent.lib.s3 import BackupError, S3BackupCmdV2
from backup_fixtures import deletion_state, gone_pid, natgw_record, write_lock

PASSWORD_ENV = MINIMAL["controller_password_env"]
PIN = ":".join(["5A"] * 32)
LOCK_KEY = "morvent/prod-acct/eu-central-1/vpc-0123456789abcdef0.lock"
BACKUP_KEY = "morvent/prod-acct/eu-central-1/vpc-0123456789abcdef0/"


class FakeManager:
    """Stands in for the native Manager; records what each call saw."""

    def __init__(self, s3_client):
        self.s3 = s3_client
        self.calls = []
        self.action = None  # what the next call does: an exception to raise, or None
        self.during = None  # called with no arguments during the call, before ``action``

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
        logging.getLogger("morvent.commands.brindlemark").debug("  detail of the step")
        if self.during is not None:
            self.during()
        if self.action is not None:
            raise self.action

    def execute(self, config):
        self._run("execute", config)

    def revert(self, config):
        self._run("revert", config)

    def cleanup(self, config):
        self._run("cleanup", config)


class FakeCloud(aws.Cloud):
    """The command line's look at AWS, for a VPC the in-process AWS does not have.

    The VPC exists; without a recorded discovery it has NAT gateways in
    zones a and b; every route table leaves through ``egress_target``.
    """

    egress_target = "nat-a"

    def check_vpc(self):
        pass

    def replacement_plan(self, state, quiet=False):
        records = state.natgws if state.discovered else [natgw_record("a"), natgw_record("b")]
        found = plan.Plan("execute", self.config.vpc_id, records=records,
                          discovery="recorded" if state.discovered else "read-only")
        found.fatal = plan.too_few_natgws(records, self.config.vpc_id)
        if not found.fatal:
            found.steps = plan.replacement_steps(plan.Settings.of(self.config), records,
                                                 held=len(state.mementos))
        return found

    def egress(self):
        return egress.Egress([egress.Exit("rtb-a", "zone-a", type(self).egress_target,
                                          "198.51.100.1")], {"zone-a": ["nat-a"]})

    #: What migration_traces() answers: (traces, why the controller was not asked).
    traces = ([], None)

    def migration_traces(self, state):
        return type(self).traces

    def unrecorded_changes(self, state):
        return []

    def controller_account(self):
        return {"name": MINIMAL["aws_account_name"], "action": "reuse"}

    def world(self):
        return {"nat_gateways": {}, "route_tables": {}}


@pytest.fixture
def run(s3, tmp_path, monkeypatch, capsys, globals_state):
    """run(*argv) -> (status, stderr), with a fake Manager as ``run.manager``.

    execute and revert go ahead without asking (--yes) unless ``yes=False``.
    """
    manager = FakeManager(s3)
    monkeypatch.setattr(common, "load_manager", lambda: manager)
    monkeypatch.setattr(aws, "cloud", FakeCloud)
    monkeypatch.setenv(PASSWORD_ENV, "pw")
    monkeypatch.delenv("MORVENT_CONFIG", raising=False)
    # Pinned: the warning about an unchecked certificate is tested on its own.
    path = write_config(tmp_path, work_dir=str(tmp_path / "work"), controller_cert_sha256=PIN)

    def call(*argv, yes=True):
        argv = [a.replace("CONFIG", str(path)) for a in argv]
        if yes and {"execute", "revert"} & set(argv):
            argv.append("--yes")
        status = cli.main(argv)
        captured = capsys.readouterr()
        call.out = captured.out
        return status, captured.err

    call.manager, call.path, call.s3 = manager, path, s3
    call.keep = lambda **files: keep_in_backup(s3, **files)
    call.folder = tmp_path / "work" / "prod-acct" / "eu-central-1" / "vpc-0123456789abcdef0"
    return call




def discovery(*zones):
    return {"format": 1, "version": "v2", "vpc_id": MINIMAL["vpc_id"], "commands": [
        {"index": 0, "name": "discover_natgw", "natgws": [natgw_record(z) for z in zones]}]}


def deletions(*zones):
    """A memento history holding the NAT gateway deletions of ``zones``."""
    return {"format": 1, "mementos": [
        {"module": "morvent.lib.natgw", "qualname": "NatGwDeleteMemento",
         "state": deletion_state(z), "mark_begin": True}
        for z in zones]}


def keep_in_backup(s3_client, **files):
    """Store ``name=data`` (the name without .json) in the VPC's backup in S3."""
    for name, data in files.items():
        s3_client.put_object(Bucket=MINIMAL["s3_bucket"], Key=BACKUP_KEY + name + ".json",
                             Body=json.dumps(data).encode())


def read_log(run):
    """The text of the one log file that the runs of a test left."""
    (path,) = (run.folder / "logs").glob("*.log")
    return path.read_text()


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
    run.keep(command_history=discovery("a", "b"), memento_history=deletions("a"))
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
    assert err.strip() == f"morvent: error: {bad}:9: vpcid: unknown key (did you mean 'vpc_id'?)"
    assert run.manager.calls == []


def test_every_configuration_problem_is_a_line_of_its_own(run, tmp_path):
    bad = write_config(tmp_path, name="bad.yaml", vpc_id="vpc-1", region=None, hs_mode=9)
    status, err = run("plan", "--config", str(bad))
    assert status == 2
    assert err.splitlines() == [
        f"morvent: error: {bad}:5: vpc_id: 'vpc-1' is not a VPC id (expected 'vpc-' followed "
        "by 8 to 17 lower-case hexadecimal digits)",
        f"morvent: error: {bad}:8: hs_mode: 9 is not a mode: use 0 (capped plan), 1 (first "
        "two only) or 2 (all)",
        f"morvent: error: {bad}: region: required key is missing"]


@pytest.mark.parametrize("given, env, in_cwd, used, said", [
    ("--config", "env.yaml", True, "given.yaml", None),
    (None, "env.yaml", True, "env.yaml", "(from MORVENT_CONFIG)"),
    (None, "", True, "morvent.yaml", "configuration morvent.yaml (from the current folder)"),
    (None, None, False, None, "--config was not given, MORVENT_CONFIG is not set, and there "
                              "is no morvent.yaml in"),
    (None, "gone.yaml", True, None, "gone.yaml: no such file (named by MORVENT_CONFIG)"),
])
def test_which_configuration_file(run, tmp_path, monkeypatch, given, env, in_cwd, used, said):
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    for name, region in (("given.yaml", "eu-west-1"), ("env.yaml", "eu-west-2"),
                         ("morvent.yaml", "eu-west-3")):
        if name != "morvent.yaml" or in_cwd:
            write_config(cwd, name=name, region=region, work_dir=str(tmp_path / "work"))
    if env is not None:
        monkeypatch.setenv("MORVENT_CONFIG", env and str(cwd / env))
    status, err = run("execute", *(["--config", "given.yaml"] if given else []))
    if used is None:
        assert status == 2 and run.manager.calls == []
        (line,) = err.splitlines()
    else:
        assert status == 0
        assert run.manager.calls[0]["config"].source.endswith(used)
    if said is not None:
        assert said in err
    else:
        assert "morvent: configuration" not in err


@pytest.mark.parametrize("options, profile, region", [
    ([], None, "eu-central-1"),
    (["--region", "us-west-2", "--profile", "ops"], "ops", "us-west-2"),
])
def test_profile_and_region_options_override_the_file(run, monkeypatch, options, profile,
                                                      region):
    monkeypatch.setattr(aws, "cloud", lambda config: FakeCloud(
        dataclasses.replace(config, aws_profile=None)))  # the in-process S3 knows no profile
    monkeypatch.setattr(common, "vpc_lock", lambda config, command: types.SimpleNamespace(
        acquire=lambda: None, release=lambda: None, break_lock=lambda: None,
        s3_client=run.s3, backup_des=ConfigAdaptor(config).backup_descriptor))
    status, err = run("execute", "--config", "CONFIG", *options)
    assert status == 0, err
    config = run.manager.calls[0]["config"]
    assert (config.aws_profile, config.region) == (profile, region)


@pytest.mark.parametrize("options, words", [
    (["--region", "eu-central"], "--region on the command line: region: 'eu-central' is not"),
    (["--profile", ""], "--profile on the command line: aws_profile: '' must not be blank"),
])
def test_bad_override_is_named_as_the_option(run, options, words):
    status, err = run("plan", "--config", "CONFIG", *options)
    assert status == 2 and words in err


@pytest.mark.parametrize("argv", [
    [],
    ["explode"],
    ["execute"],
    ["execute", "--config", "CONFIG", "--dry-run", "--break-lock"],
    ["revert", "--config", "CONFIG", "--dry-run", "--break-lock"],
    ["revert", "--config", "CONFIG", "--dry-run", "--plan", "p.json"],
    ["execute", "--config", "CONFIG", "--plan", "p.json", "--accept-address-changes"],
    ["execute", "--config", "CONFIG", "--plan", "no-such-plan.json"],
    ["plan", "--config", "CONFIG", "--output", "yaml"],
    ["execute", "--config", "CONFIG", "-v", "-q"],
    ["execute", "--config", "CONFIG", "--bogus"],
])
def test_usage_errors_exit_2(run, argv):
    status, err = run(*argv)
    assert status == 2 and err
    assert run.manager.calls == []


def test_lock_held_exits_3_naming_the_holder(run):
    record = write_lock(run.s3, ConfigAdaptor(str(run.path)).backup_descriptor,
                        user="alice", host="ops-1", pid=77, command="morvent revert")
    status, err = run("execute", "--config", "CONFIG")
    assert status == 3 and run.manager.calls == []
    (line,) = err.strip().splitlines()
    assert "alice on host ops-1" in line and "pid 77" in line and record["id"] in line
    assert "still running" in line and "--break-lock" not in line


@pytest.mark.parametrize("alive, status", [(False, 0), (True, 3)])
def test_break_lock_takes_over_a_lock_whose_holder_is_gone(run, alive, status):
    import socket

    des = ConfigAdaptor(str(run.path)).backup_descriptor
    record = write_lock(run.s3, des, user="alice", host=socket.gethostname(),
                        pid=os.getpid() if alive else gone_pid())
    run.keep(command_history=discovery("a", "b"), memento_history=deletions("a"))
    status_seen, err = run("revert", "--config", "CONFIG", "--break-lock", record["id"])
    assert status_seen == status and bool(run.manager.calls) is not alive
    if alive:
        assert "refusing to break the lock" in err and f"process {os.getpid()}" in err
        assert lock_exists(run.s3)
    else:
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


@pytest.mark.parametrize("verbose", [False, True])
def test_unexpected_error_keeps_its_traceback_for_the_log_and_v(run, verbose):
    run.manager.action = KeyError("nat_gw_id")
    status, err = run("execute", "--config", "CONFIG", *(["-v"] if verbose else []))
    assert status == 1
    assert "unexpected KeyError" in err and ("Traceback" in err) is verbose
    assert ("-v shows the traceback" in err) is not verbose
    assert "Traceback" in read_log(run) and not lock_exists(run.s3)


@pytest.mark.parametrize("argv, level", [
    (["execute", "--config", "CONFIG"], logging.INFO),
    (["-v", "execute", "--config", "CONFIG"], logging.DEBUG),
    (["execute", "--config", "CONFIG", "--quiet"], logging.WARNING),
])
def test_verbosity(run, argv, level):
    # The package logs everything (the log file gets it); the console shows
    # what -v or -q asks for.
    status, err = run(*argv)
    assert status == 0 and run.manager.calls[0]["level"] == logging.DEBUG
    assert ("- step with" in err) is (level <= logging.INFO)
    assert ("  detail of the step" in err) is (level <= logging.DEBUG)
    assert "  detail of the step" in read_log(run)


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
    src = Path(cli.__file__).resolve().parents[2]
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
    run.keep(command_history=discovery("a", "b"), memento_history=deletions("a"))
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
    run.keep(command_history=discovery("a", "b"), memento_history=deletions("a"))
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


@pytest.mark.parametrize("command", ["plan", "status", "execute", "revert"])
@pytest.mark.parametrize("keys", [{}, {"controller_ca_bundle": "ca.pem"},
                                  {"controller_cert_sha256": PIN},
                                  {"controller_ca_bundle": "ca.pem", "controller_cert_sha256": PIN}])
def test_an_unchecked_controller_is_said_once_per_run(run, tmp_path, monkeypatch, command, keys):
    (tmp_path / "ca.pem").write_text(PEM)
    path = write_config(tmp_path, name="trust.yaml", work_dir=str(tmp_path / "work"), **keys)
    if command == "status":
        monkeypatch.delenv(PASSWORD_ENV)  # no login to a controller that is not there
    status, err = run(command, "--config", str(path))
    assert status == 0, err
    warning = ("WARNING the controller's certificate is not checked: the password goes to "
               f"whatever answers at {MINIMAL['controller_ip']}; run `morvent trust-controller` "
               "or set controller_ca_bundle")
    assert err.count(warning) == (0 if keys else 1)


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
        status = cli.main([*verbosity, "execute", "--config", str(run.path), "--yes"])
        out, err = capsys.readouterr()
    finally:
        corvane_backend.clear_secrets()
    assert status == 1
    assert CID not in out + err
    # What the migration writes to standard error (the failed step's
    # traceback) is shown with -v only, and always kept in the log file.
    assert "stray CID ****" in out and ("partial ****" in err) is bool(verbosity)
    assert err.count("CID=****") == (3 if verbosity else 1)  # (print_exc, -v traceback,) line
    log = read_log(run)
    assert CID not in log and "partial ****" in log and log.count("CID=****") == 2
    assert err.strip().splitlines()[-1] == (
        "morvent: error: controller request failed: Max retries exceeded with url: "
        "/v1/api?action=list_vpcs_summary&CID=****")
    assert (sys.stdout, sys.stderr) == streams  # put back after the command


# -- reading the backup first, stopping, and saying what is left ----------------

@pytest.mark.parametrize("argv", [["execute"], ["revert"], ["execute", "--dry-run"]])
def test_backup_is_read_before_the_migration_starts(run, monkeypatch, argv):
    run.keep(command_history=discovery("a", "b"), memento_history=deletions("a"))
    seen = []
    run.manager.during = lambda: seen.append(
        os.listdir(ConfigAdaptor(str(run.path)).backup_descriptor.getAbsolutePath()))
    assert run(*argv, "--config", "CONFIG")[0] == 0
    assert [sorted(name for name in listing if name[0] != "." and name != "logs")
            for listing in seen] == [["command_history.json", "memento_history.json"]]
    assert run.folder.exists() is ("--dry-run" not in argv)  # a dry run reads a scratch copy

    def unreadable(self):
        raise BackupError("local and S3 copies of the backup have diverged")

    monkeypatch.setattr(S3BackupCmdV2, "download", unreadable)
    status, err = run(*argv, "--config", "CONFIG")
    assert status == 1 and len(run.manager.calls) == 1  # the first run's only
    assert err.strip().splitlines()[-1] == ("morvent: error: local and S3 copies of the "
                                            "backup have diverged")
    assert not lock_exists(run.s3)


TRACE = "controller gateway spoke-egress in subnet-a with 198.51.100.1 is named like the spoke"


@pytest.mark.parametrize("history", [None, {"format": 1, "mementos": []}])
@pytest.mark.parametrize("traces, status, said", [
    (([], None), 0, "shows no trace of a migration"),
    (([TRACE], None), 1, TRACE),
    (([], "the controller was not asked about spoke gateways: timed out"), 1, "timed out"),
])
def test_revert_without_undo_records_says_nothing_to_revert_only_without_traces(
        run, monkeypatch, history, traces, status, said):
    if history is not None:
        run.keep(memento_history=history)
    monkeypatch.setattr(FakeCloud, "traces", traces)
    status_seen, err = run("revert", "--config", "CONFIG")
    assert status_seen == status and run.manager.calls == []  # no restore either way
    assert [x for x in err.splitlines() if said in x]
    (where,) = [x for x in err.splitlines() if "no undo record in" in x]
    assert f"s3://{MINIMAL['s3_bucket']}/{BACKUP_KEY}" in where and str(run.folder) in where
    assert ("nothing to revert" in where) is (status == 0)
    assert not lock_exists(run.s3)


def write_discovery(run, *zones):
    """What the migration's discovery leaves in the local folder."""
    return lambda: (run.folder / "command_history.json").write_text(
        json.dumps(discovery(*zones)))


@pytest.mark.parametrize("kept, during, wanted, unwanted", [
    # A step failed: its group was rolled back, the rest is kept.
    (dict(command_history=discovery("a", "b"), memento_history=deletions("a", "b", "c")),
     None, ["rolled back", "3 undo records kept in s3://", "run it again to resume",
            "`morvent revert`"], []),
    # The discovery's fatal checks: nothing to replace.
    ({}, (), ["cannot resume", "no available public NAT gateway was found in vpc-0123",
              "no NAT gateway, route or spoke gateway was changed"], ["run it again"]),
    ({}, ("a",), ["cannot resume", "only 1 NAT gateway was found", "nat-a in subnet-a",
                  "no NAT gateway, route or spoke gateway was changed"], ["run it again"]),
    # Stopped before anything was discovered.
    ({}, None, ["before the NAT gateways were discovered", "run it again to resume"],
     ["rolled back"]),
])
def test_failed_execute_says_what_is_left(run, kept, during, wanted, unwanted):
    run.keep(**kept)
    if during is not None:
        run.manager.during = write_discovery(run, *during)
    run.manager.action = SystemExit(1)
    status, err = run("execute", "--config", "CONFIG")
    assert status == 1 and not lock_exists(run.s3)
    (line,) = [x for x in err.splitlines() if "ERROR" in x]
    assert [w for w in wanted if w not in line] == []
    assert [u for u in unwanted if u in line] == []


def test_execute_with_nothing_to_resume_stops_before_the_migration(run):
    run.keep(command_history=discovery("a"))
    status, err = run("execute", "--config", "CONFIG")
    assert status == 1 and run.manager.calls == [] and not lock_exists(run.s3)
    assert "only 1 NAT gateway" in err and "command_history.json" in err


def test_failed_revert_names_the_record_it_stopped_at(run):
    from morvent.lib.awsutil import AwsStepError

    run.keep(command_history=discovery("a", "b"), memento_history=deletions("a", "b"))
    run.manager.action = AwsStepError("new NAT gateway nat-9 in subnet-b is failed")
    status, err = run("revert", "--config", "CONFIG")
    assert status == 1
    (advice,) = [x for x in err.splitlines() if "revert failed" in x]
    error = err.strip().splitlines()[-1]
    assert "stopped at the undo record of the deletion of NAT gateway nat-b in subnet-b" \
        in advice
    assert "2 undo records left are kept" in advice and "`morvent revert` again" in advice
    assert error == "morvent: error: new NAT gateway nat-9 in subnet-b is failed"


def test_backup_unavailable_ends_the_run_with_its_message(run):
    from morvent.core.exceptions import BackupUnavailable

    run.manager.action = BackupUnavailable("undo record 3 not stored in S3 (kept in /w/x)")
    status, err = run("execute", "--config", "CONFIG")
    assert status == 1 and not lock_exists(run.s3)
    assert err.strip().splitlines()[-1] == ("morvent: error: undo record 3 not stored in S3 "
                                            "(kept in /w/x)")


def emulated_native_run(run, signum, events):
    """A migration that gets ``signum`` mid-way and then, like the native one,
    uploads its records while the exception passes; a second signal comes
    during that upload."""
    def during():
        try:
            os.kill(os.getpid(), signum)
            events.append("not stopped")
        except BaseException as e:
            events.append(type(e).__name__)
            os.kill(os.getpid(), signum)  # again, during the clean-up
            events.append("upload done")
            raise
    run.manager.during = during


@pytest.mark.parametrize("signum, status, name", [
    (signal.SIGTERM, 143, "Terminated"),
    (signal.SIGINT, 130, "KeyboardInterrupt"),
])
@pytest.mark.parametrize("command", ["execute", "revert"])
def test_signal_stops_the_run_once_and_lets_it_clean_up(run, command, signum, status, name):
    run.keep(command_history=discovery("a", "b"), memento_history=deletions("a", "b"))
    before = signal.getsignal(signum)
    events = []
    emulated_native_run(run, signum, events)
    got, err = run(command, "--config", "CONFIG")
    assert (got, events) == (status, [name, "upload done"])
    assert "already stopping" in err and not lock_exists(run.s3)
    assert "2 undo records" in err and f"`morvent {command}`" in err
    assert signal.getsignal(signum) is before



def test_signal_while_the_lock_is_released_waits_for_the_release(run, monkeypatch):
    release = VpcLock.release

    def interrupted_release(self):
        os.kill(os.getpid(), signal.SIGTERM)
        release(self)

    monkeypatch.setattr(VpcLock, "release", interrupted_release)
    status, err = run("execute", "--config", "CONFIG")
    assert status == 143 and not lock_exists(run.s3)
    assert err.strip().splitlines()[-1] == "morvent: error: stopped by SIGTERM"


# -- the question before a run ---------------------------------------------------

class Terminal:
    """Standard input on a terminal, answering ``answer`` to the question."""

    def __init__(self, answer):
        self.answer = answer
        self.asked = 0

    def isatty(self):
        return True

    def readline(self):
        self.asked += 1
        return self.answer


@pytest.mark.parametrize("command, history", [("execute", None), ("revert", deletions("a"))])
def test_without_a_terminal_and_without_yes_nothing_runs(run, command, history):
    if history:
        run.keep(command_history=discovery("a", "b"), memento_history=history)
    before = s3_contents(run.s3)
    status, err = run(command, "--config", "CONFIG", yes=False)
    assert status == 2 and run.manager.calls == []
    (line,) = err.strip().splitlines()
    assert "not a terminal" in line and "--yes" in line
    assert s3_contents(run.s3) == before and not (run.folder / "logs").exists()


@pytest.mark.parametrize("command, history", [("execute", None), ("revert", deletions("a"))])
@pytest.mark.parametrize("answer, goes_ahead", [
    ("yes\n", True), ("Y\n", True), ("no\n", False), ("\n", False), ("", False)])
def test_on_a_terminal_the_plan_is_shown_and_only_yes_goes_ahead(run, monkeypatch, command,
                                                                 history, answer, goes_ahead):
    if history:
        run.keep(command_history=discovery("a", "b"), memento_history=history)
    terminal = Terminal(answer)
    monkeypatch.setattr(sys, "stdin", terminal)
    status, err = run(command, "--config", "CONFIG", yes=False)
    assert terminal.asked == 1
    question = "Carry out these 8 steps" if command == "execute" else "Restore these 1 undo"
    assert err.index(f"[1/{8 if command == 'execute' else 1}]") < err.index(question)
    assert (status, len(run.manager.calls)) == ((0, 1) if goes_ahead else (1, 0))
    assert ("cancelled; nothing was changed" in err) is not goes_ahead
    assert not lock_exists(run.s3)
    assert (run.folder / "logs").exists() is goes_ahead  # a cancelled run leaves no log


def test_with_yes_nothing_is_asked_even_on_a_terminal(run, monkeypatch):
    terminal = Terminal("no\n")
    monkeypatch.setattr(sys, "stdin", terminal)
    assert run("execute", "--config", "CONFIG")[0] == 0
    assert terminal.asked == 0 and len(run.manager.calls) == 1


# -- exit statuses, verdict, summary and log file --------------------------------------

@pytest.mark.parametrize("action, status", [
    (None, 0),
    (SystemExit(1), 1),
    (RuntimeError("boom"), 1),
    (KeyboardInterrupt(), 130),
    (Terminated(), 143),
])
def test_exit_statuses(run, action, status):
    run.manager.action = action
    assert run("execute", "--config", "CONFIG")[0] == status
    assert not lock_exists(run.s3)


def test_exit_status_3_when_the_vpc_is_locked(run):
    with VpcLock(run.s3, ConfigAdaptor(str(run.path)).backup_descriptor):
        assert [run(c, "--config", "CONFIG")[0] for c in ("execute", "revert")] == [3, 3]
        assert run("execute", "--config", "CONFIG", "--dry-run")[0] == 0  # reading is fine


@pytest.mark.parametrize("quiet", [False, True])
def test_a_run_ends_with_the_egress_per_zone_and_a_verdict(run, monkeypatch, quiet):
    monkeypatch.setattr(FakeCloud, "egress_target", "nat-a")
    run.manager.during = lambda: monkeypatch.setattr(FakeCloud, "egress_target", "i-1 (spoke)")
    status, err = run("execute", "--config", "CONFIG", *(["-q"] if quiet else []))
    assert status == 0
    lines = run.out.strip().splitlines()
    assert lines[-1].startswith("morvent: execute ended with 0 of 8 steps done; log: ")
    assert lines[-1].endswith(".log") and str(run.folder / "logs") in lines[-1]
    if quiet:
        assert len(lines) == 1 and err == ""
    else:
        (row,) = [x for x in lines if "rtb-a" in x]
        assert row.split()[:6] == ["zone-a", "rtb-a", "nat-a", "198.51.100.1", "i-1", "(spoke)"]


def test_the_log_file_holds_everything_masked_and_goes_with_the_backup(run, monkeypatch):
    corvane_backend.register_secret("s3cr3t")
    try:
        status, err = run("-q", "execute", "--config", "CONFIG")
    finally:
        corvane_backend.clear_secrets()
    assert status == 0
    (path,) = (run.folder / "logs").glob("*-execute.log")
    text = path.read_text()
    assert "s3cr3t" not in text and "- step with **** inside" in text
    assert "  detail of the step" in text  # DEBUG, which the console did not show
    assert "- Locked s3://" in text  # from before the question: kept, then written
    assert "s3cr3t" not in err and "detail" not in err
    # The next run downloads the backup folder with the log in it and keeps it.
    assert run("execute", "--config", "CONFIG")[0] == 0
    assert len(list((run.folder / "logs").glob("*-execute*.log"))) == 2


def test_a_dry_run_writes_no_log_file(run):
    assert run("execute", "--config", "CONFIG", "--dry-run")[0] == 0
    assert not (run.folder / "logs").exists()
    assert run.out.strip().splitlines()[-1].startswith(
        "morvent: dry run of execute done, nothing was changed: 2 spoke gateways to create")


@pytest.mark.parametrize("command", ["execute", "revert", "plan", "status"])
def test_a_vpc_that_does_not_exist_is_said_before_anything_changes(run, monkeypatch, command):
    monkeypatch.setattr(aws, "cloud", aws.Cloud)  # the in-process EC2 has no such VPC
    status, err = run(command, "--config", "CONFIG")
    assert status == 2 and run.manager.calls == [] and s3_contents(run.s3) == {}
    assert err.strip() == (f"morvent: error: VPC {MINIMAL['vpc_id']} does not exist in "
                           f"{MINIMAL['region']} (vpc_id and region in {run.path}); nothing "
                           "was changed")


@pytest.mark.parametrize("value, shown", [
    ("Hunter2!pw", False),  # not a variable name at all
    ("hunter2pw", False),   # a name, but written like a password, and not set
    ("MORVENT_PW", True),
])
def test_a_password_in_controller_password_env_is_never_echoed(run, tmp_path, value, shown):
    path = write_config(tmp_path, name="pw.yaml", controller_password_env=value,
                        work_dir=str(tmp_path / "work"))
    status, err = run("execute", "--config", str(path))
    assert status == 2 and run.manager.calls == []
    assert (value in err) is shown and "controller_password_env" in err


def test_sim_is_handed_its_arguments(run, monkeypatch):
    seen = []
    standalone = types.ModuleType("morvent.sim.standalone")
    standalone.main = lambda argv: seen.append(argv) or 0
    monkeypatch.setitem(sys.modules, "morvent.sim.standalone", standalone)
    assert run("sim", "--help", "-v")[0] == 0
    assert seen == [["--help", "-v"]]
    monkeypatch.setitem(sys.modules, "morvent.sim.standalone", None)
    status, err = run("sim")
    assert status == 2 and "simulator is not available" in err


# -- shell completion ---------------------------------------------------------------

# Completes the words given after the script, as bash does at the last one.
BASH_COMPLETE = r"""
source "$1"; shift
COMP_WORDS=("$@"); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))
_morvent
printf '%s\n' "${COMPREPLY[@]}"
"""


@pytest.fixture(scope="module")
def bash_script(tmp_path_factory):
    path = tmp_path_factory.mktemp("completion") / "morvent.bash"
    with open(path, "w") as f, contextlib.redirect_stdout(f):
        assert cli.main(["completion", "bash"]) == 0
    return path


@pytest.mark.parametrize("words, expected", [
    (["pl"], ["plan"]),
    (["-v", "st"], ["status"]),
    (["plan", "--o"], ["--out", "--output"]),
    (["plan", "--output", ""], ["json", "text"]),
    (["execute", "--config", "x", "--br"], ["--break-lock"]),
    (["execute", "--profile", "o"], ["ops", "other"]),  # from the AWS configuration files
    (["revert", "--config", "conf/m"], ["conf/morvent.yaml"]),
    (["status", "--region", ""], []),
    (["completion", ""], ["bash", "zsh"]),
    (["sim", "--"], ["--accounts", "--create-seconds", "--dir", "--fault", "--help", "--like",
                     "--regions", "--seed", "--shape", "--throttle", "--vpc-zones", "--vpcs",
                     "--zones"]),  # the simulator's own options
])
def test_bash_completion(bash_script, tmp_path, words, expected):
    (tmp_path / "conf").mkdir()
    (tmp_path / "conf" / "morvent.yaml").write_text("")
    (tmp_path / "aws-config").write_text("[default]\n[profile ops]\nregion = x\n"
                                         "[sso-session corp]\n")
    (tmp_path / "aws-credentials").write_text("[other]\n")
    env = {"PATH": os.environ["PATH"], "HOME": str(tmp_path),
           "AWS_CONFIG_FILE": str(tmp_path / "aws-config"),
           "AWS_SHARED_CREDENTIALS_FILE": str(tmp_path / "aws-credentials")}
    done = subprocess.run(["bash", "-c", BASH_COMPLETE, "bash", str(bash_script), "morvent",
                           *words], capture_output=True, text=True, cwd=tmp_path, env=env,
                          timeout=30)
    assert done.returncode == 0, done.stderr
    assert sorted(done.stdout.split()) == expected


@pytest.mark.skipif(not shutil.which("zsh"), reason="zsh is not installed")
def test_zsh_completion_is_valid_zsh(tmp_path, capsys):
    assert cli.main(["completion", "zsh"]) == 0
    script = capsys.readouterr().out
    assert script.startswith("#compdef morvent\n")
    (tmp_path / "_morvent").write_text(script)
    done = subprocess.run(["zsh", "-n", str(tmp_path / "_morvent")], capture_output=True,
                          text=True, timeout=30)
    assert done.returncode == 0, done.stderr


def _found(kind):
    from morvent.lib.nat_routes import AddressChange

    plain = FakeCloud.replacement_plan

    def replacement_plan(self, state, quiet=False):
        found = plain(self, state, quiet)
        if kind == "refusal":
            found.refusals = ["rtb-x: its default route goes to private NAT gateway nat-p",
                              "rtb-y: its default route goes to tgw-1"]
        else:
            found.address_changes = [AddressChange("rtb-c", "zone-c", ["0.0.0.0/0"], "nat-a",
                                                   "198.51.100.1", "198.51.100.3", "why")]
        return found
    return replacement_plan


@pytest.mark.parametrize("kind, accept, status, said", [
    ("refusal", "", 1, ["execute refused before any change: vpc-0123456789abcdef0 has 2",
                        "  rtb-x: its default route goes to private NAT gateway nat-p",
                        "  rtb-y: its default route goes to tgw-1"]),
    ("refusal", "flag", 1, ["  rtb-x: its default route"]),  # no acceptance for these
    ("change", "", 1, ["1 route table(s) of vpc-0123456789abcdef0 would leave with another",
                       "  rtb-c (zone-c): 0.0.0.0/0 leaves with 198.51.100.1 now (through "
                       "nat-a), with 198.51.100.3 after the run: why",
                       "run again with --accept-address-changes"]),
    ("change", "flag", 0, ["as accepted, rtb-c leaves with 198.51.100.3 (was 198.51.100.1)"]),
    ("change", "key", 0, ["as accepted, rtb-c leaves with 198.51.100.3 (was 198.51.100.1)"]),
])
def test_execute_refuses_what_it_cannot_do_and_unaccepted_address_changes(
        run, monkeypatch, tmp_path, kind, accept, status, said):
    monkeypatch.setattr(FakeCloud, "replacement_plan", _found(kind))
    argv = ["execute", "--config", "CONFIG"]
    if accept == "flag":
        argv.append("--accept-address-changes")
    elif accept == "key":
        argv[2] = str(write_config(tmp_path, name="accepting.yaml", accept_address_changes=True,
                                   work_dir=str(tmp_path / "work")))
    found, err = run(*argv)
    assert found == status, err
    text = err + run.out
    assert all(line in text for line in said), text
    assert bool(run.manager.calls) == (status == 0)


# -- results for machines: JSON, saved plans, closed pipes ---------------------------------

@pytest.mark.parametrize("action, status, result", [
    (None, 0, "done"),
    (SystemExit(1), 1, "failed"),
    (KeyboardInterrupt(), 130, "interrupted"),
    (Terminated(), 143, "terminated"),
])
def test_execute_json_is_one_document_on_stdout_however_the_run_ends(run, action, status,
                                                                    result):
    run.manager.action = action
    got, err = run("execute", "--config", "CONFIG", "--output", "json")
    doc = json.loads(run.out)  # stdout holds the document only
    assert (got, doc["exit_status"], doc["result"]) == (status, status, result)
    assert doc["schema_version"] == 1 and doc["vpc_id"] == MINIMAL["vpc_id"]
    # The verdict of the human output, one source: it went to stderr.
    assert doc["verdict"] and doc["verdict"] in err
    assert doc["zones"][0]["route_tables"][0]["before"] == {"target": "nat-a",
                                                            "egress_address": "198.51.100.1"}
    assert doc["undo_records"]["s3"].startswith("s3://")


@pytest.mark.parametrize("argv, status, result", [
    (["execute", "--config", "missing.yaml"], 2, "usage-error"),
    (["execute", "--config", "CONFIG", "--plan", "missing-plan.json"], 2, "usage-error"),
    (["revert", "--config", "CONFIG"], 0, "nothing-to-do"),
])
def test_json_document_also_for_errors_and_nothing_to_do(run, argv, status, result):
    got, err = run(*argv, "--output", "json")
    doc = json.loads(run.out)
    assert (got, doc["exit_status"], doc["result"]) == (status, status, result)
    assert doc["command"] == argv[0] and (doc["errors"] != []) == (status != 0)


def test_json_document_when_locked(run):
    with VpcLock(run.s3, ConfigAdaptor(str(run.path)).backup_descriptor):
        got, err = run("execute", "--config", "CONFIG", "--output", "json")
    doc = json.loads(run.out)
    assert (got, doc["result"]) == (3, "locked") and "is locked by" in doc["errors"][0]


def _saved(run, tmp_path, **changes):
    """A saved plan of execute made on the fake world, with ``changes`` on top."""
    path = tmp_path / "p.json"
    assert run("plan", "--config", "CONFIG", "--out", str(path))[0] == 0
    doc = json.loads(path.read_text())
    for key, value in changes.items():
        section, _, name = key.partition("__")
        if name:
            doc[section][name] = value
        else:
            doc[section] = value
    path.write_text(json.dumps(doc))
    return path


@pytest.mark.parametrize("changes, command, words", [
    ({"schema_version": 2}, "execute", "has schema_version 2; this morvent reads 1"),
    ({"kind": "something else"}, "execute", "is not a saved plan of morvent"),
    ({}, "revert", "is a plan of `morvent execute`, not of revert"),
    ({"vpc_id": "vpc-0fedcba9876543210"}, "execute", "was made for vpc-0fedcba9876543210"),
    ({"configuration__keys": {"spoke_gw_name": "other"}}, "execute",
     "was made with another configuration"),
])
def test_a_saved_plan_for_something_else_is_refused_before_anything(run, tmp_path, changes,
                                                                      command, words):
    path = _saved(run, tmp_path, **changes)
    got, err = run(command, "--config", "CONFIG", "--plan", str(path))
    assert got == 2 and words in err
    assert run.manager.calls == [] and not lock_exists(run.s3)


def test_a_saved_plan_runs_and_a_moved_one_is_stale(run, tmp_path, monkeypatch):
    path = _saved(run, tmp_path)
    assert run("execute", "--config", "CONFIG", "--plan", str(path))[0] == 0
    assert len(run.manager.calls) == 1
    monkeypatch.setattr(FakeCloud, "world", lambda self: {
        "nat_gateways": {"nat-a": {"state": "deleting"}}, "route_tables": {}})
    got, err = run("execute", "--config", "CONFIG", "--plan", str(path))
    assert got == 1 and "the saved plan is stale" in err and "NAT gateway nat-a appeared" in err
    assert len(run.manager.calls) == 1


class _ClosedPipe:
    def write(self, text):
        raise BrokenPipeError(32, "Broken pipe")

    def flush(self):
        pass


@pytest.mark.parametrize("argv", [["status"], ["plan", "--output", "json"]])
def test_a_closed_stdout_ends_quietly(run, monkeypatch, capsys, argv):
    monkeypatch.setattr(cli.status.status, "gather", lambda config: {
        "vpc_id": "v", "region": "r", "stage": "s", "backup": "b", "undo_records": 0,
        "lock": None, "natgws": [], "resize": None, "unexplained": [], "discovered": False,
        "notes": [], "next": "n", "controller_checked": True, "attention": []})
    monkeypatch.setattr(sys, "stdout", _ClosedPipe())
    got = cli.main([*argv, "--config", str(run.path)])
    err = capsys.readouterr().err
    assert got == 141 and "Broken" not in err and "unexpected" not in err
