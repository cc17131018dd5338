"""A pipeline on the simulated world: plan as a gate, saved plans, and the JSON results a
job acts on, the way a CI job runs them (separate processes, statuses and stdout only)."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import morvent
from backup_fixtures import write_lock
from e2e_fixtures import migration, sim  # noqa: F401
from morvent.core.ConfigAdaptor import ConfigAdaptor
from morvent.core.config import load_config

CHANGES, ATTENTION = 4, 5


def _job(m, script):
    """Run ``script`` with sh as a CI job would, `morvent` on its PATH; (status, out, err)."""
    bin_dir = m.folder / "bin"
    bin_dir.mkdir(exist_ok=True)
    (bin_dir / "morvent").write_text(f"#!/bin/sh\nexec {sys.executable} -m morvent \"$@\"\n")
    (bin_dir / "morvent").chmod(0o755)
    env = {**os.environ, "PATH": f"{bin_dir}:{os.environ['PATH']}",
           "PYTHONPATH": str(Path(morvent.__file__).resolve().parents[1]),
           "MORVENT_CONFIG": str(m.config_path)}
    done = subprocess.run(["sh", "-c", script], cwd=m.folder, env=env, capture_output=True,
                          text=True, timeout=300, stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr


def _egress(doc):
    return {t["route_table_id"]: (t["before"], t["after"])
            for zone in doc["zones"] for t in zone["route_tables"]}


def test_a_job_plans_saves_carries_out_and_reads_the_json(migration):
    m = migration(3)
    status, out, err = _job(m, "morvent plan --detailed-exitcode --out p >plan.txt; rc=$?; "
                               f"[ $rc -eq {CHANGES} ] || exit $rc; "
                               "morvent execute --plan p --yes --output json")
    assert status == 0, err
    doc = json.loads(out)  # stdout holds the document and nothing else
    assert (doc["schema_version"], doc["command"], doc["result"], doc["exit_status"]) == \
        (1, "execute", "done", 0)
    assert doc["saved_plan"] == "p" and doc["verdict"].startswith("execute done")
    zones = m.world.zones
    assert len(doc["zones"]) == 3
    for zone in zones:
        table = zone.private_subnets[0].route_table_id
        before, after = _egress(doc)[table]
        assert (before["target"], before["egress_address"]) == (zone.nat_gateway_id, zone.eip)
        assert after["target"].startswith("i-") and after["egress_address"] == zone.eip
    assert doc["nat_gateways"] == {"before": sorted(z.nat_gateway_id for z in zones),
                                   "after": []}
    spokes = doc["spoke_gateways"]
    assert [s["role"] for s in spokes] == ["primary", "ha", "ha"]
    assert spokes[0]["name"] == m.spoke and all(s["name"].startswith(m.spoke) for s in spokes)
    assert [s["elastic_ip"] for s in spokes] == [z.eip for z in zones]
    assert all(s["size"] and s["created"] for s in spokes)
    steps = doc["steps"]
    assert (steps["done_before"], steps["done_after"], steps["total"]) == (0, 11, 11)
    assert [s["position"] for s in steps["carried_out"]] == list(range(1, 12))
    assert doc["undo_records"]["kept"] == 11
    assert doc["undo_records"]["s3"].startswith("s3://") and Path(doc["log"]["file"]).is_file()
    assert doc["log"]["s3"] == doc["backup"]["s3"] + "logs/" + Path(doc["log"]["file"]).name
    assert m.replaced_problems() == []

    # Nothing to do now: the same chain with `&&` runs execute, which has nothing to do.
    status, out, err = _job(m, "morvent plan --detailed-exitcode --out p2 >plan2.txt && "
                               "morvent execute --plan p2 --yes --output json")
    assert status == 0, err
    assert json.loads(out)["result"] == "nothing-to-do"

    # And back, through a saved plan of the revert.
    status, out, err = _job(m, "morvent plan --revert --detailed-exitcode --out r >rp.txt; rc=$?; "
                               f"[ $rc -eq {CHANGES} ] || exit $rc; "
                               "morvent revert --plan r --yes --output json")
    assert status == 0, err
    doc = json.loads(out)
    assert (doc["command"], doc["result"], doc["steps"]["done_after"]) == ("revert", "done", 11)
    assert doc["nat_gateways"]["before"] == [] and len(doc["nat_gateways"]["after"]) == 3
    assert doc["undo_records"]["kept"] == 0
    assert m.reverted_problems() == []

    # A closed pipe ends the command quietly.
    status, out, err = _job(m, "morvent status | head -1; morvent plan --output json | "
                               "head -c 100 >/dev/null")
    assert "BrokenPipe" not in err and "unexpected" not in err and "Traceback" not in err


def _nothing_changed(m, state):
    """Nothing changed in EC2, on the controller or in the backup (the lock was taken and
    given back)."""
    assert [k for k in m.monitor.aws_changes(None) if not k.startswith("s3.")] == []
    assert m.monitor.controller_changes() == {}
    assert m.state() == state


def _wrong_password(m, monkeypatch):
    monkeypatch.setenv("MORVENT_DEMO_PASSWORD", "not-the-password")


def _unreachable(m, monkeypatch):
    text = m.config_path.read_text()
    m.config_path.write_text("\n".join(
        "controller_ip: 127.0.0.1:1" if line.startswith("controller_ip:") else line
        for line in text.splitlines()) + "\n")


def _no_password(m, monkeypatch):
    monkeypatch.delenv("MORVENT_DEMO_PASSWORD")


def _locked(m, monkeypatch):
    des = ConfigAdaptor(load_config(m.config_path)).backup_descriptor
    write_lock(m.sim.client("s3"), des, host="jump-host", pid=4242)


def _one_natgw(m, monkeypatch):
    ec2 = m.sim.client("ec2")
    ec2.delete_nat_gateway(NatGatewayId=m.world.zones[1].nat_gateway_id)


def _damaged(m, monkeypatch):
    des = ConfigAdaptor(load_config(m.config_path)).backup_descriptor
    m.sim.client("s3").put_object(Bucket=des.bucket, Key=des.folder_key + "memento_history.json",
                                  Body=b'{"format": 2, "mementos": [')


def _hs_mode_1(m, monkeypatch):
    pass  # the VPC is made with hs_mode 1 and three zones: address changes to accept


@pytest.mark.parametrize("cause, status, words, options", [
    (_wrong_password, 1, "refused the login", {}),
    (_unreachable, 1, "127.0.0.1:1", {}),
    (_no_password, 2, "the controller password is not set", {}),
    (_locked, 3, "is locked by bob on host jump-host", {}),
    (_one_natgw, 1, "only 1 NAT gateway was found", {}),
    (_damaged, 1, "memento_history.json", {}),
    (_hs_mode_1, 1, "--accept-address-changes", {"hs_mode": 1}),
])
def test_plan_fails_exactly_when_execute_is_refused(migration, monkeypatch, cause, status,
                                                    words, options):
    m = migration(3 if options else 2, **options)
    cause(m, monkeypatch)
    state = m.state()
    plan = m.cli("plan", "--detailed-exitcode", "--out", str(m.folder / "p"))
    assert plan.status == status, plan.stderr
    assert words in plan.stderr
    assert not (m.folder / "p").exists()  # a plan that would not go ahead is not saved
    m.monitor.reset()
    run = m.execute()
    assert run.status == status, run.stderr
    assert words in run.stderr
    _nothing_changed(m, state)


def test_plan_lists_the_account_setup_and_passes_once_changes_are_accepted(migration):
    m = migration(3, hs_mode=1)
    plan = m.cli("plan", "--accept-address-changes", "--output", "json", "--out",
                 str(m.folder / "p"))
    assert plan.status == 0, plan.stderr
    doc = json.loads(plan.stdout)
    assert (doc["ready"], doc["blockers"], doc["account"]["action"]) == (True, [], "create")
    assert doc["counts"]["controller_accounts_to_create"] == 1
    saved = json.loads((m.folder / "p").read_text())
    assert saved["accepted_address_changes"] == doc["address_changes"] != []
    run = m.execute("--plan", str(m.folder / "p"), "--output", "json")
    assert run.status == 0, run.stderr
    assert json.loads(run.stdout)["address_changes"] == doc["address_changes"]


def test_revert_plan_fails_when_the_vpc_does_not_match_its_records(migration, monkeypatch):
    from test_e2e_plan import _stop_after_ha_creation

    m = migration(3)
    with monkeypatch.context() as stopping:
        _stop_after_ha_creation(stopping)
        assert m.execute().status == 130
    plan = m.cli("plan", "--revert")
    assert plan.status == 1 and "does not match its" in plan.stderr
    state = m.state()
    run = m.revert("--output", "json")
    assert run.status == 1 and "does not match its" in run.stderr
    doc = json.loads(run.stdout)
    assert (doc["result"], doc["exit_status"]) == ("refused", 1)
    assert doc["undo_records"]["kept"] == 7
    assert m.state() == state


def _said_errors(stderr):
    """The error lines of a run on the console, in order: logged at ERROR, or the
    command's own (``morvent: error: ...``)."""
    found = (re.match(r"\d\d:\d\d:\d\d ERROR +(.*)|morvent: error: (.*)", line)
             for line in stderr.splitlines())
    return [(m.group(1) or m.group(2)).strip() for m in found if m]


def test_a_failed_steps_error_is_in_the_json_errors(migration):
    m = migration(2)
    for command, action, words in [
            ("execute", "enable_snat", "Simulated failure of enable_snat"),
            ("revert", "delete_multicloud_gateway", "Simulated failure of delete_multicloud_gateway")]:
        m.sim.inject(action)
        run = m.cli(command, "--output", "json")
        m.sim.reset_faults()
        assert run.status == 1, run.stderr
        doc = json.loads(run.stdout)
        assert doc["result"] == "failed"
        # Every error the run said, in its words and order: the step's first.
        assert doc["errors"] == _said_errors(run.stderr)
        assert words in doc["errors"][0] and doc["verdict"] in doc["errors"]
        if command == "execute":
            assert m.execute().status == 0


def _another_run(m):
    m.sim.inject("create_multicloud_ha_gateway", 1)
    assert m.execute().status == 1  # records 0's group kept
    m.sim.reset_faults()
    return "the backup moved: memento_history.json"


def _route_added(m):
    ec2 = m.sim.client("ec2")
    igw = ec2.create_internet_gateway()["InternetGateway"]["InternetGatewayId"]
    table = m.world.zones[0].private_subnets[0].route_table_id
    ec2.attach_internet_gateway(InternetGatewayId=igw, VpcId=m.world.vpc_id)
    ec2.create_route(RouteTableId=table, DestinationCidrBlock="192.0.2.0/24", GatewayId=igw)
    return f"route table {table}: 192.0.2.0/24 goes to {igw} (new)"


def _natgw_gone(m):
    nat = m.world.zones[1].nat_gateway_id
    m.sim.client("ec2").delete_nat_gateway(NatGatewayId=nat)
    return f"NAT gateway {nat}"


@pytest.mark.parametrize("move", [_another_run, _route_added, _natgw_gone])
def test_a_stale_saved_plan_is_refused_before_any_change(migration, move):
    m = migration(2)
    plan = m.cli("plan", "--out", str(m.folder / "p"))
    assert plan.status == 0, plan.stderr
    words = move(m)
    state = m.state()
    m.monitor.reset()
    run = m.execute("--plan", str(m.folder / "p"), "--output", "json")
    assert run.status == 1, run.stderr
    assert "the saved plan is stale" in run.stderr and words in run.stderr
    doc = json.loads(run.stdout)
    assert doc["result"] == "stale-plan" and any(words in e for e in doc["errors"])
    _nothing_changed(m, state)


def test_status_detailed_exitcode(migration):
    m = migration(2)
    assert m.cli("status", "--detailed-exitcode").status == 0
    _locked(m, None)
    status = m.cli("status", "--detailed-exitcode", "--output", "json")
    assert status.status == ATTENTION
    doc = json.loads(status.stdout)
    assert doc["schema_version"] == 1 and doc["attention"][0].startswith("locked by bob")
