"""Whole migrations through the command line on the simulated controller and cloud.

Every run is watched request by request (see `morvent.sim.monitor`): after
each controller action and each EC2 request the VPC's private route tables
are looked at, and none may route into something that no longer exists.
"""

import json
import os
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import morvent
from e2e_fixtures import ACCOUNT, BUCKET, migration, on_step, sim  # noqa: F401
from morvent.commands import brindlemark
from morvent.core.ConfigAdaptor import ConfigAdaptor
from morvent.core.config import load_config
from morvent.lib.lock import process_start
from morvent.lib.s3 import S3BackupCmdV2
from backup_fixtures import gone_pid, write_lock


def _mementos(m):
    path = m.backup_folder / "memento_history.json"
    return json.loads(path.read_text())["mementos"] if path.exists() else []


def _changes(m):
    return m.monitor.controller_changes(), m.monitor.aws_changes("ec2")


@pytest.mark.parametrize("zones, enable_test", [(2, False), (3, False), (3, True)])
def test_replace_run_again_and_revert(migration, zones, enable_test):
    m = migration(zones, sample="all", enable_test=enable_test)

    assert m.execute().status == 0
    assert m.replaced_problems() == []
    assert m.blackholes() == []
    assert m.monitor.samples > 20
    assert m.monitor.controller_actions["create_multicloud_ha_gateway"] == zones - 1
    assert m.monitor.controller_actions["change_gateway_size"] == 1

    # A second run finds everything done and changes nothing.
    m.monitor.reset()
    assert m.execute().status == 0
    assert _changes(m) == ({}, {})
    assert m.replaced_problems() == []

    m.monitor.reset()
    assert m.revert().status == 0
    assert m.reverted_problems() == []
    assert m.blackholes() == []
    assert _mementos(m) == []


def _controller(action, nth=1, **options):
    return lambda m, monkeypatch: m.sim.inject(action, nth, **options)


def _aws(operation, nth=1, **options):
    return lambda m, monkeypatch: m.monitor.inject_aws(operation, nth, **options)


def _snapshot(tag):
    """The first EC2 request of the route table snapshot `tag` fails."""
    def arm(m, monkeypatch):
        on_step(monkeypatch, brindlemark, "SnapshotRTCmd", "execute",
                lambda *a, **kw: kw.get("tag") == tag,
                lambda: m.monitor.inject_aws("DescribeRouteTables", 1,
                                             code="RequestLimitExceeded"))
    return arm


# The steps of a three-zone replacement in order, the fault that hits each,
# and how many undo records the rollback leaves (the newest group goes: all
# of the first NAT gateway's six steps, or the two of a further one; a
# failing opening step or resize takes the group before it).
STEPS = [
    pytest.param(_snapshot("s1"), 0, id="1-snapshot-before"),
    pytest.param(_aws("ReplaceRoute"), 0, id="2-traffic-move"),
    pytest.param(_aws("DeleteNatGateway", 1), 0, id="3-delete-nat-0"),
    pytest.param(_controller("create_multicloud_primary_gateway"), 0, id="4-primary-spoke"),
    pytest.param(_snapshot("s2"), 0, id="5-snapshot-after"),
    pytest.param(_controller("enable_snat"), 0, id="6-snat"),
    pytest.param(_aws("DeleteNatGateway", 2), 0, id="7-delete-nat-1"),
    pytest.param(_controller("create_multicloud_ha_gateway", 1), 6, id="8-ha-spoke-1"),
    pytest.param(_aws("DeleteNatGateway", 3), 6, id="9-delete-nat-2"),
    pytest.param(_controller("create_multicloud_ha_gateway", 2), 8, id="10-ha-spoke-2"),
    pytest.param(_controller("change_gateway_size"), 8, id="11-resize"),
    # The deletion went through but its answer was lost.
    pytest.param(_aws("DeleteNatGateway", 2, after=True), 0, id="7-delete-nat-1-answer-lost"),
    pytest.param(_controller("create_multicloud_ha_gateway", 1, mode="http500"), 6,
                 id="8-ha-spoke-1-http-500"),
]


def _fail_at(m, monkeypatch, arm, left):
    arm(m, monkeypatch)
    result = m.execute()
    assert result.status == 1, result.stderr
    assert "run it again to resume" in result.stderr
    assert not m.monitor.pending_faults() and not m.sim.controller.faults.pending(), \
        "the fault never hit: the step sequence changed"
    assert len(_mementos(m)) == left
    assert m.blackholes() == []
    assert m.egress_problems() == []
    monkeypatch.undo()
    m.sim.reset_faults()
    m.monitor.clear_faults()


@pytest.mark.parametrize("then", ["resume", "revert"])
@pytest.mark.parametrize("arm, left", STEPS)
def test_fault_at_each_step(migration, monkeypatch, arm, left, then):
    m = migration(3)
    _fail_at(m, monkeypatch, arm, left)

    if then == "resume":
        assert m.execute().status == 0
        assert m.replaced_problems() == []
    assert m.revert().status == 0
    assert m.reverted_problems() == []
    assert m.blackholes() == []


class Killed(BaseException):
    """The process dies here: no rollback, no upload."""


@pytest.mark.parametrize("machine", ["same", "another"])
def test_killed_run_resumes_from_the_records_in_s3(migration, monkeypatch, machine):
    # Killed after the primary spoke (step 4): its records are in S3 already.
    m = migration(3)

    def kill():
        raise Killed()

    with monkeypatch.context() as dying:
        on_step(dying, brindlemark, "SnapshotRTCmd", "execute",
                lambda *a, **kw: kw.get("tag") == "s2", kill)
        dying.setattr(S3BackupCmdV2, "upload", lambda self: None)
        with pytest.raises(Killed):
            m.execute()
    key = f"morvent/{ACCOUNT}/{m.world.region}/{m.world.vpc_id}/memento_history.json"
    in_s3 = json.loads(m.sim.client("s3").get_object(Bucket=BUCKET, Key=key)["Body"].read())
    assert len(in_s3["mementos"]) == 4
    if machine == "another":
        shutil.rmtree(m.backup_folder)

    result = m.execute()
    assert result.status == 0, result.stderr
    assert m.replaced_problems() == []
    assert m.revert().status == 0
    assert m.reverted_problems() == []
    assert m.blackholes() == []


@pytest.mark.parametrize("with_results", [False, True])
def test_lost_answer_of_a_spoke_creation_converges(migration, with_results):
    # The controller makes the primary spoke gateway but its answer is lost:
    # the look-up that follows finds the gateway, so the run records it and
    # goes on instead of rolling back a replacement that holds its address.
    m = migration(2)
    m.sim.controller.failures_carry_results = with_results
    m.sim.inject("create_multicloud_primary_gateway", mode="drop", after=True)
    result = m.execute()
    assert result.status == 0, result.stderr
    assert "no usable answer to create_multicloud_primary_gateway" in result.stderr
    assert m.monitor.controller_actions["create_multicloud_primary_gateway"] == 1
    assert not m.sim.controller.faults.pending()
    m.sim.reset_faults()
    assert m.execute().status == 0
    assert m.replaced_problems() == []


def test_a_created_gateway_no_look_up_sees_stops_the_run_without_a_rollback(migration):
    # The controller makes the primary spoke gateway with the first zone's
    # Elastic IP and says so, but every look-up of it fails: undoing the NAT
    # gateway's deletion would need that address, so the run stops as it is.
    m = migration(2)
    for nth in (1, 2, 3):
        m.sim.inject("list_vpcs_summary", nth, reason="controller busy")
    result = m.execute()
    assert result.status == 1, result.stderr
    assert (f"Spoke gateway {m.spoke} was created in {m.world.public_cidrs[0]} (the controller "
            "confirmed it) but is not seen after 3 look-ups (controller busy): stopped without "
            f"undoing the steps before it, whose undo needs Elastic IP {m.world.eips[0]}"
            in result.stderr)
    assert "execute stopped without a rollback; 3 undo records kept" in result.stderr
    assert m.sim.controller.state.gateways[m.spoke].public_ip == m.world.eips[0]
    assert len(_mementos(m)) == 3 and m.egress_problems() == [] and m.blackholes() == []
    assert not m.sim.controller.faults.pending()

    assert m.execute().status == 0  # finds the gateway, records it, goes on
    assert m.replaced_problems() == []
    assert m.revert().status == 0
    assert m.reverted_problems() == []


@pytest.mark.parametrize("command", ["execute", "status"])
def test_another_certificate_at_the_controller_address_gets_no_password(migration, command):
    m = migration(2)
    pinned = m.sim.controller.cert_sha256
    controller = m.sim.controller
    controller.stop()
    controller.replace_certificate()
    controller.start()  # same address, another certificate
    controller.clear_requests()
    before = m.state()
    result = m.cli(command)
    assert controller.requests == []  # not even the login
    assert m.state() == before
    line = (f"presents the certificate with SHA-256 {controller.cert_sha256}, but the trusted "
            f"one (controller_cert_sha256) is {pinned}: the login of user 'admin' was not sent")
    if command == "execute":
        assert result.status == 1
        (error,) = [e for e in result.stderr.splitlines() if "error:" in e]
        assert line in error
    else:
        assert result.status == 0 and line in result.stdout


# Controllers whose failure answers carry "results" as well as "reason":
# then the answer of a failed SNAT switch or resize is only logged.
@pytest.mark.parametrize("arm, left, egress_test", [
    # A refused SNAT switch stops the run: the first NAT gateway's group is undone.
    pytest.param(_controller("enable_snat"), 0, False, id="6-snat"),
    # The egress check after the first replacement sees the zone still on a NAT gateway;
    # the check preparation (no group of its own) stays.
    pytest.param(_controller("enable_snat"), 1, True, id="6-snat-egress-test"),
    pytest.param(_controller("change_gateway_size"), 8, False, id="11-resize"),
    pytest.param(_controller("create_multicloud_ha_gateway", 2), 8, False, id="10-ha-spoke-2"),
])
def test_refused_step_with_results_in_the_answer(migration, monkeypatch, arm, left, egress_test):
    m = migration(3, enable_test=egress_test)
    m.sim.controller.failures_carry_results = True
    _fail_at(m, monkeypatch, arm, left)
    assert m.execute().status == 0
    assert m.replaced_problems() == []


def test_failed_resize_is_not_reported_as_success(migration):
    m = migration(2)
    m.sim.inject("get_gateway_info")
    result = m.execute()
    assert result.status == 1 or m.replaced_problems() == []


@pytest.mark.parametrize("arm", [
    pytest.param(_aws("CreateNatGateway", 2), id="put-back-nat"),
    pytest.param(_aws("ReplaceRoute", 1), id="move-traffic-back"),
    pytest.param(_controller("disable_snat", mode="drop"), id="snat-off"),
    pytest.param(_controller("delete_multicloud_gateway", 1), id="delete-spoke"),
])
def test_revert_failing_half_way_can_be_run_again(migration, monkeypatch, arm):
    m = migration(3)
    assert m.execute().status == 0
    arm(m, monkeypatch)
    result = m.revert()
    assert result.status == 1
    assert "Traceback" not in result.stderr
    m.sim.reset_faults()
    m.monitor.clear_faults()
    assert m.revert().status == 0
    assert m.reverted_problems() == []
    assert m.blackholes() == []


def test_replace_again_after_a_revert(migration):
    # The discovery is kept; the NAT gateways put back have new ids.
    m = migration(2)
    for _ in range(2):
        assert m.execute().status == 0
        assert m.replaced_problems() == []
        assert m.revert().status == 0
        assert m.reverted_problems() == []
    assert m.blackholes() == []


@pytest.mark.parametrize("before", ["fresh", "partial", "enable_test"])
def test_dry_run_changes_nothing(migration, monkeypatch, before):
    m = migration(3, enable_test=before == "enable_test")
    if before == "partial":
        _fail_at(m, monkeypatch, _controller("create_multicloud_ha_gateway", 2), 8)
    state = m.state()
    local = {p: p.read_bytes() for p in m.folder.rglob("*") if p.is_file()
             and "egress" not in p.name}
    m.monitor.reset()

    result = m.execute("--dry-run")

    assert result.status == 0, result.stderr
    assert _changes(m) == ({}, {})
    assert m.monitor.aws_changes("s3") == {}
    assert m.state() == state
    assert {p: p.read_bytes() for p in local} == local
    assert m.blackholes() == []


def test_lock_held_by_another_run(migration):
    m = migration(2)
    des = ConfigAdaptor(load_config(m.config_path)).backup_descriptor
    s3 = m.sim.client("s3")
    # Another run on this host, alive (this very process stands in for it).
    alive = write_lock(s3, des, user="alice", host=socket.gethostname(), pid=os.getpid(),
                       pid_start=process_start(os.getpid())[1])
    state = m.state()
    for command in ("execute", "revert"):
        result = m.cli(command)
        assert result.status == 3
        assert "locked by alice on host" in result.stderr and alive["id"] in result.stderr
        assert "still running" in result.stderr and "Traceback" not in result.stderr
    result = m.execute("--break-lock", alive["id"])
    assert result.status == 3 and "refusing to break the lock" in result.stderr
    assert m.state() == state
    assert m.monitor.controller_requests == 0

    # The other run died: its lock is broken by its id, and this run goes ahead.
    dead = write_lock(s3, des, user="alice", host=socket.gethostname(), pid=gone_pid())
    result = m.execute()
    assert result.status == 3 and f"--break-lock {dead['id']}" in result.stderr
    result = m.execute("--break-lock", dead["id"])
    assert result.status == 0, result.stderr
    assert m.replaced_problems() == []
    assert m.lock_key() not in m.state()["s3_objects"]


def test_demo_on_a_fresh_process():
    # As after `pip install '.[sim]'`: the command line in a new process, with
    # the package these tests import (the installed one, or src/ when built in place).
    package_root = Path(morvent.__file__).resolve().parents[1]
    env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
    env["PYTHONPATH"] = str(package_root)
    # A proxy for the internet (nothing listens there) must not be asked for
    # the simulators on 127.0.0.1.
    env["HTTPS_PROXY"] = env["HTTP_PROXY"] = "http://127.0.0.1:9"
    done = subprocess.run([sys.executable, "-m", "morvent", "demo", "--zones", "2",
                           "--egress-test"], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "RESULT: OK" in done.stdout
    assert "0 with a route into nothing" in done.stdout
    assert "- Egress check of" in done.stderr  # the tool's own progress lines
    assert "InsecureRequestWarning" not in done.stderr
    assert "Traceback" not in done.stderr


def test_a_throttled_cloud_slows_a_run_down_and_it_still_completes(migration, sim,
                                                                   monkeypatch):
    """EC2 refuses the tool's requests as it does beyond its rate
    (RequestLimitExceeded): one three times in a row, then a share of them.
    The SDK's adaptive retries send each again, up to eight times in all
    (its own default, three, would give up), and the runs end as any other.
    The back-off between attempts is cut to a tenth here."""
    from botocore.retries import standard

    real = standard.ExponentialBackoff.delay_amount
    monkeypatch.setattr(standard.ExponentialBackoff, "delay_amount",
                        lambda self, context: real(self, context) / 10)
    m = migration(2)
    sim.aws.throttle.set(burst=3, after=10)
    assert m.execute().status == 0
    assert sim.aws.throttle.throttled == 3
    sim.aws.throttle.set(share=0.05, seed=2)
    assert m.revert().status == 0
    assert sim.aws.throttle.throttled >= 2
    assert m.reverted_problems() == [] and m.blackholes() == []


# -- what the operator reads -------------------------------------------------------------

def test_a_rollback_says_whether_every_undo_happened(migration):
    m = migration(3)
    a, b, c = m.world.zones
    # The HA spoke of zone b fails, and so does the NAT gateway's put-back.
    m.sim.inject("create_multicloud_ha_gateway", mode="fail")
    m.monitor.inject_aws("CreateNatGateway", 1)
    result = m.execute()
    assert result.status == 1
    assert (f"ERROR     **Error** the HA spoke gateway of {m.spoke} in {b.public_subnet_id} "
            f"with {b.eip} was not created") in result.stderr
    assert ("AWS refused CreateNatGateway (UnauthorizedOperation): Simulated failure"
            in result.stderr)
    (verdict,) = [x for x in result.stderr.splitlines() if "ERROR   execute failed" in x]
    assert (f"execute failed at step 8 of 11 (Create an HA spoke gateway of {m.spoke} "
            f"(t3.small) in {b.public_subnet_id} (10.0.1.0/24) with {b.eip}), and the rollback "
            f"is incomplete: the undo of the deletion of NAT gateway {b.nat_gateway_id} in "
            f"{b.public_subnet_id} failed (see the errors above), so 1 step(s) of the group are "
            f"not undone: deletion of NAT gateway {b.nat_gateway_id} in {b.public_subnet_id}; "
            "7 undo records kept in s3://") in verdict
    assert "rolled back" not in verdict
    for zone in (b, c):
        table = zone.private_subnets[0].route_table_id
        assert (f"{zone.name} leaves with {a.eip} (the address of {a.name}), not its own "
                f"{zone.eip}: {table}") in verdict
    m.sim.reset_faults()
    m.monitor.clear_faults()

    # The resumed run fails at zone c's HA spoke; its group is undone in full.
    m.sim.inject("create_multicloud_ha_gateway", 2, mode="fail")
    result = m.execute()
    assert result.status == 1
    assert (f"execute failed at step 10 of 11 (Create an HA spoke gateway of {m.spoke} "
            f"(t3.small) in {c.public_subnet_id} (10.0.2.0/24) with {c.eip}); its group of "
            "steps was rolled back (1 step undone); 8 undo records kept") in result.stderr
    assert f"{c.name} leaves with {a.eip} (the address of {a.name})" in result.stderr
    assert f"{b.name} leaves with" not in result.stderr
    m.sim.reset_faults()
    assert m.execute().status == 0
    assert m.replaced_problems() == []


def test_a_lost_answer_taken_over_is_no_error(migration, monkeypatch):
    # The run dies after the controller made the primary, before the record:
    # the next run's create is refused ("already exists") and takes it over.
    from morvent.commands.history import MementoHistory

    class Killed(BaseException):
        pass

    m = migration(2)
    append = MementoHistory.append.__func__

    def dying(cls, memento, MarkBegin=False):
        if type(memento).__name__ == "HsSpokeCreateMemento":
            raise Killed()
        return append(cls, memento, MarkBegin=MarkBegin)

    with monkeypatch.context() as patch:
        patch.setattr(MementoHistory, "append", classmethod(dying))
        with pytest.raises(Killed):
            m.execute()
    result = m.execute()
    assert result.status == 0, result.stderr
    (took,) = [x for x in result.stderr.splitlines() if "took over" in x]
    assert (f"INFO      took over the existing gateway {m.spoke} in "
            f"{m.world.zones[0].public_subnet_id}: the controller had made it already (an "
            "earlier answer was lost)") in took
    assert not [x for x in result.stderr.splitlines() if "ERROR" in x]
    # The refusal itself is in the log file (and on the console with -v).
    log = Path(result.stdout.strip().rsplit("; log: ", 1)[1]).read_text()
    assert f"DEBUG   morvent.lib.corvane_backend:   **Error** controller request failed: " \
           f"Gateway {m.spoke} already exists (held" in log
    assert m.replaced_problems() == []


def test_a_revert_that_fails_at_the_login_says_so_and_shows_no_table(migration, monkeypatch):
    from morvent.sim.demo import PASSWORD_ENV

    m = migration(2)
    assert m.execute().status == 0
    monkeypatch.setenv(PASSWORD_ENV, "wrong")
    result = m.revert()
    assert result.status == 1
    assert result.stdout == ""  # no egress table: nothing ran
    assert (f"ERROR   revert failed: the controller at {m.sim.controller_ip} refused the login "
            f"of user '{m.sim.username}': Invalid username or password; no undo record was "
            "restored; the 9 undo records are kept in s3://") in result.stderr
    assert "it stopped at the undo record" not in result.stderr
    assert "ControllerLoginError" not in result.stderr
    # Nothing was stored: its log stays local, as S3 does.
    assert not [o for o in m.sim.client("s3").list_objects_v2(
        Bucket=BUCKET, Prefix=m.lock_key()[:-len(".lock")] + "/logs/")["Contents"]
        if o["Key"].endswith("-revert.log")]
