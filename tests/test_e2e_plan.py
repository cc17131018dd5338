"""`morvent plan` and `morvent status` on the simulated world: the plan is what the run then
does, and status says where a stopped run left the VPC; neither changes anything."""

import json
import re

import pytest

from e2e_fixtures import migration, sim  # noqa: F401
from morvent.commands import brindlemark
from morvent.core.ConfigAdaptor import ConfigAdaptor
from morvent.core.config import load_config
from morvent.run.plan import MEMENTO_OF
from backup_fixtures import write_lock

PROGRESS = re.compile(r"INFO    \[(\d+)/(\d+)\] (.*)$", re.M)


def _mementos(m):
    path = m.backup_folder / "memento_history.json"
    return json.loads(path.read_text())["mementos"] if path.exists() else []


def _read_only(m, *argv):
    """`morvent <argv>` with JSON output, checked to change nothing anywhere."""
    state = m.state()
    m.monitor.reset()
    result = m.cli(*argv, "--output", "json")
    assert result.status == 0, result.stderr
    assert m.state() == state
    assert m.monitor.controller_changes() == {} and m.monitor.aws_changes(None) == {}
    return json.loads(result.stdout)


def _progress(result):
    return [(int(pos), int(total), title) for pos, total, title in
            PROGRESS.findall(result.stderr)]


@pytest.mark.parametrize("zones", [2, 3])
@pytest.mark.parametrize("before", ["fresh", "partial"])
def test_the_plan_is_what_execute_then_does(migration, zones, before):
    m = migration(zones)
    if before == "partial":
        m.sim.inject("create_multicloud_ha_gateway", 1)
        assert m.execute().status == 1
        m.sim.reset_faults()
        assert len(_mementos(m)) == 6

    plan = _read_only(m, "plan")
    steps = plan["steps"]
    held = 6 if before == "partial" else 0
    assert plan["discovery"] == ("recorded" if before == "partial" else "read-only")
    assert plan["counts"]["steps"] == len(steps) == 6 + 2 * (zones - 1) + 1
    assert plan["counts"]["done"] == held and [s["done"] for s in steps].count(True) == held
    if before == "fresh":
        # The traffic move, SNAT on every zone's table, and each HA gateway its zone's.
        assert plan["counts"]["routes_to_move"] == 1 + zones + (zones - 1)
        # On a controller that does not know the account yet, the run sets it up first.
        assert plan["account"]["action"] == "create"
        assert plan["summary"].startswith(f"controller account {plan['account']['name']} to "
                                          f"create, {zones} spoke gateways to create, {zones} NAT "
                                          f"gateways to delete, {2 * zones} routes to move, "
                                          "1 resize")

    result = m.execute()
    assert result.status == 0, result.stderr

    assert _progress(result) == [(s["position"], len(steps), s["title"]) for s in steps
                                 if not s["done"]]
    records = _mementos(m)
    assert [r["qualname"] for r in records] == [MEMENTO_OF[s["kind"]] for s in steps]
    for step, record in zip(steps, records):
        if step["kind"] == "delete-natgw":
            assert record["state"]["nat_gw_id"] == step["resources"]["nat_gateway"]
            assert record["state"]["eip"] == step["resources"]["elastic_ip"]
        if step["kind"] in ("create-primary", "create-ha"):
            info = record["state"]["spoke_info"]
            assert (info["gw_subnet_id"], info["gw_public_ip"]) == \
                (step["resources"]["subnet"], step["resources"]["elastic_ip"])
    assert m.replaced_problems() == []


def test_the_revert_plan_is_what_revert_then_does(migration):
    m = migration(2)
    assert m.execute().status == 0
    plan = _read_only(m, "revert", "--dry-run")
    assert plan["counts"] == {"steps": 9, "done": 0, "to_do": 9,
                              "controller_accounts_to_create": 0, "nat_gateways_to_put_back": 2,
                              "spoke_gateways_to_delete": 2, "routes_to_move_back": 3,
                              "resizes_back": 1}
    result = m.revert()
    assert result.status == 0, result.stderr
    assert _progress(result) == [(s["position"], 9, s["title"]) for s in plan["steps"]]
    # The NAT gateways are back under new ids, and the table says so.
    zone = m.world.zones[0]
    (row,) = [line.split() for line in result.stdout.splitlines()
              if line.split()[:1] == [zone.name]]
    assert row[-2] == "-" and row[-1].startswith("nat-") and row[-1] != zone.nat_gateway_id
    assert m.reverted_problems() == []


def test_hs_mode_1_says_which_zones_go_out_with_another_address(migration):
    m = migration(3, hs_mode=1)
    result = m.cli("plan")
    assert result.status == 1 and "--accept-address-changes" in result.stderr  # a gate
    (change,) = [x for x in result.stdout.splitlines() if "hs_mode 1" in x]
    zone = m.world.zones[2]
    assert change.strip().startswith(zone.private_subnets[0].route_table_id)
    assert zone.eip in change and m.world.zones[0].eip in change
    # Records 0 and 1; the primary carries zone c too, so it keeps the size
    # it starts with (no resize).
    assert "[8/8] Create an HA spoke gateway" in result.stdout
    assert "Resize" not in result.stdout
    refused = m.execute()
    assert refused.status == 1 and "--accept-address-changes" in refused.stderr


class _Stop(KeyboardInterrupt):
    pass


def _stop_after_ha_creation(monkeypatch):
    """The first HA spoke is created, then the run is stopped before it records it."""
    original = brindlemark.HsSpokeCmd

    def construct(*args, **kwargs):
        command = original(*args, **kwargs)
        if kwargs.get("primary"):
            return command

        class Stopping:
            def create(self, *a, **kw):
                command.create(*a, **kw)
                raise _Stop

        return Stopping()

    monkeypatch.setattr(brindlemark, "HsSpokeCmd", construct)


def test_status_after_a_stopped_run(migration, monkeypatch):
    m = migration(3)
    status = _read_only(m, "status")
    assert (status["stage"], status["lock"], status["steps_done"]) == ("not started", None, 0)

    with monkeypatch.context() as stopping:
        _stop_after_ha_creation(stopping)
        assert m.execute().status == 130
    assert len(_mementos(m)) == 7  # record 0's six steps and record 1's deletion
    ca = ConfigAdaptor(load_config(m.config_path))
    lock = write_lock(m.sim.client("s3"), ca.backup_descriptor, user="alice", host="jump-host",
                      pid=4242, time="2024-01-01T00:00:00+00:00")

    status = _read_only(m, "status")
    assert status["stage"] == "in progress: 7 of 11 steps done"
    assert [r["group"] for r in status["natgws"]] == ["done", "open", "to do"]
    assert status["open_group"] == 1
    assert status["lock"]["user"] == "alice" and status["lock"]["time"].startswith("2024")
    assert (status["lock"]["id"], status["lock"]["alive"]) == (lock["id"], True)
    assert status["controller_checked"] is True
    stray = f"{m.spoke}-hagw"
    assert any(f"controller gateway {stray} in {m.world.zones[1].public_subnet_id}" in u
               for u in status["unexplained"])
    assert any(f"{m.world.zones[1].eip}" in u and "held by instance" in u
               for u in status["unexplained"])

    text = m.cli("status")
    assert text.status == 0
    assert "held by alice on host jump-host" in text.stdout
    assert f"lock id {lock['id']}: that run is alive (its heartbeat is" in text.stdout
    assert "open group: NAT gateway 1" in text.stdout
    assert "goes on at step 8 of 11: Create an HA spoke gateway" in text.stdout
