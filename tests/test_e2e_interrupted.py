"""Runs that are stopped part-way, on the simulated world: signals, and what
a stop in the middle of a request leaves for the next command."""

import json
import os
import signal
import subprocess
import sys
import threading
import types
from pathlib import Path

import pytest

import morvent
from e2e_fixtures import migration, sim  # noqa: F401
from morvent.commands import brindlemark
from morvent.sim.demo import BUCKET


def _s3_mementos(m):
    key = m.lock_key()[:-len(".lock")] + "/memento_history.json"
    body = m.sim.client("s3").get_object(Bucket=BUCKET, Key=key)["Body"].read()
    return json.loads(body)["mementos"]


def _local_mementos(m):
    return json.loads((m.backup_folder / "memento_history.json").read_text())["mementos"]


@pytest.mark.parametrize("signum, status, said", [
    (signal.SIGTERM, 143, "stopped by SIGTERM"),
    (signal.SIGINT, 130, "stopped by Ctrl-C (SIGINT)"),
])
def test_signal_stops_a_run_in_a_fresh_process(migration, signum, status, said):
    m = migration(2)
    finished = threading.Event()
    process: list[subprocess.Popen] = []

    def stop_during_resize(record, answer):
        # The size look-up of the last step: eight steps are recorded, the
        # resize is not.  The answer is held back until the run has ended,
        # so the signal meets the run waiting for it.
        if record.action == "get_gateway_info" and not finished.is_set():
            process[0].send_signal(signum)
            finished.wait(timeout=120)

    env = {**os.environ, "PYTHONPATH": str(Path(morvent.__file__).resolve().parents[1])}
    m.sim.controller.add_observer(stop_during_resize)
    try:
        process.append(subprocess.Popen(
            [sys.executable, "-m", "morvent", "execute", "--config", str(m.config_path), "--yes"],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
        _, stderr = process[0].communicate(timeout=300)
    finally:
        finished.set()
        m.sim.controller.remove_observer(stop_during_resize)

    assert process[0].returncode == status, stderr
    assert said in stderr and "run it again to resume" in stderr
    assert "Traceback" not in stderr
    assert m.lock_key() not in m.state()["s3_objects"]
    assert len(_s3_mementos(m)) == 8
    assert m.blackholes() == []

    assert m.execute().status == 0
    assert m.replaced_problems() == []


def _interrupt_after(monkeypatch, name, method, when):
    """The first `brindlemark.<name>(...).<method>(...)` that `when(*args, **kwargs)`
    accepts does its work, and the run is stopped before it can record it: a
    run killed while the answer was on its way."""
    original = getattr(brindlemark, name)
    fired = []

    def construct(*args, **kwargs):
        command = original(*args, **kwargs)
        if fired or not when(*args, **kwargs):
            return command

        def interrupted(*a, **kw):
            fired.append(True)
            getattr(command, method)(*a, **kw)
            raise KeyboardInterrupt

        return types.SimpleNamespace(**{method: interrupted})

    monkeypatch.setattr(brindlemark, name, construct)


@pytest.mark.parametrize("step, records, finding", [
    (("NatGwCmd", "delete", lambda *a, **kw: True), 2,
     "is gone and no undo record has its deletion: an interrupted run deleted it"),
    (("HsSpokeCmd", "create", lambda *a, **kw: kw.get("primary")), 3,
     "no undo record has a spoke gateway there: an interrupted run created it"),
], ids=["natgw-deleted", "spoke-created"])
def test_revert_after_an_unrecorded_step_changes_nothing(migration, monkeypatch, step,
                                                         records, finding):
    m = migration(2)
    _interrupt_after(monkeypatch, *step)
    assert m.execute().status == 130
    monkeypatch.undo()
    assert len(_local_mementos(m)) == records
    state, mementos = m.state(), _local_mementos(m)
    m.monitor.reset()

    result = m.revert()

    assert result.status == 1, result.stderr
    zone = m.world.zones[0]
    (line,) = [x for x in result.stderr.splitlines() if finding in x]
    assert zone.public_subnet_id in line and "`morvent execute` finishes" in line
    if step[0] == "HsSpokeCmd":
        assert zone.eip in line and "held by instance i-" in line
    assert result.stderr.strip().splitlines()[-1] == (
        "morvent: then `morvent revert` restores the VPC")
    assert m.state() == state and _local_mementos(m) == mementos
    assert m.monitor.controller_requests == 0

    # The advice holds: execute records the step and finishes, revert restores.
    assert m.execute().status == 0
    assert m.replaced_problems() == []
    assert m.revert().status == 0
    assert m.reverted_problems() == []


@pytest.mark.parametrize("nat_gateways, said", [
    (1, "only 1 NAT gateway was found"),
    (0, "no available public NAT gateway was found"),
])
def test_execute_with_too_few_nat_gateways_says_nothing_changed(migration, nat_gateways,
                                                                said):
    m = migration(1)
    if nat_gateways == 0:
        m.sim.ec2.delete_nat_gateway(NatGatewayId=m.world.zones[0].nat_gateway_id)
    before = m.state()

    result = m.execute()

    assert result.status == 1
    (line,) = [x for x in result.stderr.splitlines() if said in x]
    assert "no NAT gateway, route or spoke gateway was changed" in line
    assert "run it again" not in line
    after = m.state()
    for part in ("route_tables", "nat_gateways", "addresses", "controller_gateways"):
        assert after[part] == before[part], part
