"""Fleets on the simulated world: every VPC through its own processes.

One simulated controller and cloud for the module, with the VPCs of every
test built at once (2 zones each, gateway creations that take a little
time); each test runs `morvent fleet ...` in a process of its own on its
own VPCs, as an operator or a CI job does.
"""

import dataclasses
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import yaml

import morvent
from morvent.sim import SimulatedWorld
from morvent.sim.demo import PASSWORD_ENV
from morvent.sim.fleet import build_fleet, manifest_data, plan_fleet

PACKAGE_ROOT = str(Path(morvent.__file__).resolve().parents[1])
PATIENCE = 240
CREATE_SECONDS = 0.3
#: The VPCs of each test: (prefix, count).
FLEETS = {"fault": 6, "two": 4, "term": 3}


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    folder = tmp_path_factory.mktemp("fleets")
    with SimulatedWorld() as sim:
        planned = []
        for prefix, count in FLEETS.items():
            planned += [dataclasses.replace(p, key=f"{prefix}{p.key}", index=len(planned) + n)
                        for n, p in enumerate(plan_fleet(count, zones=(2, 2)))]
        built = build_fleet(sim, planned)
        for action in ("create_multicloud_primary_gateway", "create_multicloud_ha_gateway"):
            sim.controller.set_latency(CREATE_SECONDS, action)
        env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        env.update(sim.environ(), PYTHONPATH=PACKAGE_ROOT, NO_PROXY="127.0.0.1,localhost",
                   AWS_CONFIG_FILE=str(folder / "none"),
                   AWS_SHARED_CREDENTIALS_FILE=str(folder / "none"))
        env.pop("AWS_ENDPOINT_URL")
        env[PASSWORD_ENV] = sim.password
        manifests = {}
        for prefix in FLEETS:
            vpcs = [v for v in built if v.key.startswith(prefix)]
            path = folder / f"{prefix}.yaml"
            data = manifest_data(sim, vpcs, work_dir=str(folder / "work"))
            path.write_text(yaml.safe_dump(data, sort_keys=False))
            manifests[prefix] = (path, {v.key: v.vpc_id for v in vpcs})
        yield sim, env, manifests, folder


def fleet(env, folder, *argv, wait=True):
    yes = ["--yes"] if argv[0] in ("execute", "revert") else []
    command = [sys.executable, "-m", "morvent", "fleet", *map(str, argv), *yes,
               "--output", "json"]
    process = subprocess.Popen(command, env=env, cwd=folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return finish(process) if wait else process


def finish(process):
    out, err = process.communicate(timeout=PATIENCE)
    doc = json.loads(out) if out.strip() else None
    return process.returncode, doc, err


def results(doc):
    return {row["key"]: row["result"] for row in doc["vpcs"]}


def creations(sim, vpc_id):
    return [r for r in sim.requests if r.action == "create_multicloud_primary_gateway"
            and r.fields.get("vpc_id") == vpc_id and r.status == 200]


def s3_objects(sim, prefix):
    s3 = sim.aws.client("s3")
    return [o["Key"] for o in s3.list_objects_v2(
        Bucket="morvent-demo-backups", Prefix=prefix).get("Contents", [])]


def test_a_faulted_vpc_the_tolerance_the_report_and_a_rerun(world):
    sim, env, manifests, folder = world
    path, ids = manifests["fault"]
    sim.inject("enable_snat", vpc_id=ids["faultvpc003"])
    status, doc, err = fleet(env, folder, "execute", "-m", path, "--max-concurrent", "2",
                             "--failure-tolerance", "0", "--controller-slots", "2",
                             "--report", folder / "fault.md")
    assert status == 1, err
    # Two at a time: 001 and 002, then 003 (fails) beside 004; strict: nothing after.
    assert results(doc) == {"faultvpc001": "done", "faultvpc002": "done",
                            "faultvpc003": "failed", "faultvpc004": "done",
                            "faultvpc005": "not-started", "faultvpc006": "not-started"}
    rows = {row["key"]: row for row in doc["vpcs"]}
    assert rows["faultvpc003"]["exit_status"] == 1
    assert "rolled back" in rows["faultvpc003"]["why"]
    assert any("enable_snat" in e for e in rows["faultvpc003"]["errors"])
    assert rows["faultvpc005"]["why"] == "the failure tolerance was passed (1 failed, 0 allowed)"
    assert rows["faultvpc001"]["egress"] == {"kept": 2, "changed": 0, "unknown": 0}
    assert rows["faultvpc001"]["zones"] == 2 and rows["faultvpc001"]["log"].startswith("s3://")
    assert doc["totals"] == {"done": 3, "failed": 1, "not-started": 2}
    ticket = (folder / "fault.md").read_text()
    assert "| faultvpc003 | us-east-1 | failed | 2 | kept |" in ticket
    assert "## What failed" in ticket and "3 done, 1 failed, 2 not-started" in ticket
    stored = [p.split("/", 3)[3] for p in doc["stored"]]
    assert stored and set(stored) <= set(s3_objects(sim, "morvent/fleet-reports/fault/"))

    status, doc, err = fleet(env, folder, "execute", "-m", path, "--max-concurrent", "3")
    assert status == 0, err
    assert results(doc) == {"faultvpc001": "done-earlier", "faultvpc002": "done-earlier",
                            "faultvpc003": "done", "faultvpc004": "done-earlier",
                            "faultvpc005": "done", "faultvpc006": "done"}
    # Once each; faultvpc003's first primary was deleted by its rollback.
    assert {key: len(creations(sim, vpc)) for key, vpc in ids.items()} == \
        {key: 2 if key == "faultvpc003" else 1 for key in ids}
    status, doc, err = fleet(env, folder, "status", "-m", path, "--max-concurrent", "3",
                             "--detailed-exitcode")
    assert status == 0, err
    assert {row["stage"] for row in doc["vpcs"]} == {"replaced: every step done"}


def test_two_runners_on_one_manifest_and_shards(world):
    sim, env, manifests, folder = world
    path, ids = manifests["two"]
    runners = [fleet(env, folder, "execute", "-m", path, "--max-concurrent", "2",
                     "--run-dir", folder / f"runner{n}", wait=False) for n in (1, 2)]
    ended = [finish(p) for p in runners]
    assert [status for status, _, _ in ended] == [0, 0], [err for _, _, err in ended]
    # Each VPC migrated by one of them; the other found it done or running.
    for key, vpc_id in ids.items():
        seen = sorted(results(doc)[key] for _, doc, _ in ended)
        assert seen[0] == "done" and seen[1] in ("done-earlier", "running-elsewhere"), seen
        assert len(creations(sim, vpc_id)) == 1
    # No record lost: the whole fleet goes back from its records.
    status, doc, err = fleet(env, folder, "revert", "-m", path, "--max-concurrent", "4")
    assert status == 0 and set(results(doc).values()) == {"done"}, err

    # Shards: disjoint shares covering the fleet, the index from a Job's variable.
    shares = []
    for index in (0, 1):
        status, doc, err = fleet(dict(env, JOB_COMPLETION_INDEX=str(index)), folder, "status",
                                 "-m", path, "--shard-count", "2", "--max-concurrent", "4")
        assert status == 0, err
        assert doc["shard"] == f"{index + 1}/2"
        shares.append(set(results(doc)))
    assert not shares[0] & shares[1] and shares[0] | shares[1] == set(ids)
    status, doc, err = fleet(env, folder, "status", "-m", path, "--shard", "1/2",
                             "--max-concurrent", "4")
    assert set(results(doc)) == shares[0]


def test_sigterm_mid_fleet_then_resume(world):
    sim, env, manifests, folder = world
    path, ids = manifests["term"]
    sim.controller.set_latency(2.0, "create_multicloud_ha_gateway")
    try:
        seen = len(sim.requests)
        runner = fleet(env, folder, "execute", "-m", path, "--max-concurrent", "2", wait=False)
        deadline = time.monotonic() + PATIENCE
        # Stopped while an HA gateway is being made: inside a group of steps.
        while not any(r.action == "create_multicloud_ha_gateway" for r in sim.requests[seen:]):
            assert time.monotonic() < deadline and runner.poll() is None
            time.sleep(0.1)
        runner.send_signal(signal.SIGTERM)
        status, doc, err = finish(runner)
    finally:
        sim.controller.set_latency(CREATE_SECONDS, "create_multicloud_ha_gateway")
    assert status == 143, err
    assert doc["stopped_by"] == "SIGTERM"
    found = results(doc)
    assert found["termvpc003"] == "not-started"
    assert {found["termvpc001"], found["termvpc002"]} <= {"terminated", "done"}
    assert "terminated" in found.values()

    status, doc, err = fleet(env, folder, "execute", "-m", path, "--max-concurrent", "3")
    assert status == 0, err
    assert set(results(doc).values()) <= {"done", "done-earlier"}
    assert all(len(creations(sim, vpc)) == 1 for vpc in ids.values())
